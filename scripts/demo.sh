#!/usr/bin/env bash
# The main job: build everything, pack the sample product into a setup
# executable and run it under Wine (headless, one private X display) as a
# user would: a robot program (bin/demo_driver.exe) starts the real sample
# setup, looks at the directory and user pages, opens the licence, accepts
# it, installs and finishes; checks for newer drivers with the installed
# unstall.exe -g against a local update server that serves newer drivers
# and skin packages published with klpack update-tree (Yes to the skin
# question: the skin dialog shows a preview and installs one package); then
# deletes an installed file and
# repairs the product with unstall.exe -r, and uninstalls it with
# unstall.exe -u. Screenshots of each page and dialog go to BUILD_ROOT/demo/;
# one line per mode tells its outcome. The setup is the sample packed with a
# publisher key of its own (klpack keygen, build --update-key) and the update
# tree is signed with it: the updates go through the signature check.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="${KL_BUILD_ROOT:-build}"
DEMO="$(realpath -m "$ROOT/demo")"
# Wine sees the Linux file system as drive Z:.
winpath() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }

if [ "${1:-}" = --in-session ]; then
  # ---- inside the one Wine session: publish, serve, drive ------------------
  UPD="$DEMO/update"
  rm -rf "$UPD"
  mkdir -p "$UPD"/drivers/{SKIN_DRIVE,IME_MAIN,CONFIG_DRIVE} "$UPD/www"
  S="$ROOT/win64/bin/sample"
  echo "== publishing newer drivers (klpack update-tree)"
  "$ROOT/win64/wine-run" "$ROOT/win64/bin/newer_driver.exe" "$(winpath "$S/skin.dll")" \
      "$(winpath "$UPD/drivers/SKIN_DRIVE/prismic.dll")" 1.0.0.2 --drop-bitmaps
  "$ROOT/win64/wine-run" "$ROOT/win64/bin/newer_driver.exe" "$(winpath "$S/KeloSample.ime")" \
      "$(winpath "$UPD/drivers/IME_MAIN/KeloSample.ime")" 1.0.0.2
  cp "$S/config.exe" "$UPD/drivers/CONFIG_DRIVE/_config_.exe"
  python3 tests/support/update_server.py --root "$UPD/www" --port-file "$UPD/port" \
      --log "$UPD/requests.log" --lifetime 600 >/dev/null 2>&1 &
  SERVER=$!
  trap 'kill "$SERVER" 2>/dev/null; wait "$SERVER" 2>/dev/null' EXIT
  for _ in $(seq 100); do [ -s "$UPD/port" ] && break; sleep 0.1; done
  [ -s "$UPD/port" ] || { echo "demo: the update server did not start"; exit 1; }
  BASE="http://127.0.0.1:$(cat "$UPD/port")"
  "$ROOT/host/bin/klpack" update-tree --drivers "$UPD/drivers" --skins samples/skins \
      --base-url "$BASE" -o "$UPD/www" --key "$DEMO/keys/update-key.pem"
  "$ROOT/host/bin/klpack" inspect "$UPD/www/_supports/klime_drives/UpdateList.txt"
  "$ROOT/host/bin/klpack" inspect "$UPD/www/_supports/klskin_prismic/updatelist.txt"
  for l in klime_drives/UpdateList.txt klskin_prismic/updatelist.txt; do
    openssl dgst -sha256 -verify "$DEMO/keys/update-key.pub.pem" \
        -signature "$UPD/www/_supports/$l.sig" "$UPD/www/_supports/$l" | sed "s|^|$l: openssl: |"
  done
  echo "== installing, updating, repairing and uninstalling the sample product under Wine"
  "$ROOT/win64/wine-run" "$ROOT/win64/bin/demo_driver.exe" \
      "$(winpath "$DEMO/sample-setup-keyed.exe")" "$(winpath "$DEMO")" \
      "可乐示例输入法" KeloSample "$BASE"
  exit $?
fi

scripts/build.sh
scripts/pack-sample.sh "$ROOT"
mkdir -p "$DEMO"
rm -f "$DEMO"/*.png
# The vendor's publisher key (made once, kept between runs), written into the
# setup at pack time: the stock stub, no rebuild.
[ -f "$DEMO/keys/update-key.pem" ] || "$ROOT/host/bin/klpack" keygen -o "$DEMO/keys" >/dev/null
rm -f "$DEMO/sample-setup-keyed.exe"
"$ROOT/host/bin/klpack" build --manifest samples/product.manifest --folder "$ROOT/win64/sample-product" \
    --stub "$ROOT/win64/bin/setup.exe" -o "$DEMO/sample-setup-keyed.exe" \
    --update-key "$DEMO/keys/update-key.pub"
echo "== sample setup executable (packed with the update key)"
"$ROOT/host/bin/klpack" inspect "$DEMO/sample-setup-keyed.exe" | head -30
LOG="$DEMO/driver.log"
set +e
export LANG=C.UTF-8   # Chinese arguments reach the Windows programs intact
scripts/wine-session.sh "$ROOT/win64" bash "$0" --in-session 2>&1 | tee "$LOG"
rc=${PIPESTATUS[0]}
set -e
echo "demo: screenshots in $DEMO:"
ls -1 "$DEMO"/*.png 2>/dev/null | sed 's/^/  /' || true
echo "== outcome"
grep -E '^demo: (install|update|repair|uninstall): ' "$LOG" | tr -d '\r' || true
if [ "$rc" -ne 0 ]; then echo "demo: FAILED (driver exit code $rc)"; exit "$rc"; fi
echo "demo: the sample product was installed, updated, repaired and uninstalled"

# ---- unattended: a silent install and a silent uninstall ---------------------
# Both without any window; their exit codes are read inside Windows (a Linux
# shell would see them modulo 256) and the last lines of each log are shown.
echo "== silent install and uninstall (-s)"
mkdir -p "$DEMO"
rm -f "$DEMO/silent-install.log" "$DEMO/silent-uninstall.log"
set +e
scripts/wine-session.sh "$ROOT/win64" bash -c '
  run="$1/win64/wine-run"; timer="$1/win64/bin/bench_install_driver_win.exe"
  "$run" "$timer" time "$2" -s "dir=[C:\Apps\Sample IME]" "log=[$3]" | tr -d "\r" \
    | sed "s/^/silent install:   /"
  "$run" "$timer" time "C:\Apps\Sample IME\unstall.exe" -s -u "name=[KeloSample]" "log=[$4]" \
    | tr -d "\r" | sed "s/^/silent uninstall: /"
' _ "$ROOT" "$(winpath "$DEMO/sample-setup-keyed.exe")" "$(winpath "$DEMO/silent-install.log")" \
  "$(winpath "$DEMO/silent-uninstall.log")" 2>&1 | grep -E '^silent (install|uninstall): '
set -e
for l in install uninstall; do
  echo "-- last lines of the silent $l log ($DEMO/silent-$l.log)"
  tail -n 4 "$DEMO/silent-$l.log" 2>/dev/null | tr -d '\r' | sed 's/^/  /' || echo "  (no log)"
done
