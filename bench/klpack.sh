#!/usr/bin/env bash
# klpack against gcab: the same ~10 MB folder of mixed content (text, random
# bytes, repetitive data; a few hundred files), whole process against whole
# process, several runs each; then klpack's peak memory for a 10 MB and a
# 40 MB folder (it must not grow with the package).
# Uses a non-sanitized build: cmake --preset host-release -B build-packager/host-release.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${KL_BENCH_BUILD:-build-packager/host-release}"
RUNS="${RUNS:-5}"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake --preset host-release -B "$BUILD" >/dev/null
fi
cmake --build "$BUILD" --target klpack >/dev/null
KLPACK="$BUILD/bin/klpack"
command -v gcab >/dev/null || { echo "bench: gcab is not installed"; exit 1; }
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

# make_folder DIR MEGABYTES: deterministic mixed content, ~300 files per 10 MB.
make_folder() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, mb = sys.argv[1], int(sys.argv[2])
rnd = random.Random(1234 + mb)
words = ["pinyin", "词库", "输入法", "kelo", "driver", "skin", "table", "候选", "zh", "data"]
total, target, i = 0, mb * 1024 * 1024, 0
while total < target:
    kind = i % 3
    size = rnd.randint(2000, 70000)
    d = os.path.join(root, "dir%02d" % (i % 17), "sub%d" % (i % 3))
    os.makedirs(d, exist_ok=True)
    if kind == 0:
        text = " ".join(rnd.choice(words) for _ in range(size // 6)) + "\n"
        data = text.encode("utf-8")[:size]
    elif kind == 1:
        data = rnd.randbytes(size)
    else:
        data = (b"KLIME-RECORD-%08d;" % i) * (size // 22)
    with open(os.path.join(d, "file%04d.%s" % (i, ["txt", "bin", "dat"][kind])), "wb") as f:
        f.write(data)
    total += len(data)
    i += 1
PY
}

make_stub() {
  python3 - "$1" <<'PY'
import sys
b = bytearray(4096)
b[0:2] = b"MZ"; b[60] = 0x80
b[0x80:0x84] = b"PE\0\0"; b[0x84:0x86] = b"\x64\x86"; b[0x94] = 0xF0
b[0x98:0x9a] = b"\x0b\x02"
open(sys.argv[1], "wb").write(b)
PY
}

now() { date +%s.%N; }

make_folder "$WORK/f10" 10
make_folder "$WORK/f40" 40
make_stub "$WORK/stub.exe"
printf 'imeName = Bench\ndisplayName = Bench\n' >"$WORK/m.txt"
files=$(find "$WORK/f10" -type f | wc -l)
bytes=$(du -sb "$WORK/f10" | cut -f1)
echo "folder: $files files, $bytes bytes; $RUNS runs each"

best_klpack=999; best_gcab=999; sum_klpack=0; sum_gcab=0
for r in $(seq "$RUNS"); do
  t0=$(now); "$KLPACK" build --manifest "$WORK/m.txt" --folder "$WORK/f10" --stub "$WORK/stub.exe" -o "$WORK/out.exe"; t1=$(now)
  # gcab takes the files on its command line, paths relative to the folder.
  t2=$(now); (cd "$WORK/f10" && find . -type f -printf '%P\n' | sort | xargs gcab -c -z "$WORK/out.cab"); t3=$(now)
  k=$(echo "$t1 - $t0" | bc -l); g=$(echo "$t3 - $t2" | bc -l)
  sum_klpack=$(echo "$sum_klpack + $k" | bc -l); sum_gcab=$(echo "$sum_gcab + $g" | bc -l)
  printf "run %d: klpack build %.3f s   gcab -c -z %.3f s\n" "$r" "$k" "$g"
done
ks=$(stat -c %s "$WORK/out.exe"); gs=$(stat -c %s "$WORK/out.cab")
printf "mean: klpack %.3f s, gcab %.3f s, ratio klpack/gcab %.2f\n" \
  "$(echo "$sum_klpack / $RUNS" | bc -l)" "$(echo "$sum_gcab / $RUNS" | bc -l)" \
  "$(echo "$sum_klpack / $sum_gcab" | bc -l)"
echo "output: klpack $ks bytes (setup with stub), gcab $gs bytes"

for n in 10 40; do
  /usr/bin/time -v "$KLPACK" build --manifest "$WORK/m.txt" --folder "$WORK/f$n" \
    --stub "$WORK/stub.exe" -o "$WORK/out$n.exe" 2>"$WORK/time$n.txt"
  rss=$(grep "Maximum resident set size" "$WORK/time$n.txt" | awk '{print $NF}')
  echo "peak memory, klpack build of $(du -sb "$WORK/f$n" | cut -f1) bytes: ${rss} KiB"
done
