// The shipping PE32 build at work: the 32-bit sample setup (build win32,
// packed by scripts/pack-sample.sh) run unattended under WoW64 Wine, with
// everything read back from this 64-bit program: the 32-bit registry view
// (HKLM\Software\WOW6432Node) and the 64-bit one, the 32-bit system folder
// (syswow64) and the 64-bit one, Program Files (x86), the logs.
//
// Every 32-bit process costs minutes under the emulator, so the cases are
// the steps of one life, each a single run (and its working copy): a damaged
// package first (nothing installed yet), the install, an update (-s -g)
// against the test update server, a repair, the uninstall. ctest runs them in
// this order (tests/pe32/CMakeLists.txt); each case states what it needs.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "install/ime_win.h"
#include "robot_win.h"
#include "testfs_win.h"
#include "update/version_block.h"
#include "update_server_win.h"
#include "wizard_robot_win.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testfs::Exists;

constexpr wchar_t kKey[] = L"KeloSample";
constexpr wchar_t kDisplay[] = L"可乐示例输入法";
constexpr wchar_t kModule[] = L"KeloSample.kelo.ime";
constexpr wchar_t kVendorKey[] = L"Software\\zorbl\\KeloSample";
constexpr wchar_t kRecord[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KeloSample";
constexpr wchar_t kFontsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
constexpr wchar_t kFontValue[] = L"KeloSampleSans(TrueType)";
// A 32-bit process can take minutes to start under the emulator.
constexpr DWORD kRunTimeout = 20 * 60 * 1000;
const std::string kServerScript = std::string(KL_SOURCE_DIR) + "/tests/support/update_server.py";

std::wstring Full(const std::wstring& path) {
  wchar_t full[MAX_PATH] = {};
  GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return full;
}
std::string U8(const std::wstring& s) {
  std::string out(s.size() * 3 + 1, '\0');
  out.resize(WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, out.data(),
                                 static_cast<int>(out.size()), nullptr, nullptr));
  if (!out.empty()) out.pop_back();
  return out;
}
std::wstring Folder(int csidl) {
  wchar_t d[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, d);
  return std::wstring(d) + L"\\";
}
std::wstring System64() {
  wchar_t d[MAX_PATH] = {};
  GetSystemDirectoryW(d, MAX_PATH);
  return std::wstring(d) + L"\\";
}
std::wstring System32On64() {
  wchar_t d[MAX_PATH] = {};
  return GetSystemWow64DirectoryW(d, MAX_PATH) ? std::wstring(d) + L"\\" : std::wstring();
}

// The win32 build tree beside this one (build/win64/bin -> build/win32).
std::wstring Win32Tree() { return Full(testfs::BinFolder() + L"..\\..\\win32\\"); }
std::wstring Setup32() { return Win32Tree() + L"sample-setup.exe"; }
std::wstring InstallDir() { return Folder(CSIDL_PROGRAM_FILESX86) + kKey + L"\\"; }
std::wstring DataDir() { return Folder(CSIDL_COMMON_APPDATA) + L"KeloIMEs\\" + kKey + L"\\"; }
std::wstring LogPath() { return testfs::TempFolder() + L"kl pe32.log"; }
std::wstring InterfaceLog() { return testfs::TempFolder() + L"KLInterfaceMessage.log"; }

// ---- the registry, in one view ----

constexpr REGSAM k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY;

