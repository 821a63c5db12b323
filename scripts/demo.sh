#!/usr/bin/env bash
# The main job: build everything, pack the sample product into a setup
# executable and run it under Wine (headless, one private X display) as a
# user would: a robot program (bin/demo_driver.exe) starts the real sample
# setup, looks at the directory and user pages, opens the licence, accepts
# it, installs and finishes; then deletes an installed file and repairs the
# product with the installed unstall.exe -r, and uninstalls it with
# unstall.exe -u. Screenshots of each page and dialog go to BUILD_ROOT/demo/;
# one line per mode tells its outcome.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="${KL_BUILD_ROOT:-build}"
scripts/build.sh
scripts/pack-sample.sh "$ROOT"
echo "== sample setup executable"
"$ROOT/host/bin/klpack" inspect "$ROOT/win64/sample-setup.exe" | head -30
DEMO="$(realpath -m "$ROOT/demo")"
mkdir -p "$DEMO"
rm -f "$DEMO"/*.png
# Wine sees the Linux file system as drive Z:.
winpath() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }
echo "== installing, repairing and uninstalling the sample product under Wine"
LOG="$DEMO/driver.log"
set +e
scripts/wine-session.sh "$ROOT/win64" "$ROOT/win64/wine-run" "$ROOT/win64/bin/demo_driver.exe" \
  "$(winpath "$ROOT/win64/sample-setup.exe")" "$(winpath "$DEMO")" 2>&1 | tee "$LOG"
rc=${PIPESTATUS[0]}
set -e
echo "demo: screenshots in $DEMO:"
ls -1 "$DEMO"/*.png 2>/dev/null | sed 's/^/  /' || true
echo "== outcome"
grep -E '^demo: (install|repair|uninstall): ' "$LOG" | tr -d '\r' || true
if [ "$rc" -ne 0 ]; then echo "demo: FAILED (driver exit code $rc)"; exit "$rc"; fi
echo "demo: the sample product was installed, repaired and uninstalled"
