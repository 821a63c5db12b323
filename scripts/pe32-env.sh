#!/usr/bin/env bash
# Makes this machine able to run the shipping PE32 build (MinGW i686) under
# Wine, for the PE32 suite (tests/pe32), and prints ONE line saying whether it
# can: "pe32: ready: ..." (exit 0) or "pe32: unavailable: <why>" (exit 3).
#
# Usage: scripts/pe32-env.sh [BUILD_ROOT]      (default: $KL_BUILD_ROOT or build)
#
# The kernel runs no i386 ELF here. Wine's 32-bit loader runs under Debian's
# qemu-user-static, registered for i386 ELF through binfmt_misc (mounted and
# registered here when missing; needs root). Wine's i386 half (wine32,
# libwine) and the i386 libraries it loads are fetched with apt into
# BUILD_ROOT/pe32/apt (a private apt state: nothing of the machine's apt
# configuration, its package lists or its installed packages changes) and
# unpacked into BUILD_ROOT/pe32/root. BUILD_ROOT/pe32/wine-run then runs a
# Windows program in a private mount namespace where that tree is laid over
# /usr/lib (overlayfs), so only the processes it starts see the i386 files;
# its prefix is BUILD_ROOT/pe32/wineprefix, a 64-bit (WoW64) one. A 32-bit
# prefix does not work under qemu (too slow), a WoW64 one does.
#
# Idempotent: a second run checks and returns. Never fails the caller for a
# machine that cannot do it: the exit code 3 and the line say so.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT="${1:-${KL_BUILD_ROOT:-build}}"
mkdir -p "$ROOT/pe32" || { echo "pe32: unavailable: cannot create $ROOT/pe32"; exit 3; }
PE32="$(cd "$ROOT/pe32" && pwd)"
APTDIR="$PE32/apt"
TREE="$PE32/root"
LOG="$PE32/env.log"
: >"$LOG"

unavailable() { echo "pe32: unavailable: $* (the PE32 suite is skipped; details: $LOG)"; exit 3; }

[ "$(id -u)" -eq 0 ] || unavailable "not root (binfmt_misc and the private mount need it)"
[ "$(uname -m)" = x86_64 ] || unavailable "not an x86_64 machine"
grep -qw overlay /proc/filesystems || unavailable "no overlay file system in this kernel"
command -v unshare >/dev/null || unavailable "no unshare (util-linux)"
[ -x /usr/lib/wine/wine64 ] || unavailable "no 64-bit Wine (scripts/bootstrap.sh installs it)"

# Debian's Wine, in both halves, must be the same release.
WINE_VERSION="$(dpkg-query -W -f='${Version}' libwine 2>/dev/null)"
[ -n "$WINE_VERSION" ] || unavailable "libwine (amd64) is not installed"

