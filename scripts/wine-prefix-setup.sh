#!/bin/sh
# One-time setup of a build's Wine prefix: fonts (Tahoma, Marlett, CJK through
# font links), SimSun substitutes, and no window-manager decorations under Xvfb.
# Usage: wine-prefix-setup.sh BUILD_DIR   (the build's wine-run wrapper is used)
# Must run under the same X display as the tests that follow.
set -e
W="$1/wine-run"
[ -x "$W" ] || { echo "wine-prefix-setup: no $W (configure the win64 build first)" >&2; exit 1; }
PREFIX="$1/wineprefix"
STAMP="$PREFIX/.klsetup-prefix-ready"
# A new prefix links each user's Desktop, Documents, ... to the Linux home
# folder: links written there would leave the build tree and be shared by
# every prefix. Replace the links by real folders inside the prefix.
sandbox_user_folders() {
  for d in "$PREFIX"/drive_c/users/*/; do
    for n in Desktop Documents Downloads Music Pictures Videos Templates; do
      if [ -L "$d$n" ]; then rm -f "$d$n" && mkdir -p "$d$n"; fi
    done
  done
}
if [ -f "$STAMP" ]; then sandbox_user_folders; exit 0; fi
export LANG=C.UTF-8
"$W" cmd.exe /c exit >/dev/null                  # creates the prefix if missing
sandbox_user_folders
# Debian's Wine never reads /usr/share/wine/fonts: put them into C:\windows\Fonts.
"$W" cmd.exe /c 'copy /y Z:\usr\share\wine\fonts\*.ttf C:\windows\Fonts\' >/dev/null
SL='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
FS='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
WQY='wqy-microhei.ttc,WenQuanYi Micro Hei'
# "MS Shell Dlg" -> Tahoma; CJK glyphs come through Tahoma's font link, and
# bold text (captions, headings) looks up "Tahoma Bold".
"$W" reg.exe add "$SL" /v 'Tahoma'      /t REG_MULTI_SZ /d "$WQY" /f >/dev/null
"$W" reg.exe add "$SL" /v 'Tahoma Bold' /t REG_MULTI_SZ /d "$WQY" /f >/dev/null
"$W" reg.exe add "$FS" /v 'SimSun' /d 'WenQuanYi Micro Hei' /f >/dev/null
"$W" reg.exe add "$FS" /v '宋体'   /d 'WenQuanYi Micro Hei' /f >/dev/null
# No window manager under Xvfb: Wine draws captions itself, closes are instant.
"$W" reg.exe add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
"$W" --wineserver -k || true
"$W" --wineserver -w || true
touch "$STAMP"
