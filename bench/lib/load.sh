# Sourced by the benchmarks that are timed under load: a bounded background
# load like a parallel build, started before the timed rounds and stopped at
# the end (also on failure), and the machine's load average around them.
#
#   KL_BENCH_LOAD=N   N compile loops (default 2, one per core of the
#                     reference machine; 0: no load of our own)
#
# bench_load_start   starts the loops (each compiles one of the product's
#                    sources with the host compiler again and again)
# bench_load_stop    stops them (by their process ids)
# bench_load_report  prints the load average now and the loop count
# Other work on the machine (other builds, tests) adds to the load: the
# load average printed is the machine's, whoever causes it.
BENCH_LOAD_PIDS=()
BENCH_LOAD_N="${KL_BENCH_LOAD:-2}"

bench_load_start() {
  [ "$BENCH_LOAD_N" -gt 0 ] 2>/dev/null || return 0
  local src cxx
  src="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
  cxx="$(command -v c++ || command -v g++ || true)"
  [ -n "$cxx" ] || { echo "bench load: no host compiler, running without a load of our own"; return 0; }
  for i in $(seq "$BENCH_LOAD_N"); do
    ( trap 'exit 0' TERM
      while :; do
        "$cxx" -std=c++17 -O2 -I "$src/src" -c "$src/src/package/cab_decoder.cpp" -o /dev/null 2>/dev/null
      done ) 2>/dev/null &
    BENCH_LOAD_PIDS+=("$!")
  done
  trap bench_load_stop EXIT
  sleep "${KL_BENCH_LOAD_WARM:-20}"   # let the load average climb before timing
}

bench_load_stop() {
  local p
  for p in "${BENCH_LOAD_PIDS[@]}"; do
    # The loop first (it ends once its compiler has), then that compiler.
    kill -TERM "$p" 2>/dev/null || true
    pkill -TERM -P "$p" 2>/dev/null || true
  done
  for p in "${BENCH_LOAD_PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  BENCH_LOAD_PIDS=()
}

bench_load_report() {
  read -r l1 l5 l15 _ </proc/loadavg
  echo "load average $1: $l1 (1 min) $l5 (5 min) $l15 (15 min); our load: $BENCH_LOAD_N compile loop(s) on $(nproc) core(s)"
}
