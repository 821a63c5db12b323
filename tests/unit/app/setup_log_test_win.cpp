// The run's log file: where it goes, what it starts with, and that a file
// that cannot be written never stops the run.
#include "app/setup_log_win.h"

#include <gtest/gtest.h>

#include <string>

#include "testfs_win.h"

namespace {

std::wstring TempPath(const wchar_t* name) { return testfs::TempFolder() + name; }

TEST(SetupLogFile, ChosenFileGetsMarkLinesInOrderAndExitCode) {
  const std::wstring path = TempPath(L"kl setup log test.log");
  testfs::WriteAll(path, std::string("an older run"));
  setuplog::Open(path.c_str());
  setuplog::Write(L"  1.创建文件系统....");
  setuplog::Failure(L"copying", 5);
  setuplog::UseProductKey(L"KlLogTest");  // the chosen file stays the log
  setuplog::Close(3010);
  EXPECT_FALSE(setuplog::Active());
  const std::string text = testfs::ReadText(path);
  DeleteFileW(path.c_str());
  ASSERT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u) << text;
  EXPECT_EQ(text.find("an older run"), std::string::npos);
  const size_t step = text.find("  1.创建文件系统....\r\n");
  const size_t failure = text.find("copying failed (Windows error 5)\r\n");
  const size_t exit = text.find("exit code 3010 (success, restart needed)\r\n");
  ASSERT_NE(step, std::string::npos) << text;
  ASSERT_NE(failure, std::string::npos) << text;
  ASSERT_NE(exit, std::string::npos) << text;
  EXPECT_TRUE(step < failure && failure < exit);
  EXPECT_FALSE(testfs::Exists(TempPath(L"KlLogTest-setup.log")));
}

TEST(SetupLogFile, UnwritableChoiceFallsBackToTheProductsDefaultFile) {
  const std::wstring folder = TempPath(L"kl setup log folder");
  CreateDirectoryW(folder.c_str(), nullptr);  // a folder cannot be the log
  const std::wstring fallback = TempPath(L"KlLogTest-setup.log");
  DeleteFileW(fallback.c_str());
  setuplog::Open(folder.c_str());
  setuplog::Write(L"before the key");
  setuplog::UseProductKey(L"KlLogTest");
  setuplog::Write(L"after the key");
  setuplog::Close(0);
  const std::string text = testfs::ReadText(fallback);
  DeleteFileW(fallback.c_str());
  RemoveDirectoryW(folder.c_str());
  EXPECT_NE(text.find("cannot be written"), std::string::npos) << text;
  EXPECT_LT(text.find("before the key"), text.find("after the key")) << text;
  EXPECT_NE(text.find("exit code 0 (success)"), std::string::npos) << text;
}

TEST(SetupLogFile, NothingIsWrittenBeforeOpen) {
  setuplog::Write(L"no log yet");
  EXPECT_FALSE(setuplog::Active());
  EXPECT_FALSE(setuplog::Written());
}

}  // namespace
