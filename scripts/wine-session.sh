#!/usr/bin/env bash
# Runs a command under one private Xvfb display, so every Windows process of
# the session shares it; stops the build's wineserver afterwards.
# Usage: wine-session.sh BUILD_DIR COMMAND [ARGS...]
set -uo pipefail
BUILD="$1"; shift
if [ -z "${KL_IN_XVFB:-}" ]; then
  export KL_IN_XVFB=1
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BUILD" "$@"
  rc=$?
  "$BUILD/wine-run" --wineserver -k >/dev/null 2>&1 || true
  exit $rc
fi
"$(dirname "$0")/wine-prefix-setup.sh" "$BUILD" || exit 1
"$@"
