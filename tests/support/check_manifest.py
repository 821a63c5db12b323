#!/usr/bin/env python3
"""Reads the application manifest (resource type 24, id 1) out of a PE file
and checks what the setup program must ask of Windows: administrator rights,
the supported Windows versions from Vista to 11, system DPI awareness and the
version 6 common controls.

usage: check_manifest.py EXE     exit 0 when every check holds
"""
import struct
import sys
import xml.etree.ElementTree as ET

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}


def manifest_of(data):
    lfanew = struct.unpack_from("<I", data, 60)[0]
    if data[lfanew:lfanew + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, opt_size = struct.unpack_from("<H12xH", data, lfanew + 6)
    opt = lfanew + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (96 if magic == 0x10B else 112)
    rsrc_rva = struct.unpack_from("<I", data, dirs + 2 * 8)[0]
    table = opt + opt_size
    for i in range(sections):
        _, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        if va <= rsrc_rva < va + max(vsize, rsize):
            base = raw + (rsrc_rva - va)
            break
    else:
        raise ValueError("no resource section")

    def entries(offset):
        named, ids = struct.unpack_from("<12xHH", data, base + offset)
        for k in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * k)
            yield name, target

    def find(offset, wanted):
        for name, target in entries(offset):
            if wanted is None or name == wanted:
                return target
        raise ValueError("resource %r not found" % (wanted,))

    level2 = find(0, 24) & 0x7FFFFFFF       # RT_MANIFEST
    level3 = find(level2, 1) & 0x7FFFFFFF   # id 1
    leaf = find(level3, None)               # any language
    rva, size = struct.unpack_from("<II", data, base + leaf)
    return data[base + (rva - rsrc_rva):base + (rva - rsrc_rva) + size]


def main():
    path = sys.argv[1]
    text = manifest_of(open(path, "rb").read())
    root = ET.fromstring(text)
    problems = []
    levels = [e.get("level") for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
    if levels != ["requireAdministrator"]:
        problems.append("requested execution level %s, expected requireAdministrator" % levels)
    os_ids = {e.get("Id", "").lower() for e in root.iter() if e.tag.endswith("supportedOS")}
    if os_ids != SUPPORTED_OS:
        problems.append("supportedOS %s, expected Vista to 11" % sorted(os_ids))
    dpi = [e.text.strip().lower() for e in root.iter() if e.tag.endswith("}dpiAware")]
    if dpi != ["true"]:
        problems.append("dpiAware %s, expected true (system DPI awareness)" % dpi)
    controls = [e.get("version") for e in root.iter() if e.tag.endswith("assemblyIdentity")
                and e.get("name") == "Microsoft.Windows.Common-Controls"]
    if controls != ["6.0.0.0"]:
        problems.append("common controls %s, expected 6.0.0.0" % controls)
    for p in problems:
        print("%s: %s" % (path, p))
    if not problems:
        print("%s: manifest asks for administrator rights, Vista to 11, system DPI, "
              "common controls 6" % path)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