bool KeyIn(REGSAM view, const wchar_t* key) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}
// The value's data as text (REG_SZ) or its size in bytes ("<N bytes>"); "" when missing.
std::wstring ValueIn(REGSAM view, const wchar_t* key, const wchar_t* name, DWORD* type = nullptr) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, &k) != ERROR_SUCCESS) return {};
  wchar_t data[1024] = {};
  DWORD bytes = sizeof data - sizeof(wchar_t), t = 0;
  const LONG r = RegQueryValueExW(k, name, nullptr, &t, reinterpret_cast<BYTE*>(data), &bytes);
  RegCloseKey(k);
  if (type) *type = t;
  if (r == ERROR_MORE_DATA) return L"<large>";
  if (r != ERROR_SUCCESS) return {};
  if (t == REG_SZ || t == REG_EXPAND_SZ) return std::wstring(data, wcsnlen(data, bytes / 2));
  return L"<" + std::to_wstring(bytes) + L" bytes>";
}
bool SetIn(REGSAM view, const wchar_t* key, const wchar_t* name, const std::wstring& text) {
  HKEY k = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &k,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LONG r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
  return r == ERROR_SUCCESS;
}
void DeleteTreeIn(REGSAM view, const wchar_t* parent, const wchar_t* sub) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, parent, 0, KEY_ALL_ACCESS | view, &k) != ERROR_SUCCESS)
    return;
  RegDeleteTreeW(k, sub);
  RegDeleteKeyExW(k, sub, view, 0);
  RegCloseKey(k);
}

// ---- runs ----

struct Outcome {
  DWORD exitCode = ~0u;
  bool ended = false;
  std::string log;  // UTF-8, without its byte-order mark
};

// Starts exe (32-bit) unattended with arguments and the suite's log, waits for
// it and for its working copy, reads its exit code here (Linux would see it
// modulo 256) and its log.
Outcome RunSilentOnce(const std::wstring& exe, const std::wstring& arguments) {
  DeleteFileW(LogPath().c_str());
  Outcome out;
  robot::Process p;
  if (!robot::Start(exe, L"-s " + arguments + L" log=[" + LogPath() + L"]", &p)) return out;
  out.ended = robot::WaitExit(p, kRunTimeout, &out.exitCode);
  robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 120000);
  out.log = testfs::ReadText(LogPath());
  if (out.log.rfind("\xEF\xBB\xBF", 0) == 0) out.log.erase(0, 3);
  return out;
}

// qemu-user now and then loses a 32-bit process while Wine starts it; the
// parent's CreateProcess then fails with ERROR_INTERNAL_ERROR (1359), which
// a program that starts never gives on Windows. A run whose setup failed
// only so, at the start of its working copy (which changes nothing), is made
// once more, and the output says so; no other failure is retried. (The
// robot retries its own starts.)
Outcome RunSilent(const std::wstring& exe, const std::wstring& arguments) {
  Outcome out = RunSilentOnce(exe, arguments);
  if (!out.ended || out.exitCode != 1603 ||
      out.log.find("starting the program's copy failed (Windows error 1359)") == std::string::npos)
    return out;
  std::printf("the emulator lost the working copy at its start: the run is made once more\n");
  return RunSilentOnce(exe, arguments);
}

std::string LastLine(const std::string& log) {
  std::string t = log;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  const size_t at = t.rfind('\n');
  return at == std::string::npos ? t : t.substr(at + 1);
}

::testing::AssertionResult InOrder(const std::string& log, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = log.find(line, at);
    if (found == std::string::npos)
      return ::testing::AssertionFailure() << "\"" << line << "\" missing after offset " << at
                                           << " in the log:\n" << log;
    at = found + line.size();
  }
  return ::testing::AssertionSuccess();
}

// The entries of the temporary folder (the suite's own logs aside).
std::set<std::wstring> TempEntries() {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE f = FindFirstFileW((testfs::TempFolder() + L"*").c_str(), &found);
  if (f == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring n = found.cFileName;
    if (n != L"." && n != L".." && n != L"kl pe32.log" && n != L"KLInterfaceMessage.log")
      names.insert(n);
  } while (FindNextFileW(f, &found));
  FindClose(f);
  return names;
}

// Waits until the temporary folder holds what it held before a run: the
// working copy's folder goes with a command interpreter that the copy starts
// as it ends (a 32-bit one, which takes its minute to start here).
bool TempAsBefore(const std::set<std::wstring>& before) {
  return robot::WaitUntil([&] { return TempEntries() == before; }, 5 * 60 * 1000, 1000);
}

