#!/usr/bin/env bash
# Builds everything, then runs every test: host (ASan/UBSan), the win32
# shipping-build checks, and the win64 tests under Wine in ONE Xvfb display.
# Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT="${KL_BUILD_ROOT:-build}"
scripts/build.sh || { echo "test: build failed"; exit 1; }
# The end-to-end tests install the sample product.
scripts/pack-sample.sh "$ROOT" || { echo "test: packing the sample product failed"; exit 1; }
fail=0
echo "== host tests"
LOG="$(mktemp)"
trap 'rm -f "$LOG"' EXIT
ctest --test-dir "$ROOT/host" --output-on-failure -j2 2>&1 | tee -a "$LOG"
[ "${PIPESTATUS[0]}" -eq 0 ] || fail=1
echo "== win32 (shipping build) checks"
ctest --test-dir "$ROOT/win32" --output-on-failure 2>&1 | tee -a "$LOG"
[ "${PIPESTATUS[0]}" -eq 0 ] || fail=1
echo "== win64 tests under Wine"
scripts/wine-session.sh "$ROOT/win64" \
  ctest --test-dir "$ROOT/win64" --output-on-failure 2>&1 | tee -a "$LOG"
[ "${PIPESTATUS[0]}" -eq 0 ] || fail=1
if [ -x scripts/fuzz.sh ] && [ -z "${KL_NO_FUZZ:-}" ]; then
  echo "== fuzz targets (bounded)"
  scripts/fuzz.sh "${KL_FUZZ_SECONDS:-15}" || fail=1
fi
# One closing line over the three ctest runs: "N passed, N failed".
read -r total failed < <(awk '/tests failed out of/ {f += $4; t += $NF} END {print t+0, f+0}' "$LOG")
# A failure outside ctest's counts (fuzzing, a run that could not start)
# still shows as a failure here.
if [ $fail -ne 0 ]; then
  echo "test: FAILED"
  [ "$failed" -gt 0 ] || { failed=1; total=$((total + 1)); }
fi
echo "test: $((total - failed)) passed, $failed failed"
exit $fail
