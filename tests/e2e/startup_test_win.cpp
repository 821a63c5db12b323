// Start-up of the real setup program under Wine: relaunch from the working
// copy, install mode without a package, an uninstall of nothing, and a
// temporary folder too long for the working copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "package_maker_win.h"
#include "robot_win.h"
#include "testfs_win.h"
#include "ui/owners_win.h"

namespace {

constexpr wchar_t kCopyTail[] = L"\\___kelo_install_base___.exe";
constexpr wchar_t kPromptCaption[] = L"安装程序提示信息";
constexpr wchar_t kPromptText[] = L"程序无法执行任何操作，可能启动参数错误或者文件格式错误。";
constexpr wchar_t kInitCaption[] = L"初始化错误";
constexpr wchar_t kCannotUseTemp[] = L"安装程序无法访问临时目录，将中止进程。";

using testfs::BinFolder;
using testfs::Exists;
using testfs::RemoveTree;
using testfs::TempFolder;

bool EndsWith(const std::wstring& s, const std::wstring& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    CleanRun();
    folder_ = TempFolder() + L"kl startup e2e\\";
    RemoveTree(folder_);
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    setup_ = folder_ + L"kelo setup.exe";
    ASSERT_TRUE(CopyFileW((BinFolder() + L"setup.exe").c_str(), setup_.c_str(), FALSE))
        << "setup.exe is expected next to the test program";
  }
  void TearDown() override {
    CleanRun();
    RemoveTree(folder_);
  }

  // Ends working copies left running by a failed test and removes what a
  // run leaves in the temporary folder.
  void CleanRun() {
    for (DWORD pid : robot::FindProcesses(kCopyTail)) robot::Kill(pid);
    robot::WaitUntil([&] { return DeleteFileW(WorkingCopy().c_str()) || !Exists(WorkingCopy()); },
                     5000);
    RemoveTree(WorkFolder());
    for (const std::wstring& f : RunFolders())
      robot::WaitUntil([&] { RemoveTree(f); return !Exists(f); }, 5000);
  }

  // The old fixed names: a run uses neither any more.
  static std::wstring WorkingCopy() { return TempFolder() + (kCopyTail + 1); }
  static std::wstring WorkFolder() { return TempFolder() + L"__KLIMEInstall\\"; }

  // The run's private folders in the temporary folder (the working copy's
  // and the work folder), with their final backslash.
  static std::vector<std::wstring> RunFolders() {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW found;
    ui::FindHandle f(FindFirstFileW((TempFolder() + L"__KLIMEWork*").c_str(), &found));
    if (f) {
      do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          out.push_back(TempFolder() + found.cFileName + L"\\");
      } while (FindNextFileW(f.get(), &found));
    }
    return out;
  }
  // true once the run's folders are gone (the copy's goes after it ended).
  static bool NoRunFolderLeft() {
    return robot::WaitUntil([] { return RunFolders().empty(); }, 8000);
  }

  // Starts the first instance and waits for it to end; it must show no
  // window on the way.
  void RunFirstInstance(const std::wstring& arguments) {
    robot::Process first;
    ASSERT_TRUE(robot::Start(setup_, arguments, &first));
    bool showed = false;
    bool ended = robot::WaitUntil(
        [&] {
          showed = showed || !robot::WindowsOf(first.pid()).empty();
          return WaitForSingleObject(first.handle(), 0) == WAIT_OBJECT_0;
        },
        15000, 20);
    ASSERT_TRUE(ended) << "the first instance did not end";
    EXPECT_FALSE(showed) << "the first instance showed a window";
    DWORD code = 99;
    ASSERT_TRUE(robot::WaitExit(first, 0, &code));
    EXPECT_EQ(code, 0u);
  }

  std::wstring folder_, setup_;
};