// Every place a 32-bit install of the sample touches, in both views: what is
// there, one line each ("" when nothing is).
std::vector<std::string> Footprint() {
  std::vector<std::string> there;
  auto file = [&](const std::wstring& path) {
    if (Exists(path)) there.push_back(U8(path));
  };
  for (const std::wstring& dir : {InstallDir(), Folder(CSIDL_PROGRAM_FILES) + kKey + L"\\",
                                  DataDir(), Folder(CSIDL_COMMON_PROGRAMS) + kDisplay + L"\\"})
    file(dir);
  for (const std::wstring& sys : {System64(), System32On64()}) {
    file(sys + kModule);
    file(sys + L"KeloSample_sys.dll");
  }
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  file(std::wstring(windows) + L"\\KeloSample_win.dat");
  file(Folder(CSIDL_FONTS) + L"KeloSampleSans.ttf");
  file(Folder(CSIDL_COMMON_DESKTOPDIRECTORY) + kDisplay + L"系统设置.lnk");
  file(Folder(CSIDL_DESKTOPDIRECTORY) + kDisplay + L"系统设置.lnk");
  for (REGSAM view : {k32, k64}) {
    const std::string v = view == k32 ? "32-bit view: " : "64-bit view: ";
    if (KeyIn(view, kVendorKey)) there.push_back(v + U8(kVendorKey));
    if (KeyIn(view, kRecord)) there.push_back(v + U8(kRecord));
    if (!ValueIn(view, kFontsKey, kFontValue).empty()) there.push_back(v + "font value");
  }
  for (const std::wstring& layout : LayoutsUsingModule(kModule))
    there.push_back("keyboard layout " + U8(layout));
  return there;
}

// Takes away whatever an earlier (failed) run left, from both views.
void Clean() {
  for (DWORD pid : robot::FindProcesses(wizrobot::kWorkingCopyTail)) robot::Kill(pid);
  RemoveImeLayouts(kModule);
  for (const std::wstring& sys : {System64(), System32On64()}) {
    DeleteFileW((sys + kModule).c_str());
    DeleteFileW((sys + L"KeloSample_sys.dll").c_str());
  }
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  DeleteFileW((std::wstring(windows) + L"\\KeloSample_win.dat").c_str());
  RemoveFontResourceW((Folder(CSIDL_FONTS) + L"KeloSampleSans.ttf").c_str());
  DeleteFileW((Folder(CSIDL_FONTS) + L"KeloSampleSans.ttf").c_str());
  for (const std::wstring& dir : {InstallDir(), Folder(CSIDL_PROGRAM_FILES) + kKey + L"\\", DataDir(),
                                  Folder(CSIDL_COMMON_PROGRAMS) + kDisplay + L"\\",
                                  testfs::TempFolder() + L"__KLIMEInstall\\"})
    testfs::RemoveTree(dir);
  DeleteFileW((Folder(CSIDL_COMMON_DESKTOPDIRECTORY) + kDisplay + L"系统设置.lnk").c_str());
  DeleteFileW((Folder(CSIDL_DESKTOPDIRECTORY) + kDisplay + L"系统设置.lnk").c_str());
  for (REGSAM view : {k32, k64}) {
    DeleteTreeIn(view, L"Software\\zorbl", kKey);
    DeleteTreeIn(view, L"Software", L"zorbl");
    DeleteTreeIn(view, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", kKey);
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFontsKey, 0, KEY_SET_VALUE | view, &k) == ERROR_SUCCESS) {
      RegDeleteValueW(k, kFontValue);
      RegCloseKey(k);
    }
  }
  DeleteFileW(InterfaceLog().c_str());
}

