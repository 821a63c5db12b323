#!/usr/bin/env bash
# Driver update: a 10 MB driver cabinet from the loopback test server
# (tests/support/update_server.py), published with klpack update-tree.
#
#   1. KLIMEUpdate::DownloadFile (reads of up to 256 KB, a progress report at most every
#      50 ms and at the end into the list view of a live update dialog) against `curl -o` of the
#      same URL, best of N each, as a throughput ratio (target: at least 0.5).
#      The same download without a progress callback shows what the per-read
#      window messages cost.
#   2. The whole check of the real dialog for that one item: from the
#      dialog's start to "更新完毕" (download, unpack, identity transfer,
#      copy; its fixed 200 ms start timer and 500 ms pause included).
#   3. The same item through "setup.exe -s -g", start to exit of the process,
#      as a ratio to 2.
#
# KL_BUILD_ROOT chooses the build root (default: build); host and win64 must
# be built. Runs its own Xvfb/Wine session and stops the server it started.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(cd "${KL_BUILD_ROOT:-build}" && pwd)"
B="$ROOT/win64"
REPEATS="${REPEATS:-5}"
MB="${MB:-10}"
[ -n "${KL_BENCH_NO_BUILD:-}" ] || cmake --build "$B" --target bench_update_bench_win setup sample_all >/dev/null
EXE="$B/bin/bench_update_bench_win.exe"
KLPACK="$ROOT/host/bin/klpack"
WORK="$B/bench-update"

if [ -z "${KL_IN_XVFB:-}" ]; then
  rm -rf "$WORK"; mkdir -p "$WORK/drivers/SKIN_DRIVE" "$WORK/www" "$WORK/install"
  exec scripts/wine-session.sh "$B" bash "$0" "$@"
fi
RUN="$B/wine-run"
SAMPLE="$B/bin/sample"

python3 tests/support/update_server.py --root "$WORK/www" --port-file "$WORK/port" \
  --lifetime 900 >/dev/null 2>&1 &
SERVER=$!
trap 'curl -s "http://127.0.0.1:$(cat "$WORK/port" 2>/dev/null)/__control?stop=1" >/dev/null 2>&1 || true; kill $SERVER 2>/dev/null || true; wait $SERVER 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT="$(cat "$WORK/port")"
BASE="http://127.0.0.1:$PORT"

win() { echo "Z:$1" | sed 's#/#\\#g'; }   # Wine's Z: drive is the Unix root
cd "$WORK"
"$RUN" "$EXE" bigdriver "$(win "$SAMPLE/skin.dll")" "$(win "$WORK/drivers/SKIN_DRIVE/prismic.dll")" "$MB"
"$KLPACK" update-tree --drivers drivers --base-url "$BASE" -o www >/dev/null
URL="$BASE/drivers/skin_drive/prismic.cab"
echo "cabinet: $(stat -c %s www/drivers/skin_drive/prismic.cab) bytes at $URL"

best_curl=""
for _ in $(seq "$REPEATS"); do
  t="$(curl -s -o curl.cab -w '%{time_total}' "$URL")"
  best_curl="$(python3 -c "import sys; a=sys.argv[1]; b=float(sys.argv[2]); print(b if not a else min(float(a), b))" "$best_curl" "$t")"
done
echo "curl -o: best $best_curl s"

ours="$("$RUN" "$EXE" download "$URL" "$(win "$WORK/ours.cab")" "$REPEATS" | tr -d '\r')"
echo "$ours" | grep -v '^seconds_'
cmp -s ours.cab curl.cab && echo "same bytes as curl" || echo "DIFFERENT bytes from curl"
with="$(echo "$ours" | sed -n 's/^seconds_with //p')"
without="$(echo "$ours" | sed -n 's/^seconds_without //p')"
python3 - "$best_curl" "$with" "$without" <<'PY'
import sys
curl, w, wo = map(float, sys.argv[1:])
print(f"throughput ratio DownloadFile/curl: {curl / w:.2f} with progress into the dialog, "
      f"{curl / wo:.2f} without a progress callback (target >= 0.5)")
PY

cp "$SAMPLE/skin.dll" install/skin.dll
"$KLPACK" ksc -o bench.ksc --record kl_ime_config_data_default --code-table KeloSampleMB \
  --main KeloSample --skin prismic
check="$("$RUN" "$EXE" check "$BASE" "$(win "$WORK/install/")" "$(win "$WORK/bench.ksc")" | tr -d '\r')"
echo "$check" | grep -v '^seconds_'
# 3. The same item through the unattended update (-s -g), a whole process.
cp "$SAMPLE/skin.dll" install/skin.dll
silent="$("$RUN" "$EXE" silent "$BASE" "$(win "$WORK/install/")" "$(win "$WORK/bench.ksc")" | tr -d '\r')"
echo "$silent" | grep -v '^seconds_'
python3 - "$(echo "$check" | sed -n 's/^seconds_check //p')" "$(echo "$silent" | sed -n 's/^seconds_silent //p')" <<'PY'
import sys
check, silent = map(float, sys.argv[1:])
print(f"silent -g / interactive check (whole process vs dialog): {silent / check:.2f}")
PY
