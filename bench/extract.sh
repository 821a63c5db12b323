#!/usr/bin/env bash
# Extraction throughput: the keyed Cabinet::CExtract (our decoding engine
# with the CRYP read layer) and the unkeyed CExtract on the same cabinet
# deciphered, against three references on that plain cabinet:
#   FDI        Wine's own Cabinet.dll through FDI alone (the reader our
#              extractor keeps for cabinet sets), driven by a plain client in
#              the same wine64, with the same output sequence as ours;
#   expand.exe Wine's expand.exe. It has no -F: switch and takes no folder as
#              the destination of a cabinet ("expand CAB DIR" fails with
#              "cabinet extraction failed" for any cabinet); given a file name
#              it decodes every member and writes each in turn to that one
#              file. So it is given the same cabinet and a file name: the same
#              bytes decoded and written, one name instead of 35;
#   cabextract on the host.
#
# Like with like: for CExtract and FDI the extraction call is timed inside the
# Windows program (warm wineserver, Wine's start-up excluded); for expand.exe
# (from CreateProcess, inside Wine) and cabextract the whole process is timed
# and its start-up, measured on a cabinet holding one empty file, is
# subtracted. Best of N runs each.
# The keyed extraction of the same 10 MB as 310 files (about the install
# bench's product) shows what the per-file output handling costs: over the
# files of the round before, and into a folder made anew each round (what
# an install does).
# Also prints the peak working set of a process that extracts a small and a
# large package, to show that memory does not grow with the package, a
# profile of the keyed read layer (read and seek calls, deciphering alone) and
# one of the per-file output handling (the earlier call sequence against the
# current one, call by call, on 310 files of 32 KB).
#
# KL_BUILD_ROOT chooses the build root (default: build); the win64 tree must
# have been configured. Runs its own Xvfb/Wine session.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="${KL_BUILD_ROOT:-build}"
B="$ROOT/win64"
case "$B" in /*) ;; *) B="$(pwd)/$B" ;; esac   # KL_BUILD_ROOT may be absolute
REPEATS="${REPEATS:-7}"
[ -n "${KL_BENCH_NO_BUILD:-}" ] || cmake --build "$B" --target bench_extract_bench_win >/dev/null
EXE="$B/bin/bench_extract_bench_win.exe"
WORK="$B/bench-extract"
rm -rf "$WORK"; mkdir -p "$WORK"

if [ -z "${KL_IN_XVFB:-}" ]; then
  exec scripts/wine-session.sh "$B" bash "$0" "$@"
fi
RUN="$B/wine-run"

cd "$WORK"
"$RUN" "$EXE" make 10 big.cab big-plain.cab
"$RUN" "$EXE" make 0.3 small.cab small-plain.cab
"$RUN" "$EXE" make 10 many.cab many-plain.cab 310 | sed 's/^/many files: /'
# The CExtract figures (each run in a fresh process, so its peak is its own).
"$RUN" "$EXE" run small.cab out-small 3 | sed 's/^/small package: /'
ours="$("$RUN" "$EXE" run big.cab out-big "$REPEATS")"
echo "large package: $ours"
plain="$("$RUN" "$EXE" run big-plain.cab out-big-plain "$REPEATS" plain)"
echo "large package, unkeyed: $plain"
"$RUN" "$EXE" run many.cab out-many "$REPEATS" | sed 's/^/310 files of 33 KB: /'
# The same into a folder made anew each round, as an install extracts: under
# Wine, making a file costs more than writing over one.
"$RUN" "$EXE" run many.cab out-many-fresh "$REPEATS" fresh | sed 's/^/310 files of 33 KB, each made anew: /'
"$RUN" "$EXE" profile big.cab out-profile | sed 's/^/read layer: /'
"$RUN" "$EXE" outputs 310 32 out-outputs | sed 's/^/output handling: /'
fdi="$("$RUN" "$EXE" fdi big-plain.cab out-fdi "$REPEATS")"
echo "large package, Wine's FDI alone: $fdi"

# A cabinet holding one empty file: the start-up of expand.exe and cabextract.
python3 - <<'EOF'
import struct
name = b"empty.txt\0"
coff = 36 + 8
cab_len = coff + 16 + len(name)
hdr = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, cab_len, 0, coff, 0, 3, 1, 1, 1, 0, 0, 0)
folder = struct.pack("<IHH", cab_len, 0, 0)
entry = struct.pack("<IIHHHH", 0, 0, 0, 0x40E6, 0, 0x20) + name
open("empty.cab", "wb").write(hdr + folder + entry)
EOF
mkdir -p out-expand
spawn_ms() { sed -n 's/.*best_ms=\([0-9.]*\).*exit=0.*/\1/p' <<<"$1"; }
exp_full=$(spawn_ms "$("$RUN" "$EXE" spawn "$REPEATS" 'expand.exe big-plain.cab out-expand\all.out')")
exp_start=$(spawn_ms "$("$RUN" "$EXE" spawn "$REPEATS" 'expand.exe empty.cab out-expand\empty.out')")
[ -n "$exp_full" ] && [ -n "$exp_start" ] || { echo "bench extract: expand.exe failed" >&2; exit 1; }

# cabextract: best whole-process time, minus start-up on the empty cabinet.
best() {  # best wall time in ns of "$@" over REPEATS runs
  local b=0 t0 t1 d
  for _ in $(seq "$REPEATS"); do
    rm -rf out-cx; t0=$(date +%s%N); "$@" >/dev/null; t1=$(date +%s%N)
    d=$((t1 - t0)); if [ "$b" -eq 0 ] || [ "$d" -lt "$b" ]; then b=$d; fi
  done
  echo "$b"
}
full=$(best cabextract -q -d out-cx big-plain.cab)
start=$(best cabextract -q -d out-cx empty.cab)
bytes=$(du -sb out-big | cut -f1)
python3 - "$full" "$start" "$bytes" "$ours" "$plain" "$fdi" "$exp_full" "$exp_start" <<'EOF'
import re, sys
full, start, size = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
ours, plain, fdi = sys.argv[4], sys.argv[5], sys.argv[6]
exp_full, exp_start = float(sys.argv[7]), float(sys.argv[8])
mb = size / 1048576.0
net = max(full - start, 1)
cx = mb / (net / 1e9)
def rate(line):
    m = re.search(r"= (\d+) MB/s", line)
    return float(m.group(1)) if m else 0.0
mine = rate(ours)
print(f"cabextract: {mb:.2f} MB in {full/1e6:.1f} ms whole process, start-up {start/1e6:.1f} ms, "
      f"extraction {net/1e6:.1f} ms = {cx:.0f} MB/s")
exp_net = max(exp_full - exp_start, 0.001)
ex = mb / (exp_net / 1e3)
print(f"expand.exe: {mb:.2f} MB in {exp_full:.1f} ms whole process, start-up {exp_start:.1f} ms, "
      f"extraction {exp_net:.1f} ms = {ex:.0f} MB/s")
ref = rate(fdi)
print(f"ratio CExtract/FDI throughput: keyed {mine/ref:.2f}, unkeyed {rate(plain)/ref:.2f} (target >= 1.50)")
print(f"ratio CExtract/expand.exe throughput: keyed {mine/ex:.2f}, unkeyed {rate(plain)/ex:.2f}")
print(f"ratio unkeyed CExtract/cabextract throughput: {rate(plain)/cx:.2f}")
print(f"ratio CExtract/cabextract throughput: {mine/cx:.2f} (target >= 0.80)")
EOF
