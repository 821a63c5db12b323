#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs each for N
# seconds (first argument, default 15) from a small seed corpus kept under
# the build tree. Exits non-zero when a target crashes or fails to build.
set -uo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-15}"
ROOT="${KL_BUILD_ROOT:-build}"
DIR="$ROOT/fuzz"
if [ ! -f "$DIR/build.ninja" ]; then
  cmake --preset fuzz -B "$DIR" >/dev/null || { echo "fuzz: configure failed"; exit 1; }
fi
if ! cmake --build "$DIR" >"$DIR/build.log" 2>&1; then
  tail -40 "$DIR/build.log"
  echo "fuzz: build failed (full log: $DIR/build.log)"
  exit 1
fi
fail=0
for t in "$DIR"/bin/fuzz_*; do
  [ -x "$t" ] || continue
  name="$(basename "$t")"
  corpus="$DIR/corpus/$name"
  mkdir -p "$corpus" "$DIR/crashes/$name"
  # Seeds: whatever a target's seed hook writes, plus a few tiny inputs.
  if [ -z "$(ls -A "$corpus")" ]; then
    printf 'MSCF' >"$corpus/mscf"
    printf 'CRYP\0\0\0\0' >"$corpus/cryp"
    if [ "$name" = fuzz_cryp_cab ] && [ -x "$ROOT/host/bin/klpack" ]; then
      seed="$(mktemp -d)"
      printf 'seed data\n' >"$seed/a.txt"
      "$ROOT/host/bin/klpack" cab --folder "$seed" -o "$corpus/seed.cab" >/dev/null 2>&1 || true
      rm -rf "$seed"
    fi
  fi
  echo "== $name (${SECONDS_EACH}s)"
  if ! "$t" -max_total_time="$SECONDS_EACH" -max_len=65536 -timeout=20 \
       -artifact_prefix="$DIR/crashes/$name/" "$corpus" >"$DIR/$name.log" 2>&1; then
    tail -30 "$DIR/$name.log"
    echo "fuzz: $name failed (log: $DIR/$name.log)"
    fail=1
  fi
done
exit $fail
