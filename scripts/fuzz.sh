#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs each for RUNS
# inputs (first argument, default 20000) with a fixed seed (KL_FUZZ_SEED,
# default 1), so that one tree gives one verdict. Each target starts from its
# seed corpus in the tree, tests/fuzz/corpus/<target>/, copied fresh into a
# temporary folder that is removed afterwards: nothing found by one run feeds
# the next. Inputs that crash are kept under <build>/fuzz/crashes/<target>/.
# Exits non-zero when a target crashes or fails to build.
set -uo pipefail
cd "$(dirname "$0")/.."
RUNS="${1:-20000}"
SEED="${KL_FUZZ_SEED:-1}"
ROOT="${KL_BUILD_ROOT:-build}"
DIR="$ROOT/fuzz"
CORPORA="tests/fuzz/corpus"
if [ ! -f "$DIR/build.ninja" ]; then
  cmake --preset fuzz -B "$DIR" >/dev/null || { echo "fuzz: configure failed"; exit 1; }
fi
if ! cmake --build "$DIR" >"$DIR/build.log" 2>&1; then
  tail -40 "$DIR/build.log"
  echo "fuzz: build failed (full log: $DIR/build.log)"
  exit 1
fi
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
fail=0
for t in "$DIR"/bin/fuzz_*; do
  [ -x "$t" ] || continue
  name="$(basename "$t")"
  seeds="$CORPORA/$name"
  corpus="$WORK/$name"
  mkdir -p "$corpus" "$DIR/crashes/$name"
  if [ -n "$(ls -A "$seeds" 2>/dev/null)" ]; then
    cp -R "$seeds/." "$corpus/"
  else
    echo "fuzz: warning: $name has no seeds in $seeds (starts from nothing)"
  fi
  echo "== $name ($RUNS runs, seed $SEED)"
  if ! "$t" -runs="$RUNS" -seed="$SEED" -max_len=65536 -timeout=20 \
       -artifact_prefix="$DIR/crashes/$name/" "$corpus" >"$DIR/$name.log" 2>&1; then
    tail -30 "$DIR/$name.log"
    echo "fuzz: $name failed (log: $DIR/$name.log)"
    fail=1
  fi
  rm -rf "$corpus"
done
exit $fail