TEST_F(Startup, InstallWithoutPackageShowsOneMessageAndCleansUp) {
  RunFirstInstance(L"-x");

  DWORD pid = robot::WaitProcess(kCopyTail, 10000);
  ASSERT_NE(pid, 0u) << "no working copy was started";
  ui::Handle copy(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
  ASSERT_TRUE(copy.valid());
  // The copy runs from a private folder of the run, never the old fixed name.
  EXPECT_FALSE(Exists(WorkingCopy()));
  const std::wstring image = robot::ProcessImagePath(pid);
  EXPECT_NE(image.find(L"\\__KLIMEWork"), std::wstring::npos);

  robot::MsgBox box = robot::WaitMessageBox(kPromptCaption, 15000, pid);
  ASSERT_TRUE(box) << "no message box";

  // Read once the copy is up (a process only just created may not have its
  // parameters filled in yet).
  std::wstring line;
  ASSERT_TRUE(robot::ReadCommandLine(pid, &line));
  EXPECT_TRUE(EndsWith(line, L"-x file=" + setup_)) << line;
  EXPECT_EQ(box.text, kPromptText);
  EXPECT_TRUE(box.hasIcon);
  EXPECT_EQ(robot::WindowsOf(pid).size(), 1u) << "exactly one window is shown";

  ASSERT_TRUE(robot::Answer(box.hwnd, IDOK));
  ASSERT_TRUE(robot::WaitExit(copy.get(), 15000)) << "the working copy did not end";
  EXPECT_TRUE(NoRunFolderLeft()) << "work folder left behind";
  EXPECT_TRUE(robot::WaitUntil([] { return !Exists(WorkingCopy()); }, 8000))
      << "working copy not deleted";
}

TEST_F(Startup, SecondFirstInstanceCannotReplaceRunningCopy) {
  RunFirstInstance(L"-x");
  DWORD pid = robot::WaitProcess(kCopyTail, 10000);
  ASSERT_NE(pid, 0u);
  robot::MsgBox box = robot::WaitMessageBox(kPromptCaption, 15000, pid);
  ASSERT_TRUE(box);

  robot::Process second;
  ASSERT_TRUE(robot::Start(setup_, L"-x", &second));
  robot::MsgBox refused = robot::WaitMessageBox(kInitCaption, 15000, second.pid());
  ASSERT_TRUE(refused) << "the second instance replaced a running working copy";
  EXPECT_EQ(refused.text, kCannotUseTemp);
  EXPECT_TRUE(refused.hasIcon);
  ASSERT_TRUE(robot::Answer(refused.hwnd, IDOK));
  EXPECT_TRUE(robot::WaitExit(second, 10000));

  ASSERT_TRUE(robot::Answer(box.hwnd, IDOK));
  EXPECT_TRUE(robot::WaitNoProcess(kCopyTail, 15000));
}

TEST_F(Startup, UninstallOfUnknownProductEndsSilentlyLeavingFiles) {
  RunFirstInstance(L"-u name=[KlStartupE2eNoSuchIme]");
  // The working copy finds no vendor key and ends by itself: nothing modal
  // can have been shown.
  ASSERT_TRUE(robot::WaitNoProcess(kCopyTail, 15000)) << "the working copy did not end";
  // The copy and its work folder stay, each in a private folder of the run.
  std::vector<std::wstring> left = RunFolders();
  EXPECT_EQ(left.size(), 2u);
  bool copyLeft = false;
  for (const std::wstring& f : left) copyLeft = copyLeft || Exists(f + (kCopyTail + 1));
  EXPECT_TRUE(copyLeft);
  EXPECT_FALSE(Exists(WorkingCopy()));
  EXPECT_FALSE(Exists(WorkFolder()));
}

TEST_F(Startup, TemporaryFolderTooLongForTheCopyIsRefused) {
  // <temp>kl startup e2e\ + segments, 235 characters in all (230 + 29 > 259).
  std::wstring longTemp = folder_.substr(0, folder_.size() - 1);
  while (longTemp.size() < 235) {
    longTemp += L"\\" + std::wstring(std::min<size_t>(60, 235 - longTemp.size() - 1), L'L');
    if (longTemp.back() == L'\\') longTemp.pop_back();
    ASSERT_TRUE(CreateDirectoryW(longTemp.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
  }
  ASSERT_GE(longTemp.size(), 231u);

  robot::StartOptions options;
  options.environment = {{L"TMP", longTemp}, {L"TEMP", longTemp}};
  robot::Process first;
  ASSERT_TRUE(robot::Start(setup_, L"-x", &first, options));
  robot::MsgBox box = robot::WaitMessageBox(kInitCaption, 15000, first.pid());
  ASSERT_TRUE(box);
  EXPECT_EQ(box.text, kCannotUseTemp);
  EXPECT_TRUE(box.hasIcon);
  ASSERT_TRUE(robot::Answer(box.hwnd, IDOK));
  EXPECT_TRUE(robot::WaitExit(first, 10000));
  EXPECT_EQ(robot::FindProcess(kCopyTail), 0u);
}

// Puts a package of files behind the test's setup.exe.
void Package(const std::wstring& setup, const std::vector<unsigned char>& container) {
  std::vector<unsigned char> program;
  ASSERT_TRUE(testpkg::ReadFileBytes(setup, &program));
  std::vector<unsigned char> packaged = testpkg::AppendPackage(program, container);
  ASSERT_FALSE(packaged.empty());
  ASSERT_TRUE(testpkg::WriteFileBytes(setup, packaged));
}

// What the working copy showed before it ended.
struct CopyRun {
  bool started = false;
  bool prompted = false;        // the generic message box (answered)
  bool wizard = false;          // the install wizard with the expected caption (cancelled)
  std::wstring unexpected;      // caption of any other window (closed)
};

// Watches the working copy until it ends. The generic message box is
// answered; the install wizard, once it runs after the header is read, shows
// "欢迎使用 <display name> 安装程序" and is cancelled. A window keeps the copy
// running until it is answered, so none can be missed; a copy that ends
// before it is seen showed nothing (callers check its clean-up).
CopyRun WatchCopy(const std::wstring& displayName) {
  CopyRun run;
  const std::wstring wizardCaption = L"欢迎使用 " + displayName + L" 安装程序";
  DWORD pid = robot::WaitProcess(kCopyTail, 10000);
  if (!pid) return run;
  run.started = true;
  ui::Handle copy(OpenProcess(SYNCHRONIZE, FALSE, pid));
  robot::WaitUntil(
      [&] {
        for (HWND w : robot::WindowsOf(pid)) {
          wchar_t caption[256] = {};
          GetWindowTextW(w, caption, 256);
          if (caption == std::wstring(kPromptCaption)) {
            run.prompted = true;
            robot::Answer(w, IDOK);
          } else if (caption == wizardCaption) {
            run.wizard = true;
            robot::Command(w, IDCANCEL);
          } else {
            run.unexpected = caption;
            PostMessageW(w, WM_CLOSE, 0, 0);
          }
        }
        return !copy || WaitForSingleObject(copy.get(), 0) == WAIT_OBJECT_0;
      },
      20000, 100);
  return run;
}

TEST_F(Startup, PackagedSetupExtractsReadsHeaderAndCleansUp) {
  Package(setup_, testpkg::MakeContainer(
                      {{"InstallInfo.kif", testpkg::MakeManifest(u"KlStartupE2e", u"测试输入法")},
                       {"$dataFiles$\\data.bin", std::vector<unsigned char>(3000, 7)}}));
  RunFirstInstance(L"");
  CopyRun run = WatchCopy(L"测试输入法");
  ASSERT_TRUE(run.started) << "no working copy was started";
  EXPECT_TRUE(run.wizard) << "the install wizard did not show the manifest's display name";
  EXPECT_FALSE(run.prompted);
  EXPECT_EQ(run.unexpected, L"");
  EXPECT_TRUE(robot::WaitNoProcess(kCopyTail, 5000));
  EXPECT_TRUE(NoRunFolderLeft()) << "work folder left behind";
  EXPECT_TRUE(robot::WaitUntil([] { return !Exists(WorkingCopy()); }, 8000))
      << "working copy not deleted";
}

TEST_F(Startup, ShortManifestIsAccepted) {
  Package(setup_, testpkg::MakeContainer(
                      {{"InstallInfo.kif", testpkg::MakeManifest(u"KlShort", u"Short", 200)}}));
  RunFirstInstance(L"-x");
  CopyRun run = WatchCopy(L"Short");
  ASSERT_TRUE(run.started) << "no working copy was started";
  EXPECT_TRUE(run.wizard) << "the install wizard did not show the manifest's display name";
  EXPECT_FALSE(run.prompted);
  EXPECT_EQ(run.unexpected, L"");
  EXPECT_TRUE(robot::WaitNoProcess(kCopyTail, 5000));
  EXPECT_TRUE(NoRunFolderLeft());
  EXPECT_TRUE(robot::WaitUntil([] { return !Exists(WorkingCopy()); }, 8000));
}

TEST_F(Startup, EmptyManifestShowsThePrompt) {
  Package(setup_, testpkg::MakeContainer({{"InstallInfo.kif", {}}, {"a.txt", {'a'}}}));
  RunFirstInstance(L"");
  CopyRun run = WatchCopy(L"");
  EXPECT_TRUE(run.prompted);
  EXPECT_FALSE(run.wizard);
  EXPECT_TRUE(NoRunFolderLeft());
}

TEST_F(Startup, PackageWithoutManifestShowsThePrompt) {
  Package(setup_, testpkg::MakeContainer({{"readme.txt", {'h', 'i'}}}));
  RunFirstInstance(L"");
  CopyRun run = WatchCopy(L"");
  EXPECT_TRUE(run.prompted);
  EXPECT_FALSE(run.wizard);
  EXPECT_TRUE(NoRunFolderLeft());
}

TEST_F(Startup, PlainCabinetPackageShowsThePrompt) {
  Package(setup_, cab::BuildCabinet(
                      {{"InstallInfo.kif", testpkg::MakeManifest(u"KlPlain", u"P")}}));
  RunFirstInstance(L"");
  CopyRun run = WatchCopy(L"P");
  EXPECT_TRUE(run.prompted);
  EXPECT_FALSE(run.wizard);
  EXPECT_TRUE(NoRunFolderLeft());
}

}  // namespace
