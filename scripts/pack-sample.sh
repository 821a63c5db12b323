#!/usr/bin/env bash
# Packs the sample input method into sample setup executables.
#
# Usage: scripts/pack-sample.sh [BUILD_ROOT]       (default: build)
#
# For each Windows build (win64, then win32; KL_SAMPLE_BUILDS="win64" packs
# only that one) it assembles the product folder
#   BUILD_ROOT/<build>/sample-product/
# from the build's sample binaries (bin/sample/), the static files under
# samples/, a font from fonts-dejavu-core and a config.ksc made by the host
# packager, then writes
#   BUILD_ROOT/<build>/sample-setup.exe
# with BUILD_ROOT/host/bin/klpack and the build's bin/setup.exe as the stub.
# The assembled folders stay for the tests. Anything missing stops the run
# with a message naming it and how to get it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="${1:-build}"
BUILDS="${KL_SAMPLE_BUILDS:-win64 win32}"
SAMPLES="samples"
FONT_SRC="${KL_SAMPLE_FONT:-/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf}"
FONT_LICENSE="${KL_SAMPLE_FONT_LICENSE:-/usr/share/doc/fonts-dejavu-core/copyright}"
FONT_NAME="KeloSampleSans.ttf"   # product-specific name in the fonts folder

die() { echo "pack-sample: $*" >&2; exit 1; }

KLPACK="$ROOT/host/bin/klpack"
[ -x "$KLPACK" ] || die "host packager not found: $KLPACK (build it with: KL_BUILD_ROOT=$ROOT scripts/build.sh host)"
[ -f "$FONT_SRC" ] || die "font not found: $FONT_SRC (install the Debian package fonts-dejavu-core: scripts/bootstrap.sh)"
[ -f "$FONT_LICENSE" ] || die "font licence not found: $FONT_LICENSE (it comes with fonts-dejavu-core)"
for f in "$SAMPLES/product.manifest" "$SAMPLES/help/License.html" "$SAMPLES/files/danzi.kmi" \
         "$SAMPLES/files/KeloSample_win.dat"; do
  [ -f "$f" ] || die "missing sample file: $f"
done
ls "$SAMPLES"/files/prismic/*.zip >/dev/null 2>&1 || die "missing sample skins: $SAMPLES/files/prismic/*.zip"

# The key name decides the IME module's file name ("<key>.ime").
KEY="$(sed -n 's/^[[:space:]]*imeName[[:space:]]*=[[:space:]]*\([^[:space:]]*\).*/\1/p' "$SAMPLES/product.manifest" | head -1)"
[ -n "$KEY" ] || die "no imeName in $SAMPLES/product.manifest"

pack_one() {
  local build="$ROOT/$1"
  local bin="$build/bin/sample" stub="$build/bin/setup.exe"
  local out="$build/sample-product" exe="$build/sample-setup.exe"
  [ -d "$build" ] || die "build tree not found: $build (build it with: KL_BUILD_ROOT=$ROOT scripts/build.sh $1)"
  [ -f "$stub" ] || die "setup stub not found: $stub (build it with: cmake --build $build --target setup)"
  local missing=()
  for f in "$KEY.ime" config.exe main.chm mb.dll skin.dll ITF/Interface.dll KeloSample_sys.dll; do
    [ -f "$bin/$f" ] || missing+=("$bin/$f")
  done
  [ ${#missing[@]} -eq 0 ] || die "sample binaries missing: ${missing[*]} (build them with: cmake --build $build --target sample_all)"

  rm -rf "$out"
  mkdir -p "$out/ITF" "$out/prismic" "$out/\$system32\$" "$out/\$windows\$" "$out/\$fonts\$" "$out/\$dataFiles\$"
  # Install folder.
  cp "$bin/$KEY.ime" "$bin/config.exe" "$bin/main.chm" "$bin/mb.dll" "$bin/skin.dll" "$out/"
  cp "$bin/ITF/Interface.dll" "$out/ITF/"
  cp "$SAMPLES/help/License.html" "$out/"
  cp "$FONT_LICENSE" "$out/KeloSampleSans-LICENSE.txt"   # the font's licence travels with it
  cp "$SAMPLES"/files/prismic/*.zip "$out/prismic/"
  # Placement tokens.
  cp "$bin/KeloSample_sys.dll" "$out/\$system32\$/"
  cp "$SAMPLES/files/KeloSample_win.dat" "$out/\$windows\$/"
  cp "$FONT_SRC" "$out/\$fonts\$/$FONT_NAME"
  cp "$SAMPLES/files/danzi.kmi" "$out/\$dataFiles\$/"
  # The input method's configuration: drivers named in the default record
  # (code table KeloSampleMB = mb.dll, main driver = the IME module, skin
  # driver prismic = skin.dll).
  "$KLPACK" ksc -o "$out/\$dataFiles\$/config.ksc" --record kl_ime_config_data_default \
      --code-table KeloSampleMB --main "$KEY" --skin prismic \
    || die "klpack ksc failed for $out/\$dataFiles\$/config.ksc"

  rm -f "$exe"
  "$KLPACK" build --manifest "$SAMPLES/product.manifest" --folder "$out" --stub "$stub" -o "$exe" --strict \
    || die "klpack build failed for $exe"
  echo "pack-sample: $exe ($(stat -c %s "$exe") bytes) from $out"
  [ "$1" = win64 ] && sign_sample "$build" "$out" "$stub"
  return 0
}

# A signed setup for the tests, built and signed as a vendor would (klpack
# build --sign-cert/--sign-key) with a throwaway self-signed certificate made
# here, and checked with osslsigncode verify.
sign_sample() {
  local build="$1" out="$2" stub="$3" dir="$1/sign" signed="$1/sample-setup-signed.exe"
  command -v osslsigncode >/dev/null || die "osslsigncode not found (Debian package osslsigncode: scripts/bootstrap.sh)"
  rm -rf "$dir" "$signed"
  mkdir -p "$dir"
  openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=Kelo sample test signer" \
      -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1 || die "openssl could not make a test certificate"
  "$KLPACK" build --manifest "$SAMPLES/product.manifest" --folder "$out" --stub "$stub" -o "$signed" \
      --sign-cert "$dir/cert.pem" --sign-key "$dir/key.pem" >"$dir/sign.log" 2>&1 \
    || { cat "$dir/sign.log"; die "klpack build --sign-cert failed for $signed"; }
  osslsigncode verify -CAfile "$dir/cert.pem" -in "$signed" >"$dir/verify.log" 2>&1 \
    || { cat "$dir/verify.log"; die "osslsigncode verify refused $signed"; }
  echo "pack-sample: $signed ($(stat -c %s "$signed") bytes), signed and verified"
}

for b in $BUILDS; do
  case "$b" in
    win64|win32) pack_one "$b" ;;
    *) die "unknown build \"$b\" in KL_SAMPLE_BUILDS (win64, win32)" ;;
  esac
done
