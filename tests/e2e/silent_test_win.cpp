// Unattended runs of the sample product under Wine (-s): install, repair and
// uninstall without a window, their exit codes and logs, and a second setup
// during a first. Black-box: the programs are only started and waited for;
// every top-level window of theirs is watched for the whole run.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../unit/install/install_test_util_win.h"
#include "../unit/install/machine_snapshot_win.h"
#include "install/ime_win.h"
#include "robot_win.h"
#include "sample_product_win.h"
#include "testfs_win.h"
#include "window_watch_win.h"
#include "wizard_robot_win.h"

namespace {

using wizrobot::SampleSetup;

using insttest::Exists;
using insttest::KeyExists;

using sample::kDisplay;
using sample::kKey;
using sample::kModule;
using sample::kVendorKey;
using sample::Named;
constexpr wchar_t kChosenRoot[] = L"C:\\Apps\\";
constexpr wchar_t kChosenDir[] = L"C:\\Apps\\Sample IME\\";

struct Outcome {
  DWORD exitCode = ~0u;
  std::vector<std::wstring> windows;
  bool seen = false;  // the watch looked while the run was alive
};

// No window was shown by a run the watch saw alive (a run refused at once
// may end before the watch's first look: alive = false).
void ExpectNoWindow(const Outcome& o, bool alive = true) {
  if (alive) EXPECT_TRUE(o.seen) << "the watch never saw the run alive";
  EXPECT_TRUE(o.windows.empty()) << sample::Narrow(o.windows.front());
}

class Silent : public ::testing::Test {
 protected:
  void SetUp() override {
    setup_ = SampleSetup();
    ASSERT_TRUE(Exists(setup_)) << "no sample setup (scripts/pack-sample.sh makes it)";
    CoInitialize(nullptr);
    defaultDir_ = insttest::ShellFolder(CSIDL_PROGRAM_FILES) + kKey + L"\\";
    log_ = insttest::TempFolder() + L"kl silent e2e.log";
    Clean();
  }
  void TearDown() override {
    for (DWORD pid : robot::FindProcesses(wizrobot::kWorkingCopyTail)) robot::Kill(pid);
    Clean();
    CoUninitialize();
  }
  void Clean() {
    for (const std::wstring& dir : {defaultDir_, std::wstring(kChosenDir)}) sample::RemoveInstall(dir);
    insttest::RemoveTree(kChosenRoot);
    insttest::RemoveTree(insttest::TempFolder() + L"__KLIMEInstall\\");
    // A program moved out of an uninstalled folder by a run that was ended early.
    WIN32_FIND_DATAW found;
    ui::FindHandle f(FindFirstFileW((insttest::TempFolder() + L"__KLIMEUninstall*").c_str(), &found));
    if (f.valid())
      do insttest::RemoveTree(insttest::TempFolder() + found.cFileName + L"\\");
      while (FindNextFileW(f.get(), &found));
    DeleteFileW((insttest::TempFolder() + L"KLInterfaceMessage.log").c_str());
    DeleteFileW(log_.c_str());
  }

  // Starts exe with arguments and waits for it, watching its windows.
  Outcome Run(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs = 180000) {
    Outcome out;
    robot::Process p;
    if (!robot::Start(exe, arguments, &p)) return out;
    robot::WindowWatch watch(p.pid(), wizrobot::kWorkingCopyTail);
    robot::WaitExit(p, timeoutMs, &out.exitCode);
    // The copy may still be ending (its clean-up): watch it to its end.
    robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 20000);
    out.seen = watch.runSeen();
    out.windows = watch.Stop();
    return out;
  }

  // The log as UTF-8 after its byte-order mark; "" when it has none.
  std::string Log() {
    const std::string text = testfs::ReadText(log_);
    return text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : std::string();
  }

  // Each of lines appears in the log after the one before it.
  static void ExpectInOrder(const std::string& log, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
      const size_t found = log.find(line, at);
      ASSERT_NE(found, std::string::npos) << "\"" << line << "\" missing after offset " << at
                                          << " in:\n" << log;
      at = found + line.size();
    }
  }
  static std::string LastLine(const std::string& log) {
    std::string t = log;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    return t.substr(t.rfind('\n') == std::string::npos ? 0 : t.rfind('\n') + 1);
  }

  std::wstring LogSwitch() const { return L" log=[" + log_ + L"]"; }

  std::wstring setup_, defaultDir_, log_;
};

