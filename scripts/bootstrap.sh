#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and demo.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  cmake ninja-build make pkg-config python3
  g++ clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  googletest
  zlib1g-dev libmspack-dev libz-mingw-w64-dev libssl-dev openssl
  # libgnutls30: Wine's bcrypt verifies ECDSA signatures with it (wine only recommends it)
  wine wine64 libgnutls30 xvfb xauth x11-utils xdotool imagemagick
  fonts-wine fonts-wqy-microhei fonts-dejavu-core
  cabextract gcab fp-utils-3.2.2 msitools wixl nsis time osslsigncode
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "bootstrap: all ${#PACKAGES[@]} packages present"
else
  echo "bootstrap: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  echo "bootstrap: done"
fi
# What running the 32-bit build needs (qemu, Wine's i386 half, the PE32
# prefix), unless the PE32 suite is left out (KL_PE32=0); a machine that
# cannot only gets a line saying so.
if [ "${KL_PE32:-1}" != 0 ]; then
  bash "$(dirname "$0")/pe32-env.sh" || true
fi
