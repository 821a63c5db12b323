// Work folder and working-copy paths (fresh private folders), with the
// temporary folder redirected through TMP.
#include "app/working_copy_win.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "app_test_util_win.h"
#include "base/text.h"
#include "sys/fsutil_win.h"

namespace {

// A temporary-folder path of exactly `length` characters with its final
// backslash (GetTempPathW adds one to TMP when it is missing).
std::wstring TempOfLength(size_t length) {
  std::wstring t = L"C:\\";
  t += std::wstring(length - t.size() - 1, L't');
  return t + L"\\";
}

// "<temp>__KLIMEWork<8 hex digits>\" (the folder of path when file is set).
bool IsPrivateFolderIn(const std::wstring& temp, std::wstring path, bool file) {
  if (file) path = path.substr(0, path.rfind(L'\\') + 1);
  const std::wstring prefix = temp + L"__KLIMEWork";
  if (path.size() != prefix.size() + 9 || path.compare(0, prefix.size(), prefix) != 0 ||
      path.back() != L'\\')
    return false;
  for (size_t i = prefix.size(); i + 1 < path.size(); ++i)
    if (!iswxdigit(path[i])) return false;
  return true;
}

// Lets go of and removes a private folder this process made.
void DropFolder(const std::wstring& folder) {
  ReleaseWorkFolder();
  apptest::RemoveTree(folder);
}

TEST(WorkingCopyPath, IsTheFixedNameInAFreshPrivateFolder) {
  wchar_t path[kPathChars], again[kPathChars];
  ASSERT_TRUE(GetWorkingCopyPath(path));
  const std::wstring copy = path;
  EXPECT_TRUE(IsPrivateFolderIn(apptest::TempFolder(), copy, true)) << copy.size();
  EXPECT_EQ(copy.substr(copy.rfind(L'\\') + 1), L"___kelo_install_base___.exe");
  EXPECT_TRUE(GetFileAttributesW(copy.substr(0, copy.rfind(L'\\')).c_str()) &
              FILE_ATTRIBUTE_DIRECTORY);
  // Every run gets a folder of its own.
  ASSERT_TRUE(GetWorkingCopyPath(again));
  EXPECT_NE(copy.substr(0, copy.rfind(L'\\')), std::wstring(again).substr(0, copy.rfind(L'\\')));
  DropFolder(copy.substr(0, copy.rfind(L'\\') + 1));
  DropFolder(std::wstring(again).substr(0, std::wstring(again).rfind(L'\\') + 1));
}

TEST(WorkingCopyPath, LongestTemporaryFolderThatFits) {
  // length + 20 (the folder) + 27 (the name) must stay below 260.
  const std::wstring fits = TempOfLength(211);
  ASSERT_TRUE(CreateDirectoryW(fits.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  {
    apptest::EnvScope tmp(L"TMP", fits);
    wchar_t path[kPathChars];
    ASSERT_TRUE(GetWorkingCopyPath(path));
    EXPECT_EQ(kl::StrLen(path), 258u);
    EXPECT_TRUE(IsPrivateFolderIn(fits, path, true));
    ReleaseWorkFolder();
  }
  apptest::RemoveTree(fits);
}

TEST(WorkingCopyPath, TemporaryFolderTooLongGivesNoPathAndLeavesNothing) {
  const std::wstring tooLong = TempOfLength(212);
  ASSERT_TRUE(CreateDirectoryW(tooLong.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  {
    apptest::EnvScope tmp(L"TMP", tooLong);
    wchar_t path[kPathChars];
    kl::Copy(path, L"stale");
    EXPECT_FALSE(GetWorkingCopyPath(path));
    EXPECT_STREQ(path, L"");
  }
  // The folder it made for the copy went again.
  EXPECT_TRUE(RemoveDirectoryW(tooLong.c_str()));
}

TEST(WorkFolder, IsFreshPrivateAndHeldUntilReleased) {
  std::wstring base = apptest::FreshFolder(L"kl startup wf");
  std::wstring noSlash = base.substr(0, base.size() - 1);
  // A folder (or link) of the old fixed name made beforehand is never used.
  ASSERT_TRUE(CreateDirectoryW((base + L"__KLIMEInstall").c_str(), nullptr));
  apptest::EnvScope tmp(L"TMP", noSlash);
  LaunchInfo launch = {};
  ASSERT_TRUE(InitWorkFolder(launch));
  EXPECT_TRUE(IsPrivateFolderIn(base, launch.workFolder, false)) << kl::StrLen(launch.workFolder);
  EXPECT_TRUE(GetFileAttributesW(launch.workFolder) & FILE_ATTRIBUTE_DIRECTORY);
  // Held: nobody can move it away and put another folder in its place.
  const std::wstring moved = base + L"moved";
  EXPECT_FALSE(MoveFileW(launch.workFolder, moved.c_str()));
  RemoveWorkFolder(launch);
  EXPECT_FALSE(apptest::Exists(launch.workFolder));
  apptest::RemoveTree(base);
}

TEST(WorkFolder, SecurityGrantsOnlyAdministratorsAndSystemAndIsProtected) {
  PrivateFolderSecurity security;
  ASSERT_TRUE(BuildPrivateFolderSecurity(security));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(&security.descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the folder it is in passes nothing on";
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(&security.descriptor, &present, &acl, &defaulted));
  ASSERT_TRUE(present && acl && IsValidAcl(acl));
  ASSERT_EQ(acl->AceCount, 2u);
  BYTE admins[SECURITY_MAX_SID_SIZE], system[SECURITY_MAX_SID_SIZE];
  DWORD n = sizeof(admins);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &n));
  n = sizeof(system);
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &n));
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* p = nullptr;
    ASSERT_TRUE(GetAce(acl, i, &p));
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(p);
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(ace->Mask, static_cast<DWORD>(GENERIC_ALL));
    EXPECT_TRUE(EqualSid(&ace->SidStart, i == 0 ? admins : system)) << i;
  }
}

