// Work folder and working-copy paths, with the temporary folder redirected
// through TMP.
#include "app/working_copy_win.h"

#include <gtest/gtest.h>

#include <string>

#include "app_test_util_win.h"
#include "base/text.h"

namespace {

// A temporary-folder path of exactly `length` characters with its final
// backslash (GetTempPathW adds one to TMP when it is missing).
std::wstring TempOfLength(size_t length) {
  std::wstring t = L"C:\\";
  t += std::wstring(length - t.size() - 1, L't');
  return t + L"\\";
}

TEST(WorkingCopyPath, IsTheFixedNameInTheTemporaryFolder) {
  wchar_t path[kPathChars];
  ASSERT_TRUE(GetWorkingCopyPath(path));
  EXPECT_EQ(std::wstring(path), apptest::TempFolder() + L"___kelo_install_base___.exe");
}

TEST(WorkingCopyPath, LongestTemporaryFolderThatFits) {
  // length + 27 + 2 must stay below 260.
  apptest::EnvScope tmp(L"TMP", TempOfLength(230));
  wchar_t path[kPathChars];
  ASSERT_TRUE(GetWorkingCopyPath(path));
  EXPECT_EQ(kl::StrLen(path), 257u);
  EXPECT_EQ(std::wstring(path), TempOfLength(230) + L"___kelo_install_base___.exe");
}

TEST(WorkingCopyPath, TemporaryFolderTooLongGivesNoPath) {
  apptest::EnvScope tmp(L"TMP", TempOfLength(231));
  wchar_t path[kPathChars];
  kl::Copy(path, L"stale");
  EXPECT_FALSE(GetWorkingCopyPath(path));
  EXPECT_STREQ(path, L"");
}

TEST(WorkFolder, AppendsFolderNameAndCreatesIt) {
  std::wstring base = apptest::FreshFolder(L"kl startup wf");
  std::wstring noSlash = base.substr(0, base.size() - 1);
  apptest::EnvScope tmp(L"TMP", noSlash);
  LaunchInfo launch = {};
  InitWorkFolder(launch);
  EXPECT_EQ(std::wstring(launch.workFolder), base + L"__KLIMEInstall\\");
  EXPECT_TRUE(GetFileAttributesW(launch.workFolder) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(apptest::Exists(launch.workFolder));
  apptest::RemoveTree(base);
}

TEST(WorkFolder, BuildLaunchInfoClearsEverythingAndRecordsModule) {
  LaunchInfo launch;
  memset(&launch, 0x41, sizeof(launch));  // every field full of garbage
  BuildLaunchInfo(launch);
  EXPECT_EQ(std::wstring(launch.modulePath), apptest::ThisExe());
  EXPECT_EQ(std::wstring(launch.workFolder), apptest::TempFolder() + L"__KLIMEInstall\\");
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

  // The marker may stand anywhere in the path; long arguments are cut.
  kl::Copy(g_launch->modulePath, L"C:\\___kelo_install_base___.exe.d\\x.exe");
  std::wstring longArgs(400, L'a');
  EXPECT_TRUE(RelaunchFromWorkingCopy(longArgs.c_str()));
  EXPECT_EQ(std::wstring(g_launch->commandLine), std::wstring(259, L'a'));
}

}  // namespace
