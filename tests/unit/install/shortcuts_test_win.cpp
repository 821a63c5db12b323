// The product's shortcuts, read back through the shell-link object from the
// real Start menu and desktop folders, and the program started at the end.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/shortcuts_win.h"
#include "install_test_util_win.h"
#include "robot_win.h"
#include "sys/fsutil_win.h"
#include "testfs_win.h"

namespace {

constexpr wchar_t kDisplay[] = L"可乐链接测试";

using insttest::BinFolder;
using insttest::Exists;
using insttest::RemoveTree;
using insttest::ShellFolder;

using insttest::Link;
using insttest::LinksIn;
using insttest::ReadLink;

// The processes whose program lies in folder ("...\\" form).
std::vector<DWORD> ProgramsRunningFrom(const std::wstring& folder) {
  std::vector<DWORD> out;
  for (DWORD pid : robot::ListProcesses()) {
    const std::wstring image = robot::ProcessImagePath(pid);
    if (image.size() > folder.size() &&
        CompareStringOrdinal(image.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                             static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL)
      out.push_back(pid);
  }
  return out;
}

// The trace files the helper programs of folder left.
std::vector<std::wstring> TracesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  if (ui::FindHandle f{FindFirstFileW((folder + L"*.trace").c_str(), &fd)}) {
    do names.push_back(fd.cFileName);
    while (FindNextFileW(f.get(), &fd));
  }
  return names;
}

class ShortcutsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    programs_ = ShellFolder(CSIDL_COMMON_PROGRAMS);
    desktop_ = ShellFolder(CSIDL_DESKTOPDIRECTORY);
    ASSERT_FALSE(programs_.empty());
    ASSERT_FALSE(desktop_.empty());
    installDir_ = BinFolder() + L"links_test_install\\";
    Use(L"KlLinkTest", kDisplay);
    CreateDirectoryW(installDir_.c_str(), nullptr);
    for (const wchar_t* name : {L"config.exe", L"main.chm", L"Unstall.exe"})
      CopyFileW((BinFolder() + L"leave_trace.exe").c_str(), (installDir_ + name).c_str(), FALSE);
  }
  void TearDown() override {
    Cleanup();
    RemoveTree(installDir_);
    CoUninitialize();
  }
  // Chooses the product the next run works on and clears what an earlier
  // run of it left.
  void Use(const wchar_t* key, const wchar_t* display) {
    Cleanup();
    key_ = key;
    display_ = display;
    kl::Copy(header_.imeName, key);
    kl::Copy(header_.displayName, display);
    context_ = InitInstallContext(nullptr, &header_);
    kl::Copy(context_.installDir, installDir_.c_str());
    wchar_t data[MAX_PATH];
    ASSERT_TRUE(GetProductDataFolder(key, data));
    dataFolder_ = data;
    Cleanup();
  }
  void Cleanup() {
    if (key_.empty()) return;
    RemoveTree(Product());
    DeleteFileW((desktop_ + display_ + L"系统设置.lnk").c_str());
    RemoveTree(dataFolder_);
    // "...\KeloIMEs\" goes too when nothing else lives there.
    RemoveDirectoryW(dataFolder_.substr(0, dataFolder_.size() - key_.size() - 1).c_str());
    DeleteFileW((installDir_ + L"starter.exe").c_str());
    DeleteFileW((installDir_ + L"starter.exe.trace").c_str());
  }
  void AddUserWords() {
    ASSERT_NE(0u, CreateDirectoryPath(dataFolder_.c_str()));
    ui::FileHandle f(CreateFileW((dataFolder_ + L"danzi.kmi").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f);
  }
  std::wstring Product() const { return programs_ + display_ + L"\\"; }
  std::wstring Tools() const { return Product() + L"更多工具\\"; }

  // One link of the table, read back and compared field by field.
  void ExpectLink(const std::wstring& path, const wchar_t* file, const std::wstring& arguments,
                  int icon, const std::wstring& description) {
    SCOPED_TRACE(kl::ToUtf8(path));
    Link link = ReadLink(path);
    ASSERT_TRUE(link.loaded);
    EXPECT_EQ(installDir_ + file, link.target);
    EXPECT_EQ(arguments, link.arguments);
    EXPECT_EQ(installDir_ + file, link.iconPath);
    EXPECT_EQ(icon, link.iconIndex);
    EXPECT_EQ(description, link.description);
    EXPECT_EQ(installDir_, link.workingDir);
    // The show command is read from the file: after loading, Wine's object
    // reports SW_SHOWNORMAL for every stored value but 3 and 7.
    EXPECT_EQ(static_cast<DWORD>(SW_SHOW), link.fileShow);
  }

  PackageHeader header_ = {};
  InstallContext context_ = {};
  std::wstring programs_, desktop_, installDir_, dataFolder_, key_, display_;
};