TEST(WorkFolder, BuildLaunchInfoClearsEverythingAndRecordsModule) {
  LaunchInfo launch;
  memset(&launch, 0x41, sizeof(launch));  // every field full of garbage
  BuildLaunchInfo(launch);
  EXPECT_EQ(std::wstring(launch.modulePath), apptest::ThisExe());
  EXPECT_STREQ(launch.workFolder, L"");  // the working copy makes it
  EXPECT_STREQ(launch.sourcePath, L"");
  EXPECT_STREQ(launch.packagePath, L"");
  EXPECT_STREQ(launch.programCopyPath, L"");
  EXPECT_STREQ(launch.commandLine, L"");
  EXPECT_STREQ(launch.extractFolder, L"");
  EXPECT_EQ(launch.mode, kModeInstall);
}

TEST(Relaunch, WorkingCopyKeepsItsArgumentsAndGoesOn) {
  apptest::RecordsScope records;
  kl::Copy(g_launch->modulePath, L"C:\\t\\___kelo_install_base___.exe");
  EXPECT_TRUE(RelaunchFromWorkingCopy(L"-u name=[A] file=C:\\dir with space\\setup.exe"));
  EXPECT_STREQ(g_launch->commandLine, L"-u name=[A] file=C:\\dir with space\\setup.exe");
  // The copy's work goes into a fresh private folder.
  EXPECT_TRUE(IsPrivateFolderIn(apptest::TempFolder(), g_launch->workFolder, false));
  DropFolder(g_launch->workFolder);

  // The marker may stand anywhere in the path; long arguments are cut.
  kl::Copy(g_launch->modulePath, L"C:\\___kelo_install_base___.exe.d\\x.exe");
  std::wstring longArgs(400, L'a');
  EXPECT_TRUE(RelaunchFromWorkingCopy(longArgs.c_str()));
  EXPECT_EQ(std::wstring(g_launch->commandLine), std::wstring(259, L'a'));
  DropFolder(g_launch->workFolder);
}

}  // namespace