std::wstring VersionOf(const std::wstring& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  Bytes block(size);
  void* v = nullptr;
  UINT n = 0;
  if (!size || !GetFileVersionInfoW(file.c_str(), 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\StringFileInfo\\080404b0\\FileVersion", &v, &n) || !v)
    return L"<none>";
  return static_cast<const wchar_t*>(v);
}

// A copy of a 32-bit driver as its vendor's next release: version 1.0.0.2.
bool MakeNewer(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(to.c_str(), &ignored);
  Bytes block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT n = 0;
  if (!size || !GetFileVersionInfoW(to.c_str(), 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &n) || !fixed)
    return false;
  fixed->dwFileVersionLS = 2;
  klupdate::VersionNode root;
  if (!klupdate::ReadVersionRoot(block.data(), block.size(), &root)) return false;
  block.resize(root.end);
  auto out = klupdate::RewriteVersionString(block.data(), block.size(), L"FileVersion", L"1.0.0.2");
  if (out.size() != 1) return false;
  HANDLE h = BeginUpdateResourceW(to.c_str(), FALSE);
  if (!h) return false;
  const bool ok = UpdateResourceW(h, RT_VERSION, MAKEINTRESOURCEW(1), 0x804, out[0].data(),
                                  static_cast<DWORD>(out[0].size()));
  return EndUpdateResourceW(h, ok ? FALSE : TRUE) && ok;
}

class Pe32 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(Setup32())) << "no PE32 sample setup at " << U8(Setup32())
                                   << " (KL_SAMPLE_BUILDS=win32 scripts/pack-sample.sh makes it)";
    ASSERT_FALSE(System32On64().empty()) << "this prefix has no 32-bit system folder (not WoW64)";
  }
  // The install this case works on, as the install case left it.
  void NeedInstalled() {
    ASSERT_TRUE(Exists(InstallDir() + L"unstall.exe"))
        << "the sample is not installed (the install case runs first)";
  }
};

// A package whose enciphered bytes are damaged: 1603, the reason in the log,
// and nothing of the run anywhere (the temporary folder as it was).
TEST_F(Pe32, DamagedPackageFailsWith1603AndLeavesNothing) {
  Clean();
  ASSERT_EQ(Footprint(), std::vector<std::string>());
  Bytes bytes;
  ASSERT_TRUE(testfs::ReadAll(Setup32(), &bytes));
  for (size_t i = bytes.size() - 4096; i < bytes.size() - 64; i += 7) bytes[i] ^= 0x5A;
  const std::wstring damaged = Full(testfs::BinFolder() + L"..\\pe32-damaged-setup.exe");
  ASSERT_TRUE(testfs::WriteAll(damaged, bytes));
  const std::set<std::wstring> tempBefore = TempEntries();

  const Outcome r = RunSilent(damaged, L"");
  DeleteFileW(damaged.c_str());
  ASSERT_TRUE(r.ended) << "the damaged setup did not end";
  EXPECT_EQ(r.exitCode, 1603u);
  EXPECT_TRUE(InOrder(r.log, {"mode: install, silent", "the package cannot be extracted"}));
  EXPECT_NE(LastLine(r.log).find("exit code 1603 (failure)"), std::string::npos) << r.log;
  EXPECT_EQ(Footprint(), std::vector<std::string>());
  EXPECT_TRUE(TempAsBefore(tempBefore));
  EXPECT_EQ(TempEntries(), tempBefore);
}

