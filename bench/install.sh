#!/usr/bin/env bash
# Install time: our setup against msiexec and an NSIS installer, all three
# installing the same ~10 MB product folder under the same wine64 with a warm
# wineserver, in one session.
#
# The product folder is generated here (deterministic: a few hundred files in
# subfolders; text, random bytes and repetitive data) plus the sample's IME
# module as "KLBench.ime", which our install needs. From it this script makes
#   klbench-setup.exe  our setup (klpack build on the win64 setup.exe stub)
#   klbench.msi        wixl -a x64 from a generated klbench.wxs; when wixl is
#                      not installed, the same tables are written with msibuild
#                      (msitools) and the cabinet with gcab (both MSZIP)
#   klbench-nsis.exe   makensis on a generated klbench.nsi (Unicode true,
#                      Target amd64-unicode, zlib)
# and times them with bench_install_driver_win.exe from inside Wine:
#   ours     click on "立即安装(&S)" until button 1 reads "完成安装(&O)"
#            (what the target is about); also start of setup.exe until its
#            whole process tree has ended (relaunch, extraction, wizard,
#            install, clean-up), for comparison;
#   msiexec  "msiexec /i klbench.msi /qn": CreateProcess until exit;
#   NSIS     "klbench-nsis.exe /S": CreateProcess until exit.
# Each install is then uninstalled, timed too:
#   ours     the installed unstall.exe -u: click on "卸载(&U)" until button 1
#            reads "完成(&O)" (and start to end of its process tree);
#   msiexec  "msiexec /x klbench.msi /qn": CreateProcess until exit;
#   NSIS     "uninst.exe /S": CreateProcess until its process tree has ended
#            (it copies itself away and runs the copy).
# One untimed warm-up run of each checks the installed files against the
# product folder; then REPEATS rounds run the three in turn. Prints the
# medians and the ratios.
# Targets: install and uninstall each: ours <= msiexec and ours <= 1.5 x NSIS;
# the size of our whole setup <= 1.05 x the NSIS installer's (printed first);
# of our install click, at most 100 ms outside the install sequence and at
# most 5 ms a link in step 5.
#
# The timed rounds run under a bounded load like a parallel build (two
# compile loops; KL_BENCH_LOAD=N chooses the number, 0 none: see
# bench/lib/load.sh); the machine's load average is printed before and after.
#
# KL_BUILD_ROOT chooses the build root (default: build); its host and win64
# trees must have been configured. KL_BENCH_NO_BUILD=1 skips the builds;
# KL_BENCH_STUB=path/setup.exe packs another (win64) stub, e.g. a changed one.
set -euo pipefail
cd "$(dirname "$0")/.."
BENCH_LIB="$(pwd)/bench/lib/load.sh"
export LANG=C.UTF-8   # Chinese arguments reach the Windows programs intact
ROOT="${KL_BUILD_ROOT:-build}"
B="$ROOT/win64"
REPEATS="${REPEATS:-7}"
KEY=KLBench
DISPLAY_NAME="可乐基准测试输入法"
SIZE_MB="${KL_BENCH_MB:-10}"

die() { echo "bench install: $*" >&2; exit 1; }