TEST_F(ShortcutsTest, WritesEveryLinkWithItsTargetArgumentsIconAndDescription) {
  ASSERT_TRUE(CreateShortcuts(context_));
  const std::wstring d = kDisplay;
  ExpectLink(Product() + L"系统设置.lnk", L"config.exe", L"/n 'KlLinkTest'", 0,
             d + L" 的使用习惯更改和设定");
  ExpectLink(Product() + L"使用帮助.lnk", L"main.chm", L"", 0, L"查看 " + d + L" 的详细帮助文档");
  ExpectLink(Product() + L"检查更新.lnk", L"Unstall.exe", L"-g name=[KlLinkTest]", 0,
             L"检查 " + d + L" 的最新服务器版本");
  ExpectLink(Tools() + L"码表查询.lnk", L"config.exe", L"/n 'KlLinkTest' /do mabiaochaxun", 2,
             L"查询 " + d + L" 中的编码定义");
  ExpectLink(Tools() + L"按键功能.lnk", L"config.exe", L"/n 'KlLinkTest' /do anjianshezhi", 3,
             L"更改或定义 " + d + L" 按键功能");
  ExpectLink(Tools() + L"修复安装.lnk", L"Unstall.exe", L"-r name=[KlLinkTest]", 0,
             L"修复 " + d + L" 至新安装状态");
  ExpectLink(Tools() + L"卸载软件.lnk", L"Unstall.exe", L"-u name=[KlLinkTest]", 0,
             L"卸载 " + d + L" 程序");
  // The desktop link is the settings link, under the name the uninstall removes.
  ExpectLink(desktop_ + d + L"系统设置.lnk", L"config.exe", L"/n 'KlLinkTest'", 0,
             d + L" 的使用习惯更改和设定");

  EXPECT_EQ(3u, LinksIn(Product()).size());
  EXPECT_EQ(4u, LinksIn(Tools()).size()) << "no user-word link without danzi.kmi";
  EXPECT_FALSE(Exists(Tools() + L"添加用户词.lnk"));

  // A second install writes the same links over the first ones.
  ASSERT_TRUE(CreateShortcuts(context_));
  EXPECT_EQ(3u, LinksIn(Product()).size());
  EXPECT_EQ(4u, LinksIn(Tools()).size());
}

// The desktop is the user's: a hard link the user put at the desktop link's
// name, to a file the setup may write but the user may not, is replaced by
// the new link, never written through.
TEST_F(ShortcutsTest, AHardLinkAtTheDesktopLinksNameIsReplacedNotWrittenThrough) {
  const std::wstring victim = installDir_ + L"victim.dat";
  ASSERT_TRUE(testfs::WriteAll(victim, std::string("keep")));
  const std::wstring planted = desktop_ + kDisplay + L"系统设置.lnk";
  DeleteFileW(planted.c_str());
  ASSERT_TRUE(CreateHardLinkW(planted.c_str(), victim.c_str(), nullptr));

  ASSERT_TRUE(CreateShortcuts(context_));
  EXPECT_TRUE(testfs::ReadText(victim) == "keep") << "the link was written through";
  ExpectLink(planted, L"config.exe", L"/n 'KlLinkTest'", 0,
             std::wstring(kDisplay) + L" 的使用习惯更改和设定");
}