const std::vector<std::string> kInstallLines = {
    "mode: install, silent", "验证安装信息....", "开始安装....", "  1.创建文件系统....",
    "file placed: ", "  2.设置软件运行环境...", "registry key written: ", "  3.写入卸载信息...",
    "  4.备份安装数据...", "  5.创建开始菜单及桌面快捷方式...", "  6.清除安装程序创建的临时文件..."};

TEST_F(Silent, InstallIntoAChosenFolderShowsNoWindowAndEndsWithTheCopy) {
  const Outcome o = Run(setup_, L"-s dir=[C:\\Apps\\Sample IME]" + LogSwitch());
  EXPECT_EQ(o.exitCode, 0u);
  ExpectNoWindow(o);
  // The first process ended only after the copy had done the work.
  EXPECT_TRUE(Exists(std::wstring(kChosenDir) + L"unstall.exe"));
  EXPECT_TRUE(Exists(std::wstring(kChosenDir) + L"config.exe"));
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, kVendorKey, L"KMEInstallPath").text,
            kChosenDir);
  EXPECT_FALSE(LayoutsUsingModule(kModule).empty());
  const std::string log = Log();
  std::vector<std::string> lines = {"command line: -s dir=[C:\\Apps\\Sample IME]"};
  lines.insert(lines.end(), kInstallLines.begin(), kInstallLines.end());
  lines.push_back("安装程序已经完成所有工作!");
  ExpectInOrder(log, lines);
  EXPECT_NE(LastLine(log).find("exit code 0 (success)"), std::string::npos) << log;
}

TEST_F(Silent, InstallMatchesTheWizardsFileForFileAndValueForValue) {
  std::vector<std::wstring> wizardLines;
  ASSERT_TRUE(wizrobot::InstallThroughWizard(setup_, kDisplay, &wizardLines));
  robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 20000);
  const insttest::MachineSnapshot wizard({defaultDir_});
  Clean();
  ASSERT_FALSE(Exists(defaultDir_));

  const Outcome o = Run(setup_, L"-s" + LogSwitch());
  EXPECT_EQ(o.exitCode, 0u);
  ExpectNoWindow(o);
  const insttest::MachineSnapshot silent({defaultDir_});
  EXPECT_EQ(wizard.Diff(silent), L"");
}

TEST_F(Silent, RepairUninstallAndNothingLeftToUninstall) {
  ASSERT_EQ(Run(setup_, L"-s").exitCode, 0u);
  const std::wstring unstall = defaultDir_ + L"unstall.exe";
  ASSERT_TRUE(Exists(unstall));

  ASSERT_TRUE(DeleteFileW((defaultDir_ + L"config.exe").c_str()));
  Outcome o = Run(unstall, L"-s " + Named(L"-r") + LogSwitch());
  EXPECT_EQ(o.exitCode, 0u);
  ExpectNoWindow(o);
  EXPECT_TRUE(Exists(defaultDir_ + L"config.exe"));
  std::string log = Log();
  ExpectInOrder(log, {"mode: repair, silent", "开始安装....", "安装程序已经完成所有工作!"});
  EXPECT_NE(LastLine(log).find("exit code 0 (success)"), std::string::npos) << log;

  const std::vector<std::wstring> layouts = LayoutsUsingModule(kModule);
  o = Run(unstall, L"-s " + Named(L"-u") + LogSwitch());
  EXPECT_EQ(o.exitCode, 0u);
  ExpectNoWindow(o);
  // The folder goes at once; the program that was started from it waits
  // outside it for its end, so that an install made straight after is never
  // touched by what comes after that end.
  EXPECT_FALSE(Exists(defaultDir_));
  auto parked = [] {
    WIN32_FIND_DATAW found;
    ui::FindHandle f(FindFirstFileW((insttest::TempFolder() + L"__KLIMEUninstall*").c_str(), &found));
    return f.valid();
  };
  ASSERT_EQ(Run(setup_, L"-s").exitCode, 0u);
  EXPECT_TRUE(robot::WaitUntil([&] { return !parked(); }, 15000)) << "the moved program stays";
  EXPECT_TRUE(Exists(unstall)) << "the install made after the uninstall lost its files";
  ASSERT_EQ(Run(unstall, L"-s " + Named(L"-u") + LogSwitch()).exitCode, 0u);
  EXPECT_TRUE(robot::WaitUntil([&] { return !Exists(defaultDir_) && !parked(); }, 15000));
  EXPECT_FALSE(Exists(insttest::ShellFolder(CSIDL_COMMON_APPDATA) + L"KeloIMEs\\" + kKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, sample::Record()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kVendorKey));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kVendorKey));
  EXPECT_TRUE(LayoutsUsingModule(kModule).empty());
  EXPECT_FALSE(Exists(insttest::SystemDir() + kModule));
  EXPECT_FALSE(Exists(insttest::ShellFolder(CSIDL_COMMON_PROGRAMS) + kDisplay));
  log = Log();
  ExpectInOrder(log, {"mode: uninstall, silent", "开始卸载...", "file removed: ",
                      "registry key deleted: ", "keyboard layout removed: ", "  6.卸载完成."});
  EXPECT_NE(LastLine(log).find("exit code 0 (success)"), std::string::npos) << log;

  // Nothing is installed any more: nothing to do. (The bare program, as the
  // installed one is gone or goes at the restart.)
  o = Run(insttest::BinFolder() + L"setup.exe", L"-s " + Named(L"-u") + LogSwitch());
  EXPECT_EQ(o.exitCode, 1602u);
  ExpectNoWindow(o);
  EXPECT_NE(LastLine(Log()).find("exit code 1602"), std::string::npos) << Log();
  insttest::RemovePendingRenames(defaultDir_);
}

