// Folder-tree removal under Wine: real folders are removed (by the real
// command interpreter where a file is in use); the protected folders must
// survive whatever is passed.
#include <gtest/gtest.h>
#include <windows.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "install/protected_folders_win.h"
#include "robot_win.h"
#include "sys/remove_tree_win.h"
#include "testfs_win.h"
#include "update_server_win.h"

namespace {

using testfs::IsFolder;
using testfs::RemoveTree;
using testfs::Unique;

void MakeFolders(const std::wstring& path) {
  for (size_t i = 3; i <= path.size(); ++i)
    if (i == path.size() || path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

void Put(const std::wstring& path) { ASSERT_TRUE(testfs::WriteAll(path, std::string("x"))); }

// Acts like a volume that keeps no 8.3 names: the "short" form is the path.
DWORD WINAPI NoShortNames(LPCWSTR path, LPWSTR out, DWORD cap) {
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return 0;
  size_t n = wcslen(path);
  if (n >= cap) return static_cast<DWORD>(n + 1);
  wcscpy(out, path);
  return static_cast<DWORD>(n);
}

struct ShortNameSeam {
  explicit ShortNameSeam(ShortPathFunction fn) { SetRemoveTreeShortPathFunction(fn); }
  ~ShortNameSeam() { SetRemoveTreeShortPathFunction(nullptr); }
};

TEST(RemoveFolderTree, RemovesATreeAndKeepsTheCurrentDirectory) {
  std::wstring dir = L"C:\\" + Unique(L"kl_rt_");
  MakeFolders(dir + L"\\a\\b");
  MakeFolders(dir + L"\\empty");
  Put(dir + L"\\a\\b\\file.txt");
  Put(dir + L"\\top.txt");
  // Read-only, hidden and system files and a read-only folder go as well.
  Put(dir + L"\\a\\locked.txt");
  SetFileAttributesW((dir + L"\\a\\locked.txt").c_str(),
                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  SetFileAttributesW((dir + L"\\a\\b").c_str(), FILE_ATTRIBUTE_READONLY);
  wchar_t temp[MAX_PATH], before[MAX_PATH], after[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  SetCurrentDirectoryW(temp);
  GetCurrentDirectoryW(MAX_PATH, before);
  DWORD starts = RemoveTreeProcessCount();
  EXPECT_TRUE(RemoveFolderTree((dir + L"\\").c_str()));
  EXPECT_FALSE(IsFolder(dir));
  // Nothing there was in use: no interpreter was needed.
  EXPECT_EQ(RemoveTreeProcessCount(), starts);
  GetCurrentDirectoryW(MAX_PATH, after);
  EXPECT_STREQ(before, after);
}

// A symbolic link made on the Unix side of Wine (which reports it as a
// reparse point) in the tree, to a folder outside it: never entered. Wine
// cannot remove it as a link, so it stays with what is left of the tree;
// the folder it points to stays whole, and no interpreter runs.
TEST(RemoveFolderTree, LinksInTheTreeAreNeverFollowedOut) {
  const std::wstring dir = L"C:\\" + Unique(L"kl_links_");
  const std::wstring outside = L"C:\\" + Unique(L"kl_outside_");
  MakeFolders(dir + L"\\a\\b");
  MakeFolders(outside + L"\\sub");
  Put(dir + L"\\a\\mine.txt");
  Put(outside + L"\\keep.txt");
  Put(outside + L"\\sub\\deep.txt");
  ASSERT_FALSE(testsrv::UnixPath(outside).empty()) << "not under Wine";
  const std::wstring folderLink = dir + L"\\a\\b\\folder-link";
  ASSERT_TRUE(testsrv::MakeUnixLink(outside, folderLink)) << "ln did not make the link";
  ASSERT_TRUE(GetFileAttributesW(folderLink.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)
      << "the link is not seen as a link";
  ASSERT_TRUE(testfs::IsFile(dir + L"\\a\\b\\folder-link\\sub\\deep.txt"));

  const DWORD starts = RemoveTreeProcessCount();
  EXPECT_FALSE(RemoveFolderTree(dir.c_str()));
  EXPECT_FALSE(RemoveFolderTreeAfterExit(dir.c_str()));
  EXPECT_EQ(RemoveTreeProcessCount(), starts) << "the interpreter would follow the link";
  EXPECT_EQ(testfs::ReadText(outside + L"\\sub\\deep.txt"), "x") << "entered through the folder link";
  EXPECT_TRUE(IsFolder(outside + L"\\sub"));
  EXPECT_EQ(testfs::ReadText(outside + L"\\keep.txt"), "x");
  EXPECT_TRUE(testfs::Exists(folderLink));

  // Removed on the Unix side, which never follows a link.
  EXPECT_TRUE(testsrv::RemoveUnixTree(dir));
  RemoveTree(outside);
}

TEST(RemoveFolderTree, MissingFolderStartsNothing) {
  DWORD starts = RemoveTreeProcessCount();
  EXPECT_FALSE(RemoveFolderTree((L"C:\\" + Unique(L"kl_none_")).c_str()));
  EXPECT_FALSE(RemoveFolderTree(L""));
  EXPECT_FALSE(RemoveFolderTree(nullptr));
  EXPECT_EQ(RemoveTreeProcessCount(), starts);
}

// The interpreter is the system's cmd.exe, whatever COMSPEC says (a user's
// own environment sets it for an elevated run too): a program it names is
// never started, and with COMSPEC unset the folder goes all the same.
TEST(RemoveFolderTree, ComspecNeverPicksTheInterpreter) {
  const std::wstring planted = testfs::TempFolder() + Unique(L"kl_cs_") + L".exe";
  ASSERT_TRUE(CopyFileW((testfs::BinFolder() + L"leave_trace.exe").c_str(), planted.c_str(), FALSE))
      << "tests/helpers/leave_trace not built";
  std::wstring dir = L"C:\\" + Unique(L"kl_nocs_");
  MakeFolders(dir);
  Put(dir + L"\\locked.dat");
  wchar_t saved[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableW(L"COMSPEC", saved, MAX_PATH), 0u);
  DWORD starts = RemoveTreeProcessCount();
  {
    testfs::HeldFile held(dir + L"\\locked.dat");  // the interpreter is needed
    ASSERT_TRUE(held.ok()) << "hold_open did not start";
    SetEnvironmentVariableW(L"COMSPEC", planted.c_str());
    EXPECT_TRUE(RemoveFolderTree(dir.c_str()));
    SetEnvironmentVariableW(L"COMSPEC", saved);
  }
  EXPECT_EQ(RemoveTreeProcessCount(), starts + 2);
  Sleep(500);
  EXPECT_FALSE(testfs::IsFile(planted + L".trace")) << "the planted program ran";

  SetEnvironmentVariableW(L"COMSPEC", nullptr);
  EXPECT_TRUE(RemoveFolderTree(dir.c_str()));
  SetEnvironmentVariableW(L"COMSPEC", saved);
  EXPECT_FALSE(IsFolder(dir));
  DeleteFileW(planted.c_str());
  RemoveTree(dir);
}

TEST(RemoveFolderTree, PercentOrOverlongCommandStartsNothing) {
  // "%windir%" would be expanded by the interpreter even inside quotes.
  std::wstring dir = L"C:\\" + Unique(L"kl_pct_") + L"\\%windir%";
  MakeFolders(dir);
  ASSERT_TRUE(IsFolder(dir));
  wchar_t saved[MAX_PATH];
  GetEnvironmentVariableW(L"COMSPEC", saved, MAX_PATH);
  DWORD starts = RemoveTreeProcessCount();
  {
    ShortNameSeam seam(&NoShortNames);
    EXPECT_FALSE(RemoveFolderTree(dir.c_str()));
    // A long folder path fits with the system's interpreter (a long COMSPEC
    // no longer plays a part) and goes.
    std::wstring longDir = L"C:\\" + Unique(L"kl_long_") + L"\\";
    longDir += std::wstring(247 - longDir.size(), L'd');  // 247: CreateDirectoryW takes 248 at most
    MakeFolders(longDir);
    std::wstring longComspec = std::wstring(saved) + std::wstring(258 - wcslen(saved), L' ');
    SetEnvironmentVariableW(L"COMSPEC", longComspec.c_str());
    EXPECT_TRUE(RemoveFolderTree(longDir.c_str()));
    SetEnvironmentVariableW(L"COMSPEC", saved);
    EXPECT_FALSE(IsFolder(longDir));
    EXPECT_EQ(RemoveTreeProcessCount(), starts);
    RemoveTree(longDir.substr(0, longDir.rfind(L'\\')));
  }
  EXPECT_TRUE(IsFolder(dir));
  RemoveTree(dir.substr(0, dir.rfind(L'\\')));
}

TEST(RemoveFolderTree, FolderHeldOpenGetsTwoAttemptsAndTrue) {
  std::wstring dir = L"C:\\" + Unique(L"kl_held_");
  MakeFolders(dir);
  Put(dir + L"\\locked.dat");
  testfs::HeldFile held(dir + L"\\locked.dat");
  ASSERT_TRUE(held.ok()) << "hold_open did not start";

  DWORD starts = RemoveTreeProcessCount();
  ULONGLONG t0 = GetTickCount64();
  bool result = RemoveFolderTree(dir.c_str());
  ULONGLONG ms = GetTickCount64() - t0;
  EXPECT_TRUE(result);
  EXPECT_EQ(RemoveTreeProcessCount(), starts + 2);
  EXPECT_TRUE(IsFolder(dir));  // still there: the file is in use
  EXPECT_LE(ms, 2600u);        // each attempt waits at most one second
  std::printf("held folder: two attempts took %llu ms\n", static_cast<unsigned long long>(ms));

  held.Release();
  RemoveTree(dir);
}

// Decoys that an unquoted "rmdir C:\kl test\a b /s /q" run from "c:\" would
// remove: "C:\kl", "c:\test\a" and "c:\b", plus the neighbour "a".
class SpacedPath : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& d : Decoys()) {
      MakeFolders(d);
      Put(d + L"\\keep.txt");
    }
    MakeFolders(target_ + L"\\inner dir");
    Put(target_ + L"\\inner dir\\file.txt");
  }
  void TearDown() override {
    RemoveTree(L"C:\\kl test");
    RemoveTree(L"C:\\kl");
    RemoveTree(L"C:\\test");
    RemoveTree(L"C:\\b");
  }
  static std::vector<std::wstring> Decoys() {
    return {L"C:\\kl", L"C:\\kl test\\a", L"C:\\test\\a", L"C:\\b"};
  }
  void Check() {
    EXPECT_FALSE(IsFolder(target_));
    for (const auto& d : Decoys())
      EXPECT_NE(GetFileAttributesW((d + L"\\keep.txt").c_str()), INVALID_FILE_ATTRIBUTES)
          << std::string(d.begin(), d.end());
  }
  std::wstring target_ = L"C:\\kl test\\a b";
};

TEST_F(SpacedPath, RemovedWithoutShortNames) {
  ShortNameSeam seam(&NoShortNames);
  EXPECT_TRUE(RemoveFolderTree(target_.c_str()));
  Check();
}

TEST_F(SpacedPath, RemovedThroughShortNames) {
  EXPECT_TRUE(RemoveFolderTree((target_ + L"\\").c_str()));
  Check();
}

std::wstring Folder(int csidl) {
  wchar_t buf[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl, nullptr, 0, buf);
  return buf;
}

std::wstring Upper(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(towupper(c));
  return s;
}

TEST(ProtectedFolders, AreRefusedInEverySpelling) {
  wchar_t sys[MAX_PATH], win[MAX_PATH], profile[MAX_PATH];
  GetSystemDirectoryW(sys, MAX_PATH);
  GetWindowsDirectoryW(win, MAX_PATH);
  GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  std::wstring users(profile);
  users.resize(users.rfind(L'\\'));
  std::vector<std::wstring> bases = {L"C:\\", win, sys, Folder(CSIDL_PROGRAM_FILES),
                                     users, profile, Folder(CSIDL_COMMON_APPDATA),
                                     users + L"\\Public"};
  std::vector<std::wstring> spellings;
  for (const auto& b : bases) {
    ASSERT_TRUE(IsFolder(b)) << std::string(b.begin(), b.end());
    std::wstring bare = b.back() == L'\\' ? b.substr(0, b.size() - 1) : b;
    spellings.push_back(bare);
    spellings.push_back(bare + L"\\");
    spellings.push_back(Upper(bare) + L"\\\\");
    spellings.push_back(bare + L"\\.");
    wchar_t shortName[MAX_PATH];
    if (GetShortPathNameW(b.c_str(), shortName, MAX_PATH)) spellings.push_back(shortName);
  }
  // "Program Files" has a short name distinct from its long one.
  wchar_t programShort[MAX_PATH];
  ASSERT_GT(GetShortPathNameW(Folder(CSIDL_PROGRAM_FILES).c_str(), programShort, MAX_PATH), 0u);
  EXPECT_NE(Folder(CSIDL_PROGRAM_FILES), std::wstring(programShort));
  spellings.push_back(L"c:");
  spellings.push_back(L"c:\\windows\\system32\\..");
  spellings.push_back(L"\\\\?\\C:\\windows");
  spellings.push_back(L"C:\\Program Files\\..\\Windows\\");
  DWORD starts = RemoveTreeProcessCount();
  for (const auto& s : spellings) {
    EXPECT_TRUE(IsProtectedFolder(s.c_str())) << std::string(s.begin(), s.end());
    EXPECT_FALSE(RemoveFolderTree(s.c_str())) << std::string(s.begin(), s.end());
  }
  EXPECT_EQ(RemoveTreeProcessCount(), starts);
  for (const auto& b : bases) EXPECT_TRUE(IsFolder(b));
}

TEST(ProtectedFolders, OrdinaryFoldersBelowThemAreNot) {
  wchar_t profile[MAX_PATH];
  GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  EXPECT_FALSE(IsProtectedFolder((std::wstring(profile) + L"\\Temp\\kl").c_str()));
  EXPECT_FALSE(IsProtectedFolder((Folder(CSIDL_PROGRAM_FILES) + L"\\Kelo IME\\").c_str()));
  EXPECT_FALSE(IsProtectedFolder((Folder(CSIDL_COMMON_APPDATA) + L"\\KeloIMEs\\x\\").c_str()));
  EXPECT_FALSE(IsProtectedFolder(L"C:\\kl test\\a b"));
  EXPECT_FALSE(IsProtectedFolder(L"C:\\windowsold"));
  EXPECT_TRUE(IsProtectedFolder(L""));
  EXPECT_TRUE(IsProtectedFolder(nullptr));
}

TEST(GuardedFolders, TheListsBuiltBesideTheRunGiveTheSameAnswers) {
  PrepareGuardedFolders();  // still under way: the checks below wait for them
  const std::wstring desktop = Folder(CSIDL_DESKTOPDIRECTORY);
  const std::wstring common = Folder(CSIDL_PROGRAM_FILES_COMMON) + L"\\Kelo";
  EXPECT_TRUE(IsRefusedInstallFolder(desktop.c_str()));
  EXPECT_TRUE(IsRefusedInstallFolder((Folder(CSIDL_WINDOWS) + L"\\Kelo").c_str()));
  EXPECT_FALSE(IsRefusedInstallFolder((Folder(CSIDL_PROGRAM_FILES) + L"\\Kelo IME\\").c_str()));
  // The shared trees guard the tree removal only.
  EXPECT_FALSE(IsRefusedInstallFolder(common.c_str()));
  EXPECT_TRUE(IsGuardedFromTreeRemoval(common.c_str()));
  EXPECT_TRUE(IsGuardedFromTreeRemoval(desktop.c_str()));
  PrepareGuardedFolders();  // once more: the same lists
  EXPECT_TRUE(IsRefusedInstallFolder(desktop.c_str()));
}

TEST(ProtectedFolders, RelativePathsAreRefused) {
  // The interpreter runs in "c:\", so a relative path would name another folder.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  SetCurrentDirectoryW(temp);
  std::wstring name = Unique(L"kl_rel_");
  CreateDirectoryW(name.c_str(), nullptr);
  ASSERT_TRUE(IsFolder(std::wstring(temp) + name));
  DWORD starts = RemoveTreeProcessCount();
  for (const std::wstring& s : {name, L".\\" + name, L"C:" + name, L"\\" + name})
    EXPECT_FALSE(RemoveFolderTree(s.c_str())) << std::string(s.begin(), s.end());
  EXPECT_EQ(RemoveTreeProcessCount(), starts);
  EXPECT_TRUE(IsFolder(std::wstring(temp) + name));
  RemoveDirectoryW((std::wstring(temp) + name).c_str());
}

}  // namespace