if [ -z "${KL_IN_XVFB:-}" ]; then
  # ---- outside the Wine session: build and make the three packages ----------
  if [ -z "${KL_BENCH_NO_BUILD:-}" ]; then
    cmake --build "$ROOT/host" --target klpack >/dev/null || die "host build failed"
    cmake --build "$B" --target setup sample_all bench_install_driver_win bench_install_steps_win >/dev/null \
      || die "win64 build failed"
  fi
  KLPACK="$ROOT/host/bin/klpack"
  STUB="${KL_BENCH_STUB:-$B/bin/setup.exe}"
  for f in "$KLPACK" "$STUB" "$B/bin/sample/KeloSample.ime" \
           "$B/bin/bench_install_driver_win.exe"; do
    [ -f "$f" ] || die "missing $f (build it first: KL_BUILD_ROOT=$ROOT scripts/build.sh host win64)"
  done
  command -v makensis >/dev/null || die "makensis not found (Debian package nsis)"
  command -v wixl >/dev/null || command -v msibuild >/dev/null \
    || die "neither wixl (Debian package wixl) nor msibuild (msitools) found"
  command -v wixl >/dev/null || command -v gcab >/dev/null || die "gcab not found (Debian package gcab)"

  case "$B" in /*) WORK="$B/bench-install" ;; *) WORK="$(pwd)/$B/bench-install" ;; esac
  rm -rf "$WORK"; mkdir -p "$WORK"
  PRODUCT="$WORK/product"

  # The content: deterministic for a given size.
  python3 - "$PRODUCT" "$SIZE_MB" <<'EOF'
import os, random, sys
root, mb = sys.argv[1], float(sys.argv[2])
total = int(mb * 1024 * 1024)
r = random.Random(20121207)
folders = ["docs", "docs/zh", "docs/en", "data", "data/bin", "tables", "tables/main",
           "tables/user", "res", "res/img", "res/snd", "skins", "skins/blue", "skins/red",
           "dicts", "dicts/ext"]
words = ("input method table phrase pinyin stroke candidate window skin driver code "
         "page user word dictionary 输入法 词库 拼音 候选 皮肤 用户 词语 码表 设置 更新").split()
def text(n):
    out = bytearray()
    while len(out) < n:
        line = " ".join(r.choice(words) for _ in range(r.randint(4, 14))) + "\r\n"
        out += line.encode("utf-8")
    return bytes(out[:n])
def rnd(n):
    return r.randbytes(n)
def rep(n):
    rec = "".join("%05d\tKLB%03d\t%s\r\n" % (i, i % 7, "=" * (i % 9)) for i in range(64)).encode()
    return (rec * (n // len(rec) + 1))[:n]
kinds = [(text, ".txt"), (rnd, ".bin"), (rep, ".dat")]
count = 300
sizes = [r.randint(1024, 36 * 1024) for _ in range(count)]
rest = max(total - sum(sizes), 0)
big = 8  # a few large files take the rest
for i in range(big):
    sizes.append(rest // big + (rest % big if i == big - 1 else 0))
written = 0
for i, n in enumerate(sizes):
    make, ext = kinds[i % 3]
    folder = folders[i % len(folders)]
    os.makedirs(os.path.join(root, folder), exist_ok=True)
    name = "%s_%03d%s" % (folder.split("/")[-1], i, ext)
    with open(os.path.join(root, folder, name), "wb") as f:
        f.write(make(n))
    written += n
with open(os.path.join(root, "readme.txt"), "wb") as f:
    f.write(text(4000))
print("content: %d files, %.2f MB" % (len(sizes) + 1, (written + 4000) / 1048576.0))
EOF
  cp "$B/bin/sample/KeloSample.ime" "$PRODUCT/$KEY.ime"
  FILES=$(find "$PRODUCT" -type f | wc -l)
  BYTES=$(find "$PRODUCT" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')

  # (a) our setup.
  cat >"$WORK/klbench.manifest" <<EOF
imeName = $KEY
layoutText = 中文 (简体) - $DISPLAY_NAME
displayName = $DISPLAY_NAME
comments = 安装时间基准测试
publisher = zorbl
displayVersion = 1.0.0.1
contact = zorbl
urlInfoAbout = http://127.0.0.1/klbench/
helpLink = http://127.0.0.1/klbench/help.html
urlUpdateInfo = http://127.0.0.1/klbench/UpdateList.txt
helpTelephone = 010-0000-0000
launchAfterInstall =
fileTime = 2012-07-06 12:00:00
EOF
  "$KLPACK" build --manifest "$WORK/klbench.manifest" --folder "$PRODUCT" \
      --stub "$STUB" -o "$WORK/klbench-setup.exe" >/dev/null || die "klpack build failed"

  # (b) the MSI: one component per folder, files into
  # ProgramFiles64Folder\KLBenchMsi, one embedded MSZIP cabinet.
  python3 - "$PRODUCT" "$WORK" <<'EOF'
import os, sys, uuid
product, work = sys.argv[1], sys.argv[2]
ns = uuid.UUID("6d1c7f1e-3a53-4a3e-9a55-4b4c42656e63")
def guid(name):
    return "{%s}" % str(uuid.uuid5(ns, name)).upper()
dirs = {}   # relative folder -> (directory id, component id)
files = []  # (file id, relative folder, name, size)
for cur, subdirs, names in os.walk(product):
    subdirs.sort()
    rel = os.path.relpath(cur, product).replace(os.sep, "/")
    rel = "" if rel == "." else rel
    dirs[rel] = ("INSTALLDIR" if not rel else "D%03d" % len(dirs), "C%03d" % len(dirs))
    for n in sorted(names):
        files.append(("F%04d" % (len(files) + 1), rel, n, os.path.getsize(os.path.join(cur, n))))
order = sorted(dirs)
# wixl source.
def esc(s):
    return s.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
out = ['<?xml version="1.0" encoding="utf-8"?>',
       '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
       ' <Product Id="%s" Name="KLBench MSI" Language="1033" Version="1.0.0" Manufacturer="zorbl" UpgradeCode="%s">'
       % (guid("product"), guid("upgrade")),
       '  <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine" Platform="x64"/>',
       '  <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>',
       '  <Directory Id="TARGETDIR" Name="SourceDir">',
       '   <Directory Id="ProgramFiles64Folder">']
def emit(rel, depth):
    did, cid = dirs[rel]
    name = "KLBenchMsi" if not rel else rel.split("/")[-1]
    pad = " " * depth
    out.append('%s<Directory Id="%s" Name="%s">' % (pad, did, esc(name)))
    mine = [f for f in files if f[1] == rel]
    if mine:
        out.append('%s <Component Id="%s" Guid="%s" Win64="yes">' % (pad, cid, guid(cid)))
        for i, (fid, _, n, _) in enumerate(mine):
            # wixl takes Source paths relative to where it runs (WORK).
            src = os.path.relpath(os.path.join(product, rel, n), work)
            out.append('%s  <File Id="%s" Name="%s" Source="%s"%s/>'
                       % (pad, fid, esc(n), esc(src), ' KeyPath="yes"' if i == 0 else ""))
        out.append('%s </Component>' % pad)
    for child in order:
        if child and os.path.dirname(child) == rel and child != rel:
            emit(child, depth + 1)
    out.append('%s</Directory>' % pad)
emit("", 4)
out += ['   </Directory>', '  </Directory>', '  <Feature Id="Main" Level="1">']
out += ['   <ComponentRef Id="%s"/>' % dirs[d][1] for d in order if any(f[1] == d for f in files)]
out += ['  </Feature>', ' </Product>', '</Wix>']
open(os.path.join(work, "klbench.wxs"), "w", encoding="utf-8").write("\n".join(out) + "\n")

# The same tables for msibuild, and the cabinet's members named by file id.
t = os.path.join(work, "msi-tables"); os.makedirs(t, exist_ok=True)
stage = os.path.join(work, "msi-cab"); os.makedirs(stage, exist_ok=True)
def table(name, cols, types, keys, rows):
    with open(os.path.join(t, name + ".idt"), "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\t".join(cols) + "\n" + "\t".join(types) + "\n" + "\t".join([name] + keys) + "\n")
        for row in rows:
            f.write("\t".join(str(c) for c in row) + "\n")
def short(i, long, ext=""):
    return long if len(long) <= 8 and "." not in long and long.isascii() else "K%05d%s|%s" % (i, ext, long)
table("Property", ["Property", "Value"], ["s72", "l0"], ["Property"], [
    ("ProductCode", guid("product")), ("ProductName", "KLBench MSI"), ("ProductVersion", "1.0.0"),
    ("ProductLanguage", "1033"), ("Manufacturer", "zorbl"), ("UpgradeCode", guid("upgrade")),
    ("ALLUSERS", "1")])
drows = [("TARGETDIR", "", "SourceDir"), ("ProgramFiles64Folder", "TARGETDIR", ".")]
for k, d in enumerate(order):
    did = dirs[d][0]
    parent = "ProgramFiles64Folder" if not d else dirs[os.path.dirname(d)][0]
    drows.append((did, parent, short(k, "KLBenchMsi" if not d else d.split("/")[-1])))
table("Directory", ["Directory", "Directory_Parent", "DefaultDir"], ["s72", "S72", "l255"],
      ["Directory"], drows)
comps = [d for d in order if any(f[1] == d for f in files)]
table("Component", ["Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"],
      ["s72", "S38", "s72", "i2", "S255", "S72"], ["Component"],
      [(dirs[d][1], guid(dirs[d][1]), dirs[d][0], 256, "",
        next(f[0] for f in files if f[1] == d)) for d in comps])
table("Feature", ["Feature", "Feature_Parent", "Title", "Description", "Display", "Level",
                  "Directory_", "Attributes"],
      ["s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"], ["Feature"],
      [("Main", "", "Main", "", 1, 1, "INSTALLDIR", 0)])
table("FeatureComponents", ["Feature_", "Component_"], ["s38", "s72"], ["Feature_", "Component_"],
      [("Main", dirs[d][1]) for d in comps])
table("File", ["File", "Component_", "FileName", "FileSize", "Version", "Language", "Attributes",
               "Sequence"], ["s72", "s72", "l255", "i4", "S72", "S20", "I2", "i2"], ["File"],
      [(fid, dirs[rel][1], short(i + 1, n, os.path.splitext(n)[1][:4]), size, "", "", 16384, i + 1)
       for i, (fid, rel, n, size) in enumerate(files)])
table("Media", ["DiskId", "LastSequence", "DiskPrompt", "Cabinet", "VolumeLabel", "Source"],
      ["i2", "i2", "L64", "S255", "S32", "S72"], ["DiskId"], [(1, len(files), "", "#data.cab", "", "")])
seq = [("CostInitialize", 800), ("FileCost", 900), ("CostFinalize", 1000),
       ("InstallValidate", 1400), ("InstallInitialize", 1500), ("ProcessComponents", 1600),
       ("UnpublishFeatures", 1800), ("RemoveFiles", 3500), ("InstallFiles", 4000),
       ("RegisterUser", 6000), ("RegisterProduct", 6100), ("PublishFeatures", 6300),
       ("PublishProduct", 6400), ("InstallFinalize", 6600)]
table("InstallExecuteSequence", ["Action", "Condition", "Sequence"], ["s72", "S255", "I2"], ["Action"],
      [(a, "", s) for a, s in seq])
table("InstallUISequence", ["Action", "Condition", "Sequence"], ["s72", "S255", "I2"], ["Action"],
      [("CostInitialize", "", 800), ("FileCost", "", 900), ("CostFinalize", "", 1000),
       ("ExecuteAction", "", 1300)])
with open(os.path.join(work, "msi-cab.list"), "w") as f:
    for fid, rel, n, _ in files:
        os.link(os.path.join(product, rel, n), os.path.join(stage, fid))
        f.write(fid + "\n")
print("msi: %d files in %d components" % (len(files), len(comps)))
EOF
  if command -v wixl >/dev/null; then
    MSI_TOOL="wixl -a x64"
    (cd "$WORK" && wixl -a x64 -o klbench.msi klbench.wxs) || die "wixl failed"
  else
    MSI_TOOL="msibuild+gcab (wixl is not installed; Debian package wixl)"
    # shellcheck disable=SC2046  # file ids: no spaces
    (cd "$WORK/msi-cab" && gcab -c -z ../data.cab $(cat ../msi-cab.list)) || die "gcab failed"
    msi="$WORK/klbench.msi"
    msibuild "$msi" -s "KLBench MSI" zorbl "x64;1033" "{6D1C7F1E-3A53-4A3E-9A55-4B4C42656E64}" \
      || die "msibuild failed"
    for t in "$WORK"/msi-tables/*.idt; do msibuild "$msi" -i "$t" || die "msibuild failed on $t"; done
    msibuild "$msi" -a data.cab "$WORK/data.cab" || die "msibuild failed adding the cabinet"
  fi

  # (c) NSIS: the Debian build makes amd64-unicode installers (stubs in
  # /usr/share/nsis/Stubs/*-amd64-unicode); zlib, not solid, like MSZIP.
  cat >"$WORK/klbench.nsi" <<EOF
Unicode true
Target amd64-unicode
SetCompressor zlib
Name "KLBench NSIS"
OutFile "$WORK/klbench-nsis.exe"
InstallDir "\$PROGRAMFILES64\\KLBenchNsis"
RequestExecutionLevel admin
SilentInstall normal
Section
  SetOutPath "\$INSTDIR"
  File /r "$PRODUCT/*"
  WriteUninstaller "\$INSTDIR\\uninst.exe"
  SetRegView 64
  WriteRegStr HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KLBenchNsis" "DisplayName" "KLBench NSIS"
  WriteRegStr HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KLBenchNsis" "UninstallString" '"\$INSTDIR\\uninst.exe"'
SectionEnd
Section Uninstall
  SetRegView 64
  RMDir /r "\$INSTDIR"
  DeleteRegKey HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KLBenchNsis"
SectionEnd
EOF
  makensis -V2 "$WORK/klbench.nsi" >"$WORK/makensis.log" 2>&1 || { cat "$WORK/makensis.log"; die "makensis failed"; }

  echo "product: $FILES files, $BYTES bytes"
  for f in klbench-setup.exe klbench.msi klbench-nsis.exe; do
    printf '  %-18s %9d bytes\n' "$f" "$(stat -c %s "$WORK/$f")"
  done
  ours=$(stat -c %s "$WORK/klbench-setup.exe"); msisz=$(stat -c %s "$WORK/klbench.msi")
  nsissz=$(stat -c %s "$WORK/klbench-nsis.exe")
  awk -v o="$ours" -v m="$msisz" -v n="$nsissz" 'BEGIN {
    printf "size ratio ours/NSIS: %.3f (target <= 1.05)   ours/msi: %.3f\n", o / n, o / m }'
  echo "msi made with: $MSI_TOOL; nsis: $(makensis -VERSION) Target amd64-unicode, zlib"
  export KL_BENCH_FILES="$FILES" KL_BENCH_BYTES="$BYTES"
  exec scripts/wine-session.sh "$B" bash "$0" "$@"
fi

# ---- inside the Wine session ------------------------------------------------
case "$B" in /*) ;; *) B="$(pwd)/$B" ;; esac   # KL_BUILD_ROOT may be absolute
WORK="$B/bench-install"
RUN="$B/wine-run"
DRV="$B/bin/bench_install_driver_win.exe"
DRIVE_C="$B/wineprefix/drive_c"
NSIS_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KLBenchNsis'
cd "$WORK"

drv() { "$RUN" "$DRV" "$@" | tr -d '\r'; }
clean_all() {
  drv clean-ours "$KEY" "$DISPLAY_NAME" >/dev/null || true
  drv time msiexec /x klbench.msi /qn >/dev/null || true
  drv remove 'C:\Program Files\KLBenchMsi' 'C:\Program Files\KLBenchNsis' "$NSIS_KEY" >/dev/null
}
check_tree() {  # check_tree NAME FOLDER: the installed files against the product folder
  local n b
  n=$(find "$2" -type f | wc -l); b=$(find "$2" -type f -printf '%s\n' | awk '{s+=$1} END {print s+0}')
  # Extra files are the installer's own; the IME module moves to the system folder.
  if diff -rq "$WORK/product" "$2" 2>&1 | grep -v "^Only in $2" | grep -v "$KEY.ime" | grep -q .; then
    echo "  $1: installed files differ from the product folder" >&2; return 1
  fi
  echo "  $1: $n files, $b bytes installed (product: $KL_BENCH_FILES files, $KL_BENCH_BYTES bytes)"
}
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2" | head -1; }

clean_all
# Warm-up: one untimed run of each, checked against the product folder.
echo "warm-up and checks:"
out=$(drv time msiexec /i klbench.msi /qn) || die "msiexec /i failed: $out"
check_tree msiexec "$DRIVE_C/Program Files/KLBenchMsi" || exit 1
drv time msiexec /x klbench.msi /qn >/dev/null || die "msiexec /x failed"
out=$(drv time klbench-nsis.exe /S) || die "NSIS installer failed: $out"
check_tree NSIS "$DRIVE_C/Program Files/KLBenchNsis" || exit 1
drv remove 'C:\Program Files\KLBenchNsis' "$NSIS_KEY" >/dev/null
have_wizard=1
out=$(drv ours klbench-setup.exe "$KEY" "$DISPLAY_NAME" keep) || {
  rc=$?
  if [ $rc -eq 3 ]; then have_wizard=0; echo "  ours: the setup shows no wizard yet ($out)"
  else die "our setup failed: $out"; fi
}
if [ $have_wizard -eq 1 ]; then
  dir=$(sed -n 's/.*dir=\(.*\)$/\1/p' <<<"$out")
  [ -n "$dir" ] || die "no install folder read from the wizard"
  unix=$("$RUN" winepath -u "$dir" 2>/dev/null | tr -d '\r' | tail -1)
  check_tree ours "$unix" || exit 1
  drv clean-ours "$KEY" "$DISPLAY_NAME" "$dir" >/dev/null || die "cannot remove our install"
fi

ours_click=(); ours_whole=(); ours_ready=(); ours_close=(); msi=(); nsis=(); step_logs=()
un_click=(); un_whole=(); msi_x=(); nsis_x=()
# shellcheck source=bench/lib/load.sh
. "$BENCH_LIB"
bench_load_start
bench_load_report "before the timed rounds"
for i in $(seq "$REPEATS"); do
  out=$(drv time msiexec /i klbench.msi /qn) || die "msiexec /i failed: $out"
  msi+=("$(field whole_ms "$out")")
  out=$(drv time msiexec /x klbench.msi /qn) || die "msiexec /x failed: $out"
  msi_x+=("$(field whole_ms "$out")")
  out=$(drv time klbench-nsis.exe /S) || die "NSIS installer failed: $out"
  nsis+=("$(field whole_ms "$out")")
  out=$(drv timetree 'C:\Program Files\KLBenchNsis\uninst.exe' /S) || die "NSIS uninstaller failed: $out"
  nsis_x+=("$(field whole_ms "$out")")
  drv remove 'C:\Program Files\KLBenchNsis' "$NSIS_KEY" >/dev/null
  if [ $have_wizard -eq 1 ]; then
    out=$(drv ours klbench-setup.exe "$KEY" "$DISPLAY_NAME" keep) || die "our setup failed: $out"
    ours_click+=("$(field click_ms "$out")"); ours_whole+=("$(field whole_ms "$out")")
    ours_ready+=("$(field ready_ms "$out")"); ours_close+=("$(field close_ms "$out")")
    # The run's own log (the uninstall below replaces it): its progress lines
    # carry the times of the install steps.
    log=$(find "$DRIVE_C/users" -name "$KEY-setup.log" 2>/dev/null | head -1)
    [ -n "$log" ] && cp "$log" "$WORK/steps-$i.log"
    step_logs+=("$WORK/steps-$i.log")
    dir=$(sed -n 's/.*dir=\(.*\)$/\1/p' <<<"$out")
    out=$(drv uninstall "$dir" "$KEY" "$DISPLAY_NAME") || die "our uninstall failed: $out"
    un_click+=("$(field click_ms "$out")"); un_whole+=("$(field whole_ms "$out")")
    unix=$("$RUN" winepath -u "$dir" 2>/dev/null | tr -d '\r' | tail -1)
    [ ! -e "$unix" ] || echo "  note: our uninstall left $dir behind" >&2
    drv clean-ours "$KEY" "$DISPLAY_NAME" "$dir" >/dev/null || true
  fi
done
bench_load_report "after the timed rounds"
bench_load_stop
clean_all

python3 - "${msi_x[*]}" "${nsis_x[*]}" "${un_click[*]:-}" "${un_whole[*]:-}" <<'EOF'
import statistics, sys
def vals(s): return [float(x) for x in s.split()] if s.strip() else []
msi, nsis, click, whole = (vals(a) for a in sys.argv[1:5])
def show(name, v, what):
    print("%-8s median %7.1f ms  (runs: %s)  %s" % (name, statistics.median(v),
          " ".join("%.0f" % x for x in v), what))
print("== uninstall")
show("msiexec", msi, "CreateProcess(msiexec /x /qn) to exit")
show("NSIS", nsis, "CreateProcess(uninst.exe /S) to the end of its process tree")
if click:
    show("ours", click, "click on \"卸载(&U)\" to \"完成(&O)\"")
    show("ours*", whole, "start of unstall.exe -u to the end of its process tree (robot included)")
    m, n, c = (statistics.median(v) for v in (msi, nsis, click))
    print("ratio ours/msiexec: %.2f (target <= 1.00)   ours/NSIS: %.2f (target <= 1.50)" % (c / m, c / n))
EOF
echo "== install"

python3 - "${msi[*]}" "${nsis[*]}" "${ours_click[*]:-}" "${ours_whole[*]:-}" \
    "${ours_ready[*]:-}" "${ours_close[*]:-}" <<'EOF'
import statistics, sys
def vals(s): return [float(x) for x in s.split()] if s.strip() else []
msi, nsis, click, whole, ready, close = (vals(a) for a in sys.argv[1:7])
def show(name, v, what):
    print("%-8s median %7.1f ms  (runs: %s)  %s" % (name, statistics.median(v),
          " ".join("%.0f" % x for x in v), what))
show("msiexec", msi, "CreateProcess(msiexec /i /qn) to exit")
show("NSIS", nsis, "CreateProcess(installer /S) to exit")
if not click:
    print("ours: not measured (the setup shows no wizard yet)")
    sys.exit(0)
show("ours", click, "install click to \"完成安装(&O)\"")
show("ours*", whole, "start of setup.exe to end of its process tree (robot clicks included)")
show("  start", ready, "of which: start to the install click (relaunch, extraction, wizard)")
show("  close", close, "of which: finish pressed to end of the tree (clean-up)")
m, n, c, w = (statistics.median(v) for v in (msi, nsis, click, whole))
print("ratio ours/msiexec: %.2f (target <= 1.00)   ours/NSIS: %.2f (target <= 1.50)" % (c / m, c / n))
print("whole process, for comparison: ours*/msiexec %.2f, ours*/NSIS %.2f" % (w / m, w / n))
EOF
# Where our install's time went, from the timed runs' own logs: the time
# between the progress lines of the install sequence, and what lies outside
# them (the in-use check, the worker's start and page switch before, the
# button's caption after).
if [ ${#step_logs[@]} -gt 0 ]; then
  echo "== our per-step split (the timed runs' logs, median of ${#step_logs[@]})"
  python3 - "${ours_click[*]}" "${step_logs[@]}" <<'EOF'
import datetime, re, statistics, sys
clicks = [float(x) for x in sys.argv[1].split()]
marks = [("验证安装信息", None), ("开始安装", "verify"), ("  1.", "step 1, files placed (the move)"),
         ("  2.", None), ("  3.", None), ("  4.", None), ("  5.", None), ("  6.", None),
         ("安装程序已经完成所有工作", None)]
names = ["verify", "step 1  files placed (the move, the log's file lines)",
         "step 2  environment (vendor key, input method)", "step 3  uninstall record",
         "step 4  backup copy of the package", "step 5  shortcuts",
         "step 6  temporary files removed"]
rows = {n: [] for n in names}
# Step 5 runs from its line to step 6's: the links, then the removal record
# and the estimated size. The cost a link is taken from the links alone.
per_link, rest5 = [], []
outside = []
for click, path in zip(clicks, sys.argv[2:]):
    try:
        lines = open(path, encoding="utf-8-sig").read().splitlines()
    except OSError:
        continue
    stamped = []
    for line in lines:
        m = re.match(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})  (.*)", line)
        if m:
            stamped.append((datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f"),
                            m.group(2)))
    times = []
    for text, _ in marks:
        times.append(next((t for t, body in stamped if body.startswith(text)), None))
    if any(t is None for t in times):
        continue
    links = [t for t, body in stamped if body.startswith("link written: ") and times[6] <= t <= times[7]]
    if links:
        per_link.append((links[-1] - times[6]).total_seconds() * 1000 / len(links))
        rest5.append((times[7] - links[-1]).total_seconds() * 1000)
    ms = [(b - a).total_seconds() * 1000 for a, b in zip(times, times[1:])]
    # "verify" runs from its line to "开始安装", step 1 from "开始安装" to "  2."
    parts = [ms[0], ms[1] + ms[2], ms[3], ms[4], ms[5], ms[6], ms[7]]
    for n, v in zip(names, parts):
        rows[n].append(v)
    outside.append(click - sum(parts))
for n in names:
    if rows[n]:
        print("  %-52s median %6.1f ms" % (n, statistics.median(rows[n])))
if per_link:
    print("  %-52s median %6.1f ms  (target <= 5.0)" % ("step 5 a link (its line to the last link)",
                                                        statistics.median(per_link)))
    print("  %-52s median %6.1f ms" % ("step 5 after the links (removal record, size)",
                                       statistics.median(rest5)))
if outside:
    print("  %-52s median %6.1f ms  (target <= 100.0)" % (
        "outside the sequence (click to its first line, last line to the caption)",
        statistics.median(outside)))
EOF
fi
# The routines of the install sequence one by one, on as many files as the
# product has (the placement move first).
STEPS="$(pwd)/../bin/bench_install_steps_win.exe"
if [ -f "$STEPS" ]; then
  echo "== our install routines, one by one"
  kb=$((KL_BENCH_BYTES / KL_BENCH_FILES / 1024)); [ "$kb" -gt 0 ] || kb=1
  "$RUN" "$STEPS" "$KL_BENCH_FILES" "$kb" "$REPEATS" | tr -d '\r' | grep -v -e '^idle interpreter' -e '^Success\.$' -e '^$'
fi
