#!/usr/bin/env python3
"""Fails when a file under src/ includes one from a floor above its own.

The program is built in floors; a folder may include its own files and those
of the floors below it, never a floor above nor another folder of its floor.
Run with the source folder (src/); --self-test checks the checker on a small
tree of its own.
"""
import os
import re
import sys
import tempfile

FLOORS = [
    ("base", "res"),                # portable helpers, resources
    ("ui",),                        # dialogs, owners of system handles
    ("sys", "package"),             # files, processes; cabinets, cipher, formats
    ("state",),                     # the run's records, command line, log
    ("install",),                   # the install sequence and what it needs
    ("remove", "update", "wizard"), # uninstall, updates and skins, the wizard
    ("app",),                       # entry, start-up, mode dispatch, silent runs
]
TOP = "app"  # files directly under src/ belong to the top
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SUFFIXES = (".h", ".cpp", ".inc", ".rc")


def floor_of(folder):
    for rank, folders in enumerate(FLOORS):
        if folder in folders:
            return rank
    return None


def check(src):
    faults = []
    for root, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith(SUFFIXES):
                continue
            path = os.path.join(root, name)
            rel = os.path.relpath(path, src).replace(os.sep, "/")
            folder = rel.split("/")[0] if "/" in rel else TOP
            own = floor_of(folder)
            if own is None:
                faults.append(f"{rel}: folder '{folder}' is on no floor (add it to the floors)")
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                if "/" not in target:
                    continue  # a file beside it
                to = target.split("/")[0]
                if to == folder:
                    continue
                rank = floor_of(to)
                if rank is None:
                    faults.append(f"{rel}: includes \"{target}\" from '{to}', which is on no floor")
                elif rank > own:
                    faults.append(f"{rel}: includes \"{target}\": '{to}' is above '{folder}'")
                elif rank == own:
                    faults.append(f"{rel}: includes \"{target}\": '{to}' is beside '{folder}' on one floor")
    return faults


def self_test():
    with tempfile.TemporaryDirectory() as d:
        def put(rel, text):
            p = os.path.join(d, rel)
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, "w") as f:
                f.write(text)
        put("base/a.h", "")
        put("install/b.cpp", '#include "install/b.h"\n#include "base/a.h"\n')
        assert check(d) == [], check(d)
        put("state/c.cpp", '#include "install/b.h"\n')
        put("update/d.cpp", '  #  include "wizard/w.h"\n')
        put("odd/e.cpp", "")
        got = check(d)
        assert any("state/c.cpp" in f and "above" in f for f in got), got
        assert any("update/d.cpp" in f and "beside" in f for f in got), got
        assert any("odd/e.cpp" in f and "no floor" in f for f in got), got
        assert len(got) == 3, got


def main():
    if sys.argv[1:] == ["--self-test"]:
        self_test()
        print("include check: self-test passed")
        return 0
    if len(sys.argv) != 2 or not os.path.isdir(sys.argv[1]):
        print("usage: check_includes.py SRC_FOLDER | --self-test", file=sys.stderr)
        return 2
    faults = check(sys.argv[1])
    for f in faults:
        print(f)
    if faults:
        print(f"include check: {len(faults)} include(s) climb or cross a floor")
        return 1
    print("include check: every include runs down the floors")
    return 0


if __name__ == "__main__":
    sys.exit(main())