// The install: exit 0 and the log's steps; the 32-bit program's files in
// Program Files (x86), its system files in syswow64 (none in the 64-bit
// system folder), its keys in the 32-bit registry view only.
TEST_F(Pe32, SilentInstallLandsInThe32BitViews) {
  Clean();
  const std::set<std::wstring> tempBefore = TempEntries();
  const Outcome r = RunSilent(Setup32(), L"");
  ASSERT_TRUE(r.ended) << "the setup did not end";
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(InOrder(r.log, {"mode: install, silent", "开始安装....", "file placed: ",
                              "registry key written: ", "  3.写入卸载信息...", "  4.备份安装数据...",
                              "安装程序已经完成所有工作!"}));
  EXPECT_NE(LastLine(r.log).find("exit code 0 (success)"), std::string::npos) << r.log;

  const std::wstring dir = InstallDir();
  EXPECT_NE(dir.find(L" (x86)\\"), std::wstring::npos) << U8(dir);
  for (const wchar_t* f : {L"unstall.exe", L"_backup_.dat", L"config.exe", L"mb.dll", L"skin.dll",
                           L"main.chm", L"License.html", L"ITF\\Interface.dll", L"prismic\\classic.zip"})
    EXPECT_TRUE(Exists(dir + f)) << U8(dir + f);
  EXPECT_FALSE(Exists(Folder(CSIDL_PROGRAM_FILES) + kKey)) << "installed into the 64-bit Program Files";
  // File-system redirection: the system folder of a 32-bit program is syswow64.
  EXPECT_TRUE(Exists(System32On64() + kModule));
  EXPECT_TRUE(Exists(System32On64() + L"KeloSample_sys.dll"));
  EXPECT_FALSE(Exists(System64() + kModule));
  EXPECT_FALSE(Exists(System64() + L"KeloSample_sys.dll"));
  EXPECT_TRUE(Exists(DataDir() + L"danzi.kmi"));
  EXPECT_TRUE(Exists(DataDir() + L"config.ksc"));
  EXPECT_TRUE(Exists(Folder(CSIDL_FONTS) + L"KeloSampleSans.ttf"));

  // Registry redirection: HKLM\Software of a 32-bit program is WOW6432Node.
  EXPECT_EQ(ValueIn(k32, kVendorKey, L"KMEInstallPath"), dir);
  DWORD type = 0;
  EXPECT_NE(ValueIn(k32, kVendorKey, L"RemovalRecord", &type), L"");
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(ValueIn(k32, kRecord, L"DisplayName"), kDisplay);
  EXPECT_EQ(ValueIn(k32, kRecord, L"DisplayVersion"), L"1.0.0.1");
  EXPECT_EQ(ValueIn(k32, kRecord, L"InstallLocation"), dir);
  EXPECT_EQ(ValueIn(k32, kRecord, L"QuietUninstallString"),
            L"\"" + dir + L"Unstall.exe\" -s -u name=[KeloSample]");
  EXPECT_FALSE(KeyIn(k64, kVendorKey));
  EXPECT_FALSE(KeyIn(k64, kRecord));
  // The keyboard layout (HKLM\System is one for both) names the module.
  EXPECT_FALSE(LayoutsUsingModule(kModule).empty());
  // The run's work is gone from the temporary folder.
  EXPECT_TRUE(TempAsBefore(tempBefore));
  EXPECT_EQ(TempEntries(), tempBefore);
}

// The installed 32-bit unstall.exe updates the drivers unattended (-s -g)
// from the test server: the newer module lands in syswow64, the newer skin
// driver in the install folder; the server address comes from the 32-bit view.
TEST_F(Pe32, SilentUpdateFetchesNewerDrivers) {
  NeedInstalled();
  const std::wstring tree = testfs::TempFolder() + testfs::Unique(L"klpe32upd") + L"\\";
  const std::wstring root = tree + L"www\\", drivers = tree + L"drivers\\";
  for (const std::wstring& sub : {tree, root, drivers, drivers + L"IME_MAIN\\", drivers + L"SKIN_DRIVE\\"})
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  const std::wstring sample = Win32Tree() + L"bin\\sample\\";
  ASSERT_TRUE(MakeNewer(sample + L"KeloSample.ime", drivers + L"IME_MAIN\\KeloSample.ime"));
  ASSERT_TRUE(MakeNewer(sample + L"skin.dll", drivers + L"SKIN_DRIVE\\prismic.dll"));

  testsrv::UpdateServer server;
  ASSERT_TRUE(server.Start(tree, root, kServerScript)) << "the update server did not start";
  robot::Process klpack;
  ASSERT_TRUE(robot::Start(testfs::BinFolder() + L"klpack.exe",
                           L"update-tree --drivers \"" + drivers + L".\" --base-url " + server.Base() +
                               L" -o \"" + root + L".\"",
                           &klpack));
  DWORD code = 1;
  ASSERT_TRUE(robot::WaitExit(klpack, 60000, &code));
  ASSERT_EQ(code, 0u) << "klpack update-tree failed";
  ASSERT_TRUE(SetIn(k32, kVendorKey, L"UpdateServer", server.Base() + L"/"));
  ASSERT_TRUE(SetIn(k32, kRecord, L"URLUpdateInfo", L""));
  ASSERT_EQ(VersionOf(System32On64() + kModule), L"1.0.0.1");

  const Outcome r = RunSilent(InstallDir() + L"unstall.exe", L"-g name=[KeloSample]");
  const std::string base = U8(server.Base());
  const std::string requests = server.Log();
  server.Stop();
  testfs::RemoveTree(tree);
  ASSERT_TRUE(r.ended) << "the update did not end";
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(InOrder(r.log, {"mode: update, silent",
                              "download: " + base + "/_supports/klime_drives/UpdateList.txt: HTTP 200",
                              "planned: ", "file replaced: ", "drivers updated: 2 of 2 planned"}));
  EXPECT_NE(LastLine(r.log).find("exit code 0"), std::string::npos) << r.log;
  EXPECT_NE(requests.find("/drivers/ime_main/KeloSample.cab"), std::string::npos) << requests;
  EXPECT_EQ(VersionOf(System32On64() + kModule), L"1.0.0.2");
  EXPECT_EQ(VersionOf(InstallDir() + L"skin.dll"), L"1.0.0.2");
  EXPECT_FALSE(Exists(System64() + kModule));
}

