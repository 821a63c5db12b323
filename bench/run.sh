#!/usr/bin/env bash
# Runs every benchmark script in this folder (bench/*.sh except this one).
# Benchmarks print their own figures and ratios; they are never part of the tests.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
rc=0
for b in "$here"/*.sh; do
  [ "$(basename "$b")" = run.sh ] && continue
  echo "== $(basename "$b" .sh)"
  bash "$b" || { echo "bench: $(basename "$b") failed"; rc=1; }
done
exit $rc