TEST_F(Silent, InstallAndUninstallWithTheImeInUseEndNoProcess) {
  ASSERT_EQ(Run(setup_, L"-s").exitCode, 0u);
  // holdime.exe keeps a copy of the module loaded under the module's name.
  const std::wstring held = insttest::TempFolder() + kModule;
  ASSERT_TRUE(CopyFileW((insttest::BinFolder() + L"sample\\" + sample::kBuiltModule).c_str(), held.c_str(),
                        FALSE));
  const std::wstring event = L"kl_silent_hold_" + std::to_wstring(GetCurrentProcessId());
  ui::Handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
  robot::Process holder;
  ASSERT_TRUE(robot::Start(insttest::BinFolder() + L"holdime.exe",
                           L"\"" + held + L"\" 120000 " + event, &holder));
  ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0);

  // An install over it finds the holder too (that scan runs while the
  // package is extracted) and leaves it running.
  ASSERT_EQ(Run(setup_, L"-s" + LogSwitch()).exitCode, 0u);
  ExpectInOrder(Log(), {"package extracted into ",
                        sample::Narrow(kModule) + " is in use by process " +
                            std::to_string(holder.pid()) + " (holdime.exe); it is not ended",
                        "files in use are replaced at the next restart", "  1."});
  EXPECT_FALSE(robot::WaitExit(holder, 0)) << "the holder was ended";

  const Outcome o = Run(defaultDir_ + L"unstall.exe", L"-s " + Named(L"-u") + LogSwitch());
  EXPECT_EQ(o.exitCode, 3010u);
  ExpectNoWindow(o);
  EXPECT_FALSE(robot::WaitExit(holder, 0)) << "the holder was ended";
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kVendorKey));
  const std::string log = Log();
  ExpectInOrder(log, {sample::Narrow(kModule) + " is in use by process " + std::to_string(holder.pid()),
                      "  6.卸载完成.", "removed completely at the next restart"});
  EXPECT_NE(LastLine(log).find("exit code 3010"), std::string::npos) << log;
  robot::Kill(holder.pid());
  DeleteFileW(held.c_str());
  insttest::RemovePendingRenames(defaultDir_);
}

