#!/usr/bin/env bash
# Unattended install and uninstall: our setup with -s against msiexec /qn and
# the NSIS installer /S, each timed as a whole process from CreateProcess to
# its exit code (our first instance waits for its working copy, so its exit
# is the end of the run), on the ~10 MB product of bench/install.sh, under
# the same wine64 with a warm wineserver, in one session:
#   ours     klbench-setup.exe -s                      / <dir>unstall.exe -s -u name=[KLBench]
#   msiexec  msiexec /i klbench.msi /qn                / msiexec /x klbench.msi /qn
#   NSIS     klbench-nsis.exe /S                       / uninst.exe /S (to the end of its tree)
# The packages come from bench/install.sh (made first when missing, with
# REPEATS=1); our setup is packed again here on the current setup.exe stub
# (KL_BENCH_STUB=path/setup.exe packs another one, e.g. an earlier build).
# Prints medians of REPEATS rounds and the ratios.
# Targets: install: ours <= msiexec and ours <= 1.5 x NSIS; uninstall: ours
# <= msiexec and ours <= NSIS.
# The timed rounds run under a bounded load like a parallel build (see
# bench/lib/load.sh; KL_BENCH_LOAD=0: none); the load average is printed.
# Where our runs' time goes is printed from their logs: the process start
# and end around the log, the preparation before the sequence (package
# split and extraction, COM's start, the checks), the steps, and the
# clean-up after the last line. COM's start is the install's first call that
# needs the desktop; under Wine it waits for the desktop's process to start
# when no program has used it for a second or so (every round here), about
# 100-180 ms against some 20 ms otherwise. msiexec /qn and the NSIS
# installer /S start it too (the wineserver's request log shows each of them
# starting "explorer.exe /desktop"), so every program's time holds that wait.
set -euo pipefail
cd "$(dirname "$0")/.."
BENCH_LIB="$(pwd)/bench/lib/load.sh"
export LANG=C.UTF-8
ROOT="${KL_BUILD_ROOT:-build}"
B="$ROOT/win64"
REPEATS="${REPEATS:-5}"
KEY=KLBench
WORK="$(realpath -m "$B")/bench-install"

die() { echo "bench silent: $*" >&2; exit 1; }

if [ -z "${KL_IN_XVFB:-}" ]; then
  if [ ! -f "$WORK/klbench.msi" ] || [ ! -f "$WORK/klbench-nsis.exe" ]; then
    echo "making the packages with bench/install.sh (REPEATS=1)"
    REPEATS=1 bash bench/install.sh >/dev/null || die "bench/install.sh failed"
  fi
  [ -z "${KL_BENCH_NO_BUILD:-}" ] && { cmake --build "$B" --target setup bench_install_driver_win >/dev/null || die "win64 build failed"; }
  "$ROOT/host/bin/klpack" build --manifest "$WORK/klbench.manifest" --folder "$WORK/product" \
      --stub "${KL_BENCH_STUB:-$B/bin/setup.exe}" -o "$WORK/klbench-setup.exe" >/dev/null || die "klpack build failed"
  exec scripts/wine-session.sh "$B" bash "$0" "$@"
fi

