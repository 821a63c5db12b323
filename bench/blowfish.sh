#!/usr/bin/env bash
# Builds the non-sanitized host tree and runs the Blowfish benchmark
# (ours against OpenSSL's Blowfish-ECB). KL_BUILD_ROOT chooses the build root.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="${KL_BUILD_ROOT:-build}"
dir="$ROOT/host-release"
if [ ! -f "$dir/build.ninja" ]; then
  cmake --preset host-release -B "$dir" >/dev/null
fi
cmake --build "$dir" --target bench_blowfish_bench_host >/dev/null
"$dir/bin/bench_blowfish_bench_host"
