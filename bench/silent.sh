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
# REPEATS=1); our setup is packed again here on the current setup.exe stub.
# Prints medians of REPEATS rounds and the ratios.
# Targets: ours <= msiexec and ours <= 1.5 x NSIS, for install and uninstall.
set -euo pipefail
cd "$(dirname "$0")/.."
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
      --stub "$B/bin/setup.exe" -o "$WORK/klbench-setup.exe" >/dev/null || die "klpack build failed"
  exec scripts/wine-session.sh "$B" bash "$0" "$@"
fi

# ---- inside the Wine session ------------------------------------------------
RUN="$(realpath -m "$B")/wine-run"
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

ours=(); ours_x=(); msi=(); msi_x=(); nsis=(); nsis_x=()
for i in $(seq "$REPEATS"); do
  out=$(drv time klbench-setup.exe -s) || die "silent install failed: $out"
  ours+=("$(field whole_ms "$out")")
  out=$(drv time "${OURS_DIR}unstall.exe" -s -u "name=[$KEY]") || die "silent uninstall failed: $out"
  ours_x+=("$(field whole_ms "$out")")
  sleep 3   # the folder of unstall.exe goes a moment after it ended
  drv clean-ours "$KEY" "可乐基准测试输入法" >/dev/null || true
  out=$(drv time msiexec /i klbench.msi /qn) || die "msiexec /i failed: $out"
  msi+=("$(field whole_ms "$out")")
  out=$(drv time msiexec /x klbench.msi /qn) || die "msiexec /x failed: $out"
  msi_x+=("$(field whole_ms "$out")")
  out=$(drv time klbench-nsis.exe /S) || die "NSIS installer failed: $out"
  nsis+=("$(field whole_ms "$out")")
  out=$(drv timetree 'C:\Program Files\KLBenchNsis\uninst.exe' /S) || die "NSIS uninstaller failed: $out"
  nsis_x+=("$(field whole_ms "$out")")
  drv remove 'C:\Program Files\KLBenchNsis' "$NSIS_KEY" >/dev/null
done
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
    print("  ratio ours/msiexec: %.2f (target <= 1.00)   ours/NSIS: %.2f (target <= 1.50)"
          % (mo / mm, mo / mn))
EOF