TEST_F(ShortcutsTest, UserWordLinkOnlyWithTheUserWordDataFile) {
  AddUserWords();
  ASSERT_TRUE(CreateShortcuts(context_));
  EXPECT_EQ(5u, LinksIn(Tools()).size());
  ExpectLink(Tools() + L"添加用户词.lnk", L"config.exe", L"/n 'KlLinkTest' /do tianjiayonghuci", 6,
             std::wstring(kDisplay) + L" 用户词添加操作");
}

TEST_F(ShortcutsTest, KeyNameGoesIntoTheArgumentsQuotedForConfig) {
  Use(L"Alpha", L"可乐阿尔法测试");
  ASSERT_TRUE(CreateShortcuts(context_));
  Link lookup = ReadLink(Tools() + L"码表查询.lnk");
  ASSERT_TRUE(lookup.loaded);
  EXPECT_EQ(installDir_ + L"config.exe", lookup.target);
  EXPECT_EQ(L"/n 'Alpha' /do mabiaochaxun", lookup.arguments);
  EXPECT_EQ(L"-u name=[Alpha]", ReadLink(Tools() + L"卸载软件.lnk").arguments);
}

TEST_F(ShortcutsTest, DisplayNameThatCannotBeAFolderGivesNoLinksAndStillSucceeds) {
  // Only the header changes: the clean-up keeps working on the good name.
  for (const wchar_t* bad : {L"a|b", L"..\\KlEscape", L"x:y", L"", L".."}) {
    kl::Copy(header_.displayName, bad);
    SCOPED_TRACE(kl::ToUtf8(bad));
    const size_t desktopLinks = LinksIn(desktop_).size();
    const size_t programLinks = LinksIn(programs_).size();
    EXPECT_TRUE(CreateShortcuts(context_));
    EXPECT_EQ(desktopLinks, LinksIn(desktop_).size());
    EXPECT_EQ(programLinks, LinksIn(programs_).size());
  }
  EXPECT_FALSE(Exists(programs_ + L"a|b"));
  EXPECT_FALSE(Exists(programs_ + L"..\\KlEscape"));
  EXPECT_FALSE(Exists(programs_ + L"更多工具"));
}

TEST_F(ShortcutsTest, LinkInAFolderThatDoesNotExistIsMissingWithoutFailure) {
  const std::wstring link = installDir_ + L"no such folder\\x.lnk";
  EXPECT_TRUE(CreateShortcut((installDir_ + L"config.exe").c_str(), L"d", link.c_str(),
                             installDir_.c_str(), nullptr, 0));
  EXPECT_FALSE(Exists(link));
}

TEST_F(ShortcutsTest, ProgramNamedByThePackageIsStartedOnlyWhenSet) {
  const std::wstring trace = installDir_ + L"starter.exe.trace";
  ASSERT_TRUE(CopyFileW((BinFolder() + L"leave_trace.exe").c_str(),
                        (installDir_ + L"starter.exe").c_str(), FALSE))
      << "tests/helpers/leave_trace not built";

  // A program is started before CreateShortcuts returns, so right after it
  // one started from the install folder is running or has left its trace
  // (every program there is the trace helper).
  ASSERT_TRUE(CreateShortcuts(context_));  // launchAfterInstall empty
  EXPECT_TRUE(ProgramsRunningFrom(installDir_).empty()) << "a program was started";
  EXPECT_TRUE(TracesIn(installDir_).empty()) << "a program was started";

  kl::Copy(header_.launchAfterInstall, L"starter.exe");
  ASSERT_TRUE(CreateShortcuts(context_));
  const std::vector<DWORD> started = ProgramsRunningFrom(installDir_);
  EXPECT_TRUE(!started.empty() || Exists(trace)) << "the program was not started";
  EXPECT_TRUE(robot::WaitUntil([&] { return Exists(trace); }, 10000))
      << "the program left no trace";
  EXPECT_EQ(TracesIn(installDir_), std::vector<std::wstring>{L"starter.exe.trace"});
  // The helper ends by itself; one that does not is ended here.
  for (DWORD pid : started) {
    ui::Handle h(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    if (h && !robot::WaitExit(h.get(), 10000)) {
      ADD_FAILURE() << "the program did not end";
      TerminateProcess(h.get(), 1);
    }
  }
}

}  // namespace