TEST_F(Silent, FileInUseGivesRestartDamagedPackageFails) {
  // A file of the product held open in the chosen folder: replaced at the
  // restart, exit code 3010 and the restart line.
  ASSERT_TRUE(CreateDirectoryW(kChosenRoot, nullptr));
  ASSERT_TRUE(CreateDirectoryW(kChosenDir, nullptr));
  const std::wstring held = std::wstring(kChosenDir) + L"config.exe";
  ASSERT_TRUE(insttest::WriteAll(held, "old"));
  {
    testfs::HeldFile hold(held);
    ASSERT_TRUE(hold.ok());
    const Outcome o = Run(setup_, L"-s dir=[C:\\Apps\\Sample IME]" + LogSwitch());
    EXPECT_EQ(o.exitCode, 3010u);
    ExpectNoWindow(o);
  }
  std::string log = Log();
  ExpectInOrder(log, {"files in use are replaced at the next restart",
                      "安装程序已经完成所有工作,但部分设置在重新启动以后方能生效!"});
  EXPECT_NE(LastLine(log).find("exit code 3010 (success, restart needed)"), std::string::npos)
      << log;
  insttest::RemovePendingRenames(kChosenDir);
  Clean();

  // A package whose enciphered bytes are damaged cannot be extracted.
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(insttest::ReadAll(setup_, &bytes));
  for (size_t i = bytes.size() - 4096; i < bytes.size() - 64; i += 7) bytes[i] ^= 0x5A;
  const std::wstring damaged = insttest::TempFolder() + L"kl silent damaged.exe";
  ASSERT_TRUE(insttest::WriteAll(damaged, bytes));
  const Outcome o = Run(damaged, L"-s" + LogSwitch());
  // The same package without -s shows its message box, and the watch sees it.
  {
    robot::Process p;
    ASSERT_TRUE(robot::Start(damaged, L"", &p));
    robot::WindowWatch watch(p.pid(), wizrobot::kWorkingCopyTail);
    const robot::MsgBox box = robot::WaitMessageBox(L"安装程序提示信息", 30000);
    ASSERT_TRUE(box);
    EXPECT_TRUE(robot::WaitUntil([&] { return !watch.Seen().empty(); }, 10000, 10));
    robot::Answer(box.hwnd, IDOK);
    robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 20000);
    const std::vector<std::wstring> seen = watch.Stop();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().rfind(L"#32770", 0), 0u) << seen.front();
  }
  DeleteFileW(damaged.c_str());
  EXPECT_EQ(o.exitCode, 1603u);
  ExpectNoWindow(o);
  EXPECT_FALSE(Exists(defaultDir_));
  log = Log();
  ExpectInOrder(log, {"mode: install, silent", "the package cannot be extracted"});
  EXPECT_NE(LastLine(log).find("exit code 1603 (failure)"), std::string::npos) << log;
}

