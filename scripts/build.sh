#!/usr/bin/env bash
# Configures and builds the three builds: win64 (runs under Wine), win32 (the
# shipping PE32), host (portable core, packager, sanitizer tests).
# KL_BUILD_ROOT (default: build) chooses where the build trees go.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="${KL_BUILD_ROOT:-build}"
PRESETS=("$@")
[ ${#PRESETS[@]} -gt 0 ] || PRESETS=(host win64 win32)
for p in "${PRESETS[@]}"; do
  dir="$ROOT/$p"
  if [ ! -f "$dir/build.ninja" ]; then
    cmake --preset "$p" -B "$dir" >/dev/null
  fi
  echo "== build $p ($dir)"
  if ! cmake --build "$dir" -- -k 0 >"$dir/build.log" 2>&1; then
    grep -v '^\[' "$dir/build.log" | tail -60
    echo "build: $p failed (full log: $dir/build.log)"
    exit 1
  fi
done