# ---- inside the Wine session ------------------------------------------------
RUN="$(realpath -m "$B")/wine-run"
DRIVE_C="$(realpath -m "$B")/wineprefix/drive_c"
DRV="$(realpath -m "$B")/bin/bench_install_driver_win.exe"
NSIS_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KLBenchNsis'
OURS_DIR='C:\Program Files\KLBench\'
cd "$WORK"
drv() { "$RUN" "$DRV" "$@" | tr -d '\r'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2" | head -1; }
clean_all() {
  drv clean-ours "$KEY" "可乐基准测试输入法" >/dev/null || true
  drv time msiexec /x klbench.msi /qn >/dev/null || true
  drv remove 'C:\Program Files\KLBenchMsi' 'C:\Program Files\KLBenchNsis' "$NSIS_KEY" >/dev/null
}

clean_all
# Warm-up: one untimed round of ours, with its exit codes checked.
out=$(drv time klbench-setup.exe -s) || die "silent install failed: $out"
[ "$(field exit "$out")" = 0 ] || die "silent install: $out"
out=$(drv time "${OURS_DIR}unstall.exe" -s -u "name=[$KEY]") || die "silent uninstall failed: $out"
[ "$(field exit "$out")" = 0 ] || die "silent uninstall: $out"
clean_all

ourlog() { find "$DRIVE_C/users" -name "$KEY-setup.log" 2>/dev/null | head -1 || true; }
ours=(); ours_x=(); msi=(); msi_x=(); nsis=(); nsis_x=(); in_logs=(); un_logs=()
# shellcheck source=bench/lib/load.sh
. "$BENCH_LIB"
bench_load_start
bench_load_report "before the timed rounds"
# Wine's desktop ends about a second after its last user. Our clean-up asks
# for the keyboard layouts, which starts it, and the program that follows
# would find it up and skip the wait the others have: every round starts
# once the prefix's desktop is down (at most 10 s).
PREFIX="$(realpath -m "$B")/wineprefix"
desktop_down() {
  local i p up
  for i in $(seq 100); do
    up=0
    for p in $(pgrep -f 'explorer.exe /desktop' || true); do
      tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qx "WINEPREFIX=$PREFIX" && up=1
    done
    [ "$up" = 0 ] && return 0
    sleep 0.1
  done
  echo "bench silent: the desktop stayed up; the next round may skip its start" >&2
}
# One program's timed install and uninstall. Each ends with the same pause:
# the file system creates files more slowly just after many were deleted,
# so every program starts as long after the last removal as the others.
round_ours() {
  desktop_down
  out=$(drv time klbench-setup.exe -s) || die "silent install failed: $out"
  ours+=("$(field whole_ms "$out")")
  log=$(ourlog); [ -n "$log" ] && cp "$log" "$WORK/silent-install-$1.log" && in_logs+=("$WORK/silent-install-$1.log")
  out=$(drv time "${OURS_DIR}unstall.exe" -s -u "name=[$KEY]") || die "silent uninstall failed: $out"
  ours_x+=("$(field whole_ms "$out")")
  log=$(ourlog); [ -n "$log" ] && cp "$log" "$WORK/silent-uninstall-$1.log" && un_logs+=("$WORK/silent-uninstall-$1.log")
  sleep 3   # (the folder of unstall.exe also goes a moment after it ended)
  drv clean-ours "$KEY" "可乐基准测试输入法" >/dev/null || true
}
round_msi() {
  desktop_down
  out=$(drv time msiexec /i klbench.msi /qn) || die "msiexec /i failed: $out"
  msi+=("$(field whole_ms "$out")")
  out=$(drv time msiexec /x klbench.msi /qn) || die "msiexec /x failed: $out"
  msi_x+=("$(field whole_ms "$out")")
  sleep 3
}
round_nsis() {
  desktop_down
  out=$(drv time klbench-nsis.exe /S) || die "NSIS installer failed: $out"
  nsis+=("$(field whole_ms "$out")")
  out=$(drv timetree 'C:\Program Files\KLBenchNsis\uninst.exe' /S) || die "NSIS uninstaller failed: $out"
  nsis_x+=("$(field whole_ms "$out")")
  drv remove 'C:\Program Files\KLBenchNsis' "$NSIS_KEY" >/dev/null
  sleep 3
}
# Each round starts with another program, so that none always follows the
# same one.
order=(ours msi nsis)
for i in $(seq "$REPEATS"); do
  for k in 0 1 2; do "round_${order[$(( (i + k) % 3 ))]}" "$i"; done
done
bench_load_report "after the timed rounds"
bench_load_stop
clean_all

python3 - "${ours[*]}" "${msi[*]}" "${nsis[*]}" "${ours_x[*]}" "${msi_x[*]}" "${nsis_x[*]}" <<'EOF'
import statistics, sys
v = [[float(x) for x in a.split()] for a in sys.argv[1:7]]
def show(name, runs):
    print("  %-8s median %7.1f ms  (runs: %s)" % (name, statistics.median(runs),
          " ".join("%.0f" % x for x in runs)))
for title, (o, m, n) in (("install (start to exit code)", v[0:3]),
                         ("uninstall (start to exit code)", v[3:6])):
    print("== silent " + title)
    show("ours -s", o); show("msiexec", m); show("NSIS /S", n)
    mo, mm, mn = (statistics.median(x) for x in (o, m, n))
    print("  ratio ours/msiexec: %.2f (target <= 1.00)   ours/NSIS: %.2f (target <= %s)"
          % (mo / mm, mo / mn, "1.50" if title.startswith("install") else "1.00"))
EOF

# Where our silent runs' time went, from their logs (median over the rounds).
python3 - "${ours[*]}" "${ours_x[*]}" "${#in_logs[@]}" "${in_logs[@]}" "${un_logs[@]}" <<'EOF'
import datetime, re, statistics, sys
wholes = [[float(x) for x in a.split()] for a in sys.argv[1:3]]
n = int(sys.argv[3])
groups = [sys.argv[4:4 + n], sys.argv[4 + n:]]
def lines(path):
    out = []
    try:
        for line in open(path, encoding="utf-8-sig").read().splitlines():
            m = re.match(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})  (.*)", line)
            if m:
                out.append((datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f"), m.group(2)))
    except OSError:
        pass
    return out
def at(ls, prefix):
    for t, text in ls:
        if text.startswith(prefix):
            return t
    return None
def ms(a, b):
    return (b - a).total_seconds() * 1000
plans = [
    ("install", ["package extracted", "licence accepted", "验证安装信息", "  1.", "  2.", "  3.",
                 "  4.", "  5.", "  6."],
     ["before the sequence: split and extraction",
      "before the sequence: COM start (waits for the desktop when none is up)",
      "before the sequence: checks and in-use log",
      "verify and start", "step 1  files placed", "step 2  environment", "step 3  uninstall record",
      "step 4  backup copy", "step 5  shortcuts", "step 6 to the log's last line"]),
    ("uninstall", ["开始卸载", "  1.", "  2.", "  3.", "  4.", "  5.", "  6."],
     ["before the sequence (first line to 开始卸载: in-use check)", "start",
      "step 1  interface", "step 2  files", "step 3  links", "step 4  registry",
      "step 5  input method", "step 6 to the log's last line"]),
]
outside = "outside the log (process start and end, working copy, clean-up after it)"
for (title, marks, names), logs, whole in zip(plans, groups, wholes):
    rows = {k: [] for k in names + [outside, "whole (timed)"]}
    for path, w in zip(logs, whole):
        ls = lines(path)
        if not ls:
            continue
        first, last = ls[0][0], ls[-1][0]
        pts = [first] + [at(ls, m) for m in marks] + [last]
        if any(p is None for p in pts):
            continue
        for k, a, b in zip(names, pts, pts[1:]):
            rows[k].append(ms(a, b))
        rows[outside].append(w - ms(first, last))
        rows["whole (timed)"].append(w)
    print("== our silent %s, split (median of %d logs)" % (title, len(rows["whole (timed)"])))
    for k, v in rows.items():
        if v:
            print("  %-74s %7.1f ms" % (k, statistics.median(v)))
EOF
