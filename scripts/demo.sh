#!/usr/bin/env bash
# The main job: build everything, pack the sample product into a setup
# executable and run it under Wine (headless, one private X display).
# Prints what happened and where the artefacts are.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="${KL_BUILD_ROOT:-build}"
scripts/build.sh
scripts/pack-sample.sh "$ROOT"
echo "== sample setup executable"
"$ROOT/host/bin/klpack" inspect "$ROOT/win64/sample-setup.exe" | head -30
DEMO="$ROOT/demo"
mkdir -p "$DEMO"
if [ -x scripts/demo-run.sh ]; then
  scripts/wine-session.sh "$ROOT/win64" scripts/demo-run.sh "$ROOT" "$DEMO"
else
  echo "== running the sample setup under Wine"
  scripts/wine-session.sh "$ROOT/win64" "$ROOT/win64/wine-run" "$ROOT/win64/sample-setup.exe"
fi
echo "demo: artefacts in $DEMO"
