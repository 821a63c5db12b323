#!/usr/bin/env bash
# Builds setup.exe and the preview tool, shows every dialog template under
# Wine and saves one PNG per dialog in BUILD_ROOT/win64/screens/.
# Usage: scripts/screenshots.sh [BUILD_ROOT]   (default: $KL_BUILD_ROOT or build)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="${1:-${KL_BUILD_ROOT:-build}}"
BUILD="$ROOT/win64"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake --preset win64 -B "$BUILD" >/dev/null
fi
cmake --build "$BUILD" --target setup dlgpreview >"$BUILD/screenshots-build.log" 2>&1 || {
  tail -40 "$BUILD/screenshots-build.log"; echo "screenshots: build failed"; exit 1; }
OUT="$(realpath -m "$BUILD/screens")"
rm -rf "$OUT"
mkdir -p "$OUT"
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
SETUP="$(winpath "$(realpath "$BUILD/bin/setup.exe")")"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
scripts/wine-session.sh "$BUILD" "$BUILD/wine-run" "$BUILD/bin/dlgpreview.exe" "$SETUP" "$(winpath "$OUT")"
echo "screenshots: $(ls "$OUT"/*.png 2>/dev/null | wc -l) PNG files in $OUT"
