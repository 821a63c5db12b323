// The run's log file: where it goes, what it starts with, and that a file
// that cannot be written never stops the run.
#include "state/setup_log_win.h"

#include <gtest/gtest.h>

#include <string>

#include "testfs_win.h"

namespace {

std::wstring TempPath(const wchar_t* name) { return testfs::TempFolder() + name; }

TEST(SetupLogFile, ChosenFileGetsMarkLinesInOrderAndExitCode) {
  const std::wstring path = TempPath(L"kl setup log test.log");
  // An earlier log of ours is replaced.
  testfs::WriteAll(path, std::string("\xEF\xBB\xBF" "2026-12-08 09:00:00.000  an older run\r\n"));
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

TEST(SetupLogFile, AFileThatIsNoLogOfOursIsKept) {
  // A chosen file that does not start like our log, and one with a second
  // name: both stay byte for byte, the product's default file gets the log
  // and says why.
  const std::wstring foreign = TempPath(L"kl setup log foreign.ini");
  const std::string content = "[fonts]\r\nkeep=me\r\n";
  ASSERT_TRUE(testfs::WriteAll(foreign, content));
  const std::wstring linked = TempPath(L"kl setup log linked.log");
  const std::wstring other = TempPath(L"kl setup log other name.log");
  const std::string ours = "\xEF\xBB\xBF" "2026-12-08 09:00:00.000  ours\r\n";
  ASSERT_TRUE(testfs::WriteAll(linked, ours));
  DeleteFileW(other.c_str());
  const bool hardLinks = CreateHardLinkW(other.c_str(), linked.c_str(), nullptr) != FALSE;
  const std::wstring fallback = TempPath(L"KlLogTest-setup.log");
  for (const std::wstring& chosen : {foreign, linked}) {
    DeleteFileW(fallback.c_str());
    setuplog::Open(chosen.c_str());
    setuplog::UseProductKey(L"KlLogTest");
    setuplog::Write(L"a line");
    setuplog::Close(0);
    const std::string text = testfs::ReadText(fallback);
    const std::string why = chosen == foreign ? "is not a log of this program: kept untouched"
                                              : "is a link or a file with other names";
    if (chosen == foreign || hardLinks) {
      EXPECT_NE(text.find(why), std::string::npos) << text;
    }
    EXPECT_NE(text.find("a line"), std::string::npos) << text;
  }
  EXPECT_EQ(testfs::ReadText(foreign), content);
  if (hardLinks) {
    EXPECT_EQ(testfs::ReadText(linked), ours);
  }
  // The default file refused too: a new file beside it.
  ASSERT_TRUE(testfs::WriteAll(fallback, content));
  setuplog::Open(nullptr);
  setuplog::UseProductKey(L"KlLogTest");
  setuplog::Write(L"beside");
  setuplog::Close(0);
  EXPECT_EQ(testfs::ReadText(fallback), content);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(TempPath(L"KlLogTest-setup-*.log").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  const std::wstring beside = TempPath(found.cFileName);
  const std::string text = testfs::ReadText(beside);
  EXPECT_NE(text.find("is not a log of this program: kept untouched"), std::string::npos) << text;
  EXPECT_NE(text.find("beside"), std::string::npos) << text;
  for (const std::wstring& p : {foreign, linked, other, fallback, beside}) DeleteFileW(p.c_str());
}

}  // namespace