// A deleted file comes back from the kept package (-s -r).
TEST_F(Pe32, SilentRepairPutsBackADeletedFile) {
  NeedInstalled();
  ASSERT_TRUE(DeleteFileW((InstallDir() + L"config.exe").c_str()));
  ASSERT_TRUE(DeleteFileW((System32On64() + L"KeloSample_sys.dll").c_str()));
  const Outcome r = RunSilent(InstallDir() + L"unstall.exe", L"-r name=[KeloSample]");
  ASSERT_TRUE(r.ended) << "the repair did not end";
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(InOrder(r.log, {"mode: repair, silent", "开始安装....", "安装程序已经完成所有工作!"}));
  EXPECT_NE(LastLine(r.log).find("exit code 0 (success)"), std::string::npos) << r.log;
  EXPECT_TRUE(Exists(InstallDir() + L"config.exe"));
  EXPECT_TRUE(Exists(System32On64() + L"KeloSample_sys.dll"));
  EXPECT_FALSE(Exists(System64() + L"KeloSample_sys.dll"));
  EXPECT_EQ(ValueIn(k32, kVendorKey, L"KMEInstallPath"), InstallDir());
}

// The uninstall takes everything away, in both views, after its farewell
// call into the 32-bit interface library (cdecl, four ints).
TEST_F(Pe32, SilentUninstallLeavesNothing) {
  NeedInstalled();
  DeleteFileW(InterfaceLog().c_str());
  const Outcome r = RunSilent(InstallDir() + L"unstall.exe", L"-u name=[KeloSample]");
  ASSERT_TRUE(r.ended) << "the uninstall did not end";
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(InOrder(r.log, {"mode: uninstall, silent", "开始卸载...", "removal record: ",
                              "file removed: ", "registry key deleted: ", "keyboard layout removed: ",
                              "  6.卸载完成."}));
  EXPECT_NE(LastLine(r.log).find("exit code 0 (success)"), std::string::npos) << r.log;
  const std::string calls = testfs::ReadText(InterfaceLog());
  EXPECT_EQ(calls.rfind("KLInterfaceMessage(0,7,0,0) pid=", 0), 0u) << calls;
  EXPECT_NE(calls.find("module=" + U8(InstallDir()) + "ITF\\Interface.dll\r\n"), std::string::npos)
      << calls;
  // The program started from the folder waits outside it for its end.
  EXPECT_TRUE(robot::WaitUntil(
      [] {
        WIN32_FIND_DATAW found;
        HANDLE f = FindFirstFileW((testfs::TempFolder() + L"__KLIMEUninstall*").c_str(), &found);
        if (f == INVALID_HANDLE_VALUE) return true;
        FindClose(f);
        return false;
      },
      kRunTimeout));
  EXPECT_EQ(Footprint(), std::vector<std::string>());
  Clean();
}

}  // namespace