# 1. qemu-user-static.
QEMU=/usr/bin/qemu-i386-static
if [ ! -x "$QEMU" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends qemu-user-static >>"$LOG" 2>&1 \
    || { apt-get update -qq >>"$LOG" 2>&1 &&
         apt-get install -y -qq --no-install-recommends qemu-user-static >>"$LOG" 2>&1; } \
    || unavailable "apt-get could not install qemu-user-static"
fi

# 2. binfmt_misc and the i386 handler. Debian registers none for i386 on an
# x86_64 machine (the processor runs it natively where the kernel allows).
# F: the kernel opens the interpreter now, so it also works in the private
# mount namespace and for any path of the program.
BINFMT=/proc/sys/fs/binfmt_misc
if [ ! -e "$BINFMT/register" ]; then
  mount -t binfmt_misc binfmt_misc "$BINFMT" >>"$LOG" 2>&1 || unavailable "binfmt_misc cannot be mounted"
fi
if [ ! -e "$BINFMT/qemu-i386" ]; then
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU"':F' \
    >"$BINFMT/register" 2>>"$LOG" || unavailable "the i386 handler cannot be registered with binfmt_misc"
fi
grep -q '^enabled' "$BINFMT/qemu-i386" 2>/dev/null || unavailable "the i386 binfmt_misc handler is disabled"

# 3. Wine's i386 half and what it loads, unpacked into the build tree.
# wine32 and libwine are taken without libwine's dependencies: those are the
# libraries of optional drivers (sound, cameras, scanners, GStreamer,
# OpenCL, ...) that Wine loads only when a program uses them. The rest is the
# closure of what the loader, the X11 driver, fonts and bcrypt (GnuTLS) load.
CORE=(libc6 libgcc-s1 libunwind8 libx11-6 libxext6 libxrender1 libxi6 libxrandr2 libxcursor1
      libxfixes3 libxinerama1 libxcomposite1 libxxf86vm1 libfreetype6 libfontconfig1 libgnutls30)
STAMP="$TREE/.kl-pe32-2-$WINE_VERSION"
if [ ! -f "$STAMP" ]; then
  mkdir -p "$APTDIR/lists/partial" "$APTDIR/cache/archives/partial" "$APTDIR/debs"
  APT=(-o "Dir::State::Lists=$APTDIR/lists" -o "Dir::Cache=$APTDIR/cache"
       -o "APT::Architectures::=i386" -o Debug::NoLocking=1 -q)
  if [ -z "$(ls "$APTDIR/lists/"*i386_Packages* 2>/dev/null)" ] ||
     ! apt-cache "${APT[@]}" show "libwine:i386=$WINE_VERSION" >/dev/null 2>&1; then
    # A mirror caught syncing fails one index ("File has unexpected size")
    # while the others arrive: once more after a pause, then on with what
    # arrived. The checks below tell whether that is enough.
    if ! apt-get "${APT[@]}" update >>"$LOG" 2>&1; then
      sleep 10
      apt-get "${APT[@]}" update >>"$LOG" 2>&1 ||
        echo "pe32-env: the i386 package lists came incomplete twice; going on with those that arrived" >>"$LOG"
    fi
    [ -n "$(ls "$APTDIR/lists/"*i386_Packages* 2>/dev/null)" ] ||
      unavailable "apt-get update of the i386 package lists failed"
  fi
  apt-cache "${APT[@]}" show "libwine:i386=$WINE_VERSION" >/dev/null 2>&1 \
    || unavailable "the archive has no libwine:i386 $WINE_VERSION to match the installed Wine"
  # Libraries only: the closure also names tools and fonts (through
  # alternatives) that the loader never touches.
  mapfile -t libs < <(apt-cache "${APT[@]}" depends --recurse --no-recommends --no-suggests \
      --no-conflicts --no-breaks --no-replaces --no-enhances "${CORE[@]/%/:i386}" 2>>"$LOG" |
    sed -n 's/^\(lib[^ <>]*\|zlib1g\):i386$/\1/p' | sort -u)
  [ ${#libs[@]} -ge ${#CORE[@]} ] || unavailable "apt could not resolve the i386 libraries"
  ( cd "$APTDIR/debs" && rm -f ./*.deb &&
    apt-get "${APT[@]}" download "wine32:i386=$WINE_VERSION" "libwine:i386=$WINE_VERSION" \
      "${libs[@]/%/:i386}" ) >>"$LOG" 2>&1 || unavailable "apt-get download of the i386 packages failed"
  rm -rf "$TREE" && mkdir -p "$TREE" || unavailable "cannot create $TREE"
  for deb in "$APTDIR/debs/"*.deb; do
    dpkg-deb -x "$deb" "$TREE" >>"$LOG" 2>&1 || unavailable "cannot unpack $deb"
  done
  # The machine's /lib is /usr/lib (merged /usr): lay the packages' /lib there.
  if [ -d "$TREE/lib" ]; then
    cp -a "$TREE/lib/." "$TREE/usr/lib/" && rm -rf "$TREE/lib" || unavailable "cannot merge $TREE/lib"
  fi
  rm -rf "$APTDIR/debs"   # 100 MB that the tree now holds
  touch "$STAMP"
fi

# 3b. The preload that mends qemu's shared thread-local segment slots (see
# scripts/pe32-tls.c): without it a 32-bit program dies at the first signal
# after it has started a second thread. Built with the host compiler (-m32,
# no headers) and linked against the unpacked i386 C library. LD_PRELOAD
# gives it by bare name (qemu's i386 loader does not expand $LIB), so the
# loader looks in the library path; the 64-bit Wine processes a 32-bit one
# starts inherit the variable, and find an empty x86_64 library of that
# name in theirs.
TLSFIX=kl-pe32-tls.so
TLS_SRC="$PWD/scripts/pe32-tls.c"
TLS_STAMP="$TREE/.kl-pe32-tls-$(sha256sum "$TLS_SRC" | cut -c1-16)"
if [ ! -f "$TLS_STAMP" ]; then
  build="$(mktemp -d)"
  { gcc -m32 -O2 -fPIC -ffreestanding -fno-stack-protector -fno-asynchronous-unwind-tables \
        -c "$TLS_SRC" -o "$build/tls.o" &&
    ld -m elf_i386 -shared -z noexecstack -o "$TREE/usr/lib/i386-linux-gnu/$TLSFIX" "$build/tls.o" \
        "$TREE/usr/lib/i386-linux-gnu/libc.so.6" &&
    mkdir -p "$TREE/usr/lib/x86_64-linux-gnu" &&
    gcc -shared -nostdlib -o "$TREE/usr/lib/x86_64-linux-gnu/$TLSFIX" -x c /dev/null; } >>"$LOG" 2>&1
  rc=$?
  rm -rf "$build"
  [ $rc -eq 0 ] || unavailable "cannot build the i386 preload from $TLS_SRC (gcc -m32, ld -m elf_i386)"
  rm -f "$TREE"/.kl-pe32-tls-* && touch "$TLS_STAMP"
fi

# 4. The wrapper that runs a Windows program with the i386 files in view.
# Same interface as a build's wine-run (cmake/wine-run.sh): the PE32 suite and
# wine-session.sh/wine-prefix-setup.sh use it like a build's.
cat >"$PE32/wine-run.new" <<EOF
#!/bin/sh
# Runs a Windows program under wine64 in the PE32 prefix, in a private mount
# namespace where the i386 half of Wine ($TREE) is laid over /usr/lib.
# Made by scripts/pe32-env.sh.
if [ -z "\${KL_PE32_NS:-}" ]; then
  KL_PE32_NS=1 exec unshare -m --propagation private "\$0" "\$@"
fi
[ -e /usr/lib/wine/wine ] || mount -t overlay kl-pe32 -o "lowerdir=/usr/lib:$TREE/usr/lib" /usr/lib || exit 125
WINEPREFIX="$PE32/wineprefix"
# qemu: no reserved 4 GB guest space (with it, each of the thousands of
# address-space probes a 32-bit Wine process makes at its start takes qemu
# tens of milliseconds: minutes per process); the i386 library folder for the
# 32-bit programs only (the machine's loader cache names none of it); the
# preload that mends qemu's thread-local segments (scripts/pe32-tls.c).
QEMU_RESERVED_VA=0
QEMU_SET_ENV='LD_LIBRARY_PATH=/usr/lib/i386-linux-gnu,LD_PRELOAD=$TLSFIX'
export WINEPREFIX QEMU_RESERVED_VA QEMU_SET_ENV
exec "$PWD/cmake/wine-run.sh" "\$@"
EOF
chmod +x "$PE32/wine-run.new" && mv "$PE32/wine-run.new" "$PE32/wine-run"

# 5. The proof: the i386 loader starts in that view.
ver="$(QEMU_RESERVED_VA=0 unshare -m --propagation private sh -c \
    "mount -t overlay kl-pe32 -o 'lowerdir=/usr/lib:$TREE/usr/lib' /usr/lib && exec /usr/lib/wine/wine --version" 2>>"$LOG")" \
  || unavailable "the i386 Wine loader does not start under qemu"

# 6. The WoW64 prefix, made once: wineboot runs the 32-bit half of its set-up
# (rundll32 from syswow64) as a 32-bit process, so a prefix whose syswow64
# holds the 32-bit system libraries is one where 32-bit programs ran.
# wineserver -w waits for that process too; no window is made here (the
# suite's display comes later, from wine-session.sh).
PREFIX="$PE32/wineprefix"
if [ ! -f "$PREFIX/.kl-pe32-wow64" ]; then
  rm -rf "$PREFIX" "$PREFIX.tmp"
  start=$(date +%s)
  # Wine's user32 imports zlib1.dll, which Debian ships in libz-mingw-w64
  # (bootstrap.sh installs it); wineboot puts the 64-bit one into system32
  # but no 32-bit one into syswow64, and its own 32-bit set-up (rundll32 from
  # syswow64) needs it: without it no 32-bit system folder is made. So it is
  # put there before the prefix is made.
  mkdir -p "$PREFIX/drive_c/windows/syswow64" &&
    cp /usr/i686-w64-mingw32/lib/zlib1.dll "$PREFIX/drive_c/windows/syswow64/" \
    || unavailable "no /usr/i686-w64-mingw32/lib/zlib1.dll (Debian package libz-mingw-w64)"
  WINE_PERSIST=0 "$PE32/wine-run" wineboot.exe -i >>"$LOG" 2>&1
  WINE_PERSIST=0 "$PE32/wine-run" --wineserver -w >>"$LOG" 2>&1
  [ -f "$PREFIX/drive_c/windows/syswow64/kernel32.dll" ] ||
    unavailable "wineboot made no 32-bit system folder (syswow64) in $PREFIX"
  echo "pe32: prefix made in $(( $(date +%s) - start )) s" >>"$LOG"
  touch "$PREFIX/.kl-pe32-wow64"
fi
echo "pe32: ready: 32-bit Windows programs run here ($ver i386 under $("$QEMU" --version | head -1 | sed 's/ version / /;s/ (.*//'), WoW64 prefix $PE32/wineprefix)"
exit 0