TEST_F(Silent, SecondSetupDuringTheFirstIsRefused) {
  robot::Process first;
  ASSERT_TRUE(robot::Start(setup_, L"-s" + LogSwitch(), &first));
  // The first run works in its own process: it is under way once its log
  // names the mode.
  ASSERT_TRUE(robot::WaitUntil(
      [&] { return Log().find("mode: install, silent") != std::string::npos; }, 30000, 5));
  const std::wstring secondLog = insttest::TempFolder() + L"kl silent e2e second.log";
  const Outcome second = Run(setup_, L"-s log=[" + secondLog + L"]", 30000);
  EXPECT_EQ(second.exitCode, 1618u);
  ExpectNoWindow(second, false);
  const std::string refused = testfs::ReadText(secondLog);
  DeleteFileW(secondLog.c_str());
  EXPECT_NE(refused.find("another setup is running"), std::string::npos) << refused;
  EXPECT_NE(refused.find("exit code 1618"), std::string::npos) << refused;

  DWORD code = ~0u;
  ASSERT_TRUE(robot::WaitExit(first, 180000, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(Exists(defaultDir_ + L"unstall.exe"));
  const std::string log = Log();
  ExpectInOrder(log, {"mode: install, silent", "安装程序已经完成所有工作!"});
  EXPECT_NE(LastLine(log).find("exit code 0 (success)"), std::string::npos) << log;
}

TEST_F(Silent, HelpAndRefusedCommandLinesChangeNothing) {
  // The help: a box with every switch, exit 0, nothing installed.
  {
    robot::Process p;
    ASSERT_TRUE(robot::Start(setup_, L"/?", &p));
    const robot::MsgBox box = robot::WaitMessageBox(L"安装程序提示信息", 30000);
    ASSERT_TRUE(box);
    for (const wchar_t* word : {L"-s\t", L"dir=[", L"user=[", L"company=[", L"log=[", L"-u name=[",
                                L"-r name=[", L"-g name=[", L"3010", L"1638", L"1639"})
      EXPECT_NE(box.text.find(word), std::wstring::npos) << word;
    robot::Answer(box.hwnd, IDOK);
    DWORD code = ~0u;
    ASSERT_TRUE(robot::WaitExit(p, 30000, &code));
    EXPECT_EQ(code, 0u);
  }
  Outcome o = Run(setup_, L"-s /?" + LogSwitch());
  EXPECT_EQ(o.exitCode, 0u);
  EXPECT_NE(Log().find("-u name=["), std::string::npos) << Log();

  // Unattended, a word that is no switch or a repeated value is refused with
  // 1639, and the log still goes where it was asked.
  o = Run(setup_, L"-s --bogus" + LogSwitch());
  EXPECT_EQ(o.exitCode, 1639u);
  ExpectNoWindow(o, false);  // refused by the first instance
  std::string log = Log();
  ExpectInOrder(log, {"command line: -s --bogus", "the word --bogus is not a known switch"});
  EXPECT_NE(LastLine(log).find("exit code 1639 (invalid command line)"), std::string::npos) << log;
  o = Run(setup_, L"-s dir=[C:\\Apps\\a] dir=[C:\\Apps\\b]" + LogSwitch());
  EXPECT_EQ(o.exitCode, 1639u);
  EXPECT_NE(Log().find("the switch dir=[ is malformed"), std::string::npos) << Log();
  EXPECT_FALSE(Exists(defaultDir_));
  EXPECT_FALSE(Exists(kChosenRoot));
}

TEST_F(Silent, OlderPackageNeedsDowngradeAndAReinstallKeepsTheOwner) {
  const std::wstring record = sample::Record();
  Outcome o = Run(setup_, L"-s user=[张 三] company=[可乐公司]" + LogSwitch());
  ASSERT_EQ(o.exitCode, 0u);
  // The record holds what deployment tools read.
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"QuietUninstallString").text,
            L"\"" + defaultDir_ + L"Unstall.exe\" -s " + Named(L"-u"));
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"InstallLocation").text, defaultDir_);
  const std::wstring date = insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"InstallDate").text;
  EXPECT_TRUE(date.size() == 8 && date.rfind(L"20", 0) == 0) << date;
  auto number = [&](const wchar_t* name) {
    DWORD value = ~0u, bytes = sizeof value, type = 0;
    ui::RegKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, record.c_str(), 0, KEY_READ, key.out());
    return RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                            &bytes) == ERROR_SUCCESS && type == REG_DWORD ? value : ~0u;
  };
  EXPECT_EQ(number(L"VersionMajor"), 1u);
  EXPECT_EQ(number(L"VersionMinor"), 0u);
  // The sample's files: the program twice (setup's copy and the backup's), the
  // module, the drivers: well over 100 KB, far under 100 MB.
  EXPECT_GT(number(L"EstimatedSize"), 100u);
  EXPECT_LT(number(L"EstimatedSize"), 100000u);
  // A reinstall without user=/company= keeps what the first one recorded.
  o = Run(setup_, L"-s" + LogSwitch());
  ASSERT_EQ(o.exitCode, 0u);
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"RegOwner").text, L"张 三");
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"RegCompany").text, L"可乐公司");

  // A newer version installed: the sample's 1.0.0.1 is not put over it.
  ui::RegKey k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, record.c_str(), 0, KEY_SET_VALUE, k.out()),
            ERROR_SUCCESS);
  const wchar_t newer[] = L"1.2.0.0";
  ASSERT_EQ(RegSetValueExW(k.get(), L"DisplayVersion", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(newer), sizeof newer),
            ERROR_SUCCESS);
  o = Run(setup_, L"-s" + LogSwitch());
  EXPECT_EQ(o.exitCode, 1638u);
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"DisplayVersion").text, newer);
  EXPECT_NE(Log().find("version 1.2.0.0 is installed; this package holds the older 1.0.0.1"),
            std::string::npos) << Log();
  o = Run(setup_, L"-s downgrade" + LogSwitch());
  EXPECT_EQ(o.exitCode, 0u);
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"DisplayVersion").text, L"1.0.0.1");
}

}  // namespace
