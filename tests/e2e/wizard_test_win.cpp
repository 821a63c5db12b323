// The install wizard of the real sample setup executable, driven like a user
// under Wine: licence radios, the install-folder field, installs that end in
// "完成安装(&O)" or "退出安装(&O)", the overwrite question, the creation
// error, the in-use dialog and a folder locked by an earlier install.
//
// The sample executable is BUILD/win64/sample-setup.exe, next to the bin
// folder of this program; scripts/test.sh packs it (scripts/pack-sample.sh)
// before the win64 tests run. Without it the cases fail.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../unit/install/install_test_util_win.h"
#include "robot_win.h"
#include "sys/fsutil_win.h"
#include "wizard_robot_win.h"

namespace {

using insttest::Exists;
using namespace wizrobot;

constexpr wchar_t kKey[] = L"KeloSample";
constexpr wchar_t kDisplay[] = L"可乐示例输入法";
constexpr wchar_t kVendorKey[] = L"Software\\zorbl\\KeloSample";
constexpr wchar_t kOverwriteCaption[] = L"是否继续？";
constexpr wchar_t kOverwriteText[] = L"所选安装目录已经存在，如果继续，安装程序将覆盖当前目录？";
constexpr wchar_t kCreateCaption[] = L"安装错误？";
constexpr wchar_t kInUseCaption[] = L"无法执行的操作";
constexpr wchar_t kInUseText[] =
    L"由于您的计算机中存在一个当前输入法的副本，所以您必须关闭加载当前输入法的所有进程，然后重试该操作。";
constexpr wchar_t kInUseDialog[] = L"输入法载入状态";
constexpr DWORD kInstallTimeout = 90000;
// Every wait of a case comes out of one budget that ends well inside the
// case's ctest time-out (180 s), so that a case that fails still gets to its
// TearDown (which ends the run and removes the install) before ctest kills it.
constexpr DWORD kCaseBudget = 140000;

// Selects a tab as a click would: the wizard gets TCN_SELCHANGE.
void TabCtrlSelect(HWND wizard, int index) {
  HWND tabs = robot::Control(wizard, kTabs);
  // TCM_SETCURFOCUS sends the selection-change notifications a click sends.
  SendMessageW(tabs, TCM_SETCURFOCUS, index, 0);
}

std::wstring CreateError(const std::wstring& path) {
  return L"所选安装目录:\r\n" + path + L"\r\n未能创建，请确定您的当前用户对该目录的访问权限！";
}

std::wstring DataFolder() {
  wchar_t data[kPathChars] = {};
  GetProductDataFolder(kKey, data);
  return data;
}

const std::vector<std::wstring> kSuccessLines = {
    L"验证安装信息....",
    L"开始安装....",
    L"  1.创建文件系统....",
    L"  2.设置软件运行环境...",
    L"  3.写入卸载信息...",
    L"  4.备份安装数据...",
    L"  5.创建开始菜单及桌面快捷方式...",
    L"  6.清除安装程序创建的临时文件...",
    L"安装程序已经完成所有工作!",
};

class Wizard : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = GetTickCount64();
    setup_ = SampleSetup();
    // The build makes it (scripts/pack-sample.sh): missing, the case fails.
    ASSERT_TRUE(Exists(setup_)) << "no sample setup at " << kl::ToUtf8(setup_.c_str())
                                << " (scripts/pack-sample.sh makes it)";
    CoInitialize(nullptr);
    installDir_ = insttest::ShellFolder(CSIDL_PROGRAM_FILES) + kKey + L"\\";
    Clean();
  }
  void TearDown() override {
    if (setup_.empty() || !Exists(setup_)) return;
    for (DWORD pid : holders_) robot::Kill(pid);
    Clean();
    CoUninitialize();
  }

  // Ends a run left open by a failed case and removes everything an install
  // leaves, so that the cases run repeatedly in one prefix.
  void Clean() {
    for (DWORD pid : robot::FindProcesses(kWorkingCopyTail)) robot::Kill(pid);
    const std::wstring copy = insttest::TempFolder() + (kWorkingCopyTail + 1);
    robot::WaitUntil([&] { return DeleteFileW(copy.c_str()) || !Exists(copy); }, 10000);
    insttest::RemoveTree(WorkFolder());
    insttest::Uninstall(kKey, kDisplay, installDir_, {L"KeloSample_sys.dll"},
                        {L"KeloSample_win.dat"}, {L"KeloSampleSans.ttf"},
                        {L"KeloSampleSans(TrueType)"});
    for (const auto& extra : extraDirs_) insttest::RemoveTree(extra);
    DeleteFileW(heldModule_.c_str());
  }

  static std::wstring WorkFolder() { return insttest::TempFolder() + L"__KLIMEInstall\\"; }

  // ms, or what is left of the case's budget when that is less.
  DWORD Left(DWORD ms) const {
    const ULONGLONG used = GetTickCount64() - start_;
    const ULONGLONG left = used >= kCaseBudget ? 0 : kCaseBudget - used;
    return static_cast<DWORD>(left < ms ? left : ms);
  }

  HWND Start() {
    // Two waits inside: the working copy, then its window.
    wizard_ = StartWizard(setup_, WizardCaption(kDisplay), &copyPid_, Left(60000) / 2);
    return wizard_;
  }

  void Accept() {
    ASSERT_TRUE(robot::ClickControl(wizard_, kAccept));
    ASSERT_TRUE(robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard_, IDOK)); },
                                 Left(5000)));
  }

  // Waits for a message box of the working copy and checks its text.
  robot::MsgBox Expect(const std::wstring& caption, const std::wstring& text) {
    robot::MsgBox box = robot::WaitMessageBox(caption, Left(30000), copyPid_);
    EXPECT_TRUE(box) << "no message box " << kl::ToUtf8(caption.c_str());
    if (box) {
      EXPECT_EQ(box.text, text);
    }
    return box;
  }

  bool ButtonEnabledAgain() {
    return robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard_, IDOK)); },
                            Left(20000));
  }

  // Ends the wizard through Cancel and waits for the run to end.
  void CancelWizard() {
    robot::Command(wizard_, IDCANCEL);
    EXPECT_TRUE(robot::WaitExit(
        ui::Handle(OpenProcess(SYNCHRONIZE, FALSE, copyPid_)).get(), Left(20000)));
  }

  // Presses the finishing button and waits until the working copy and its
  // work folder are gone.
  void FinishAndWaitForCleanUp() {
    ui::Handle copy(OpenProcess(SYNCHRONIZE, FALSE, copyPid_));
    ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
    ASSERT_TRUE(robot::WaitExit(copy.get(), Left(30000))) << "the wizard did not end";
    const std::wstring copyPath = insttest::TempFolder() + (kWorkingCopyTail + 1);
    EXPECT_TRUE(robot::WaitUntil([&] { return !Exists(copyPath); }, Left(20000)))
        << "the working copy is still there";
    EXPECT_FALSE(Exists(WorkFolder()));
  }

  // holdime.exe keeping a copy of the sample module named "<key>.kelo.ime".
  DWORD HoldModule() {
    heldModule_ = insttest::TempFolder() + L"KeloSample.kelo.ime";
    if (!CopyFileW((insttest::BinFolder() + L"sample\\KeloSample.ime").c_str(),
                   heldModule_.c_str(), FALSE))
      return 0;
    const std::wstring event = L"kl_wizard_hold_" + std::to_wstring(GetCurrentProcessId());
    ui::Handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    robot::Process p;
    if (!robot::Start(insttest::BinFolder() + L"holdime.exe",
                      L"\"" + heldModule_ + L"\" 120000 " + event, &p))
      return 0;
    holders_.push_back(p.pid());  // ended in TearDown whatever happens next
    if (WaitForSingleObject(ready.get(), Left(20000)) != WAIT_OBJECT_0) return 0;
    return p.pid();
  }

  void ExpectInstalled() {
    for (const wchar_t* f : {L"config.exe", L"main.chm", L"License.html", L"ITF\\Interface.dll",
                             L"unstall.exe", L"_backup_.dat"})
      EXPECT_TRUE(Exists(installDir_ + f)) << kl::ToUtf8(f);
    EXPECT_FALSE(Exists(installDir_ + L"InstallInfo.kif"));
    EXPECT_TRUE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
    EXPECT_TRUE(Exists(insttest::SystemDir() + L"KeloSample_sys.dll"));
    EXPECT_TRUE(Exists(insttest::WindowsDir() + L"KeloSample_win.dat"));
    EXPECT_TRUE(Exists(insttest::ShellFolder(CSIDL_FONTS) + L"KeloSampleSans.ttf"));
    EXPECT_TRUE(Exists(DataFolder() + L"config.ksc"));
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
      EXPECT_EQ(insttest::ReadValue(hive, kVendorKey, L"KMEInstallPath").text, installDir_);
    const std::wstring record = std::wstring(insttest::kUninstallRoot) + kKey;
    EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"DisplayName").text, kDisplay);
    EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"UninstallString").text,
              L"\"" + installDir_ + L"Unstall.exe\" -u name=[KeloSample]");
    EXPECT_NE(FindLayoutByImeFile(L"KeloSample.kelo.ime"), nullptr);
    const std::wstring links = insttest::ShellFolder(CSIDL_COMMON_PROGRAMS) + kDisplay + L"\\";
    for (const wchar_t* f : {L"系统设置.lnk", L"使用帮助.lnk", L"检查更新.lnk",
                             L"更多工具\\卸载软件.lnk", L"更多工具\\修复安装.lnk"})
      EXPECT_TRUE(Exists(links + f)) << kl::ToUtf8(f);
    EXPECT_TRUE(Exists(insttest::ShellFolder(CSIDL_DESKTOPDIRECTORY) + kDisplay + L"系统设置.lnk"))
        << "no desktop link";
  }

  void ExpectFinishedState(const std::wstring& caption) {
    EXPECT_EQ(robot::ControlText(wizard_, IDOK), caption);
    EXPECT_TRUE(robot::IsEnabled(robot::Control(wizard_, IDOK)));
    EXPECT_FALSE(robot::IsVisible(robot::Control(wizard_, kAccept)));
    EXPECT_FALSE(robot::IsVisible(robot::Control(wizard_, kDecline)));
    EXPECT_FALSE(robot::IsVisible(robot::Control(wizard_, kLink)));
    EXPECT_TRUE(robot::IsEnabled(robot::Control(wizard_, kTabs)));
    EXPECT_TRUE(robot::IsVisible(ProgressList(wizard_)));
    EXPECT_FALSE(robot::IsVisible(DirEdit(wizard_)));
  }

  std::wstring setup_, installDir_, heldModule_;
  std::vector<std::wstring> extraDirs_;
  std::vector<DWORD> holders_;
  HWND wizard_ = nullptr;
  DWORD copyPid_ = 0;
  ULONGLONG start_ = 0;
};

// ---- a fresh install, all the way ---------------------------------------------

TEST_F(Wizard, FreshInstallFromLicenceToFinish) {
  ASSERT_NE(Start(), nullptr) << "no wizard window";
  HWND ok = robot::Control(wizard_, IDOK);
  EXPECT_EQ(robot::Text(ok), kInstallCaption);
  EXPECT_FALSE(robot::IsEnabled(ok));
  EXPECT_TRUE(IsChecked(robot::Control(wizard_, kDecline)));
  EXPECT_FALSE(IsChecked(robot::Control(wizard_, kAccept)));

  // The radios switch the button.
  Accept();
  robot::ClickControl(wizard_, kDecline);
  EXPECT_TRUE(robot::WaitUntil([&] { return !robot::IsEnabled(ok); }, Left(5000)));
  Accept();

  // The pages: the folder proposed under program files, the user page behind
  // the second tab.
  HWND dir = DirEdit(wizard_);
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(robot::Text(dir), installDir_);
  EXPECT_TRUE(robot::IsEnabled(dir));
  EXPECT_TRUE(robot::IsVisible(dir));
  EXPECT_FALSE(robot::IsVisible(OwnerEdit(wizard_)));
  EXPECT_FALSE(robot::IsVisible(ProgressList(wizard_)));
  ASSERT_TRUE(robot::SetText(OwnerEdit(wizard_), L"向导用户"));
  ASSERT_TRUE(robot::SetText(CompanyEdit(wizard_), L"向导公司"));

  ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
  ASSERT_EQ(WaitFinished(wizard_, Left(kInstallTimeout)), kDoneCaption);
  ExpectFinishedState(kDoneCaption);
  EXPECT_EQ(robot::ListViewColumn(ProgressList(wizard_)), kSuccessLines);
  EXPECT_EQ(BarPosition(ProgressBar(wizard_)), 100);

  FinishAndWaitForCleanUp();
  ExpectInstalled();
  const std::wstring record = std::wstring(insttest::kUninstallRoot) + kKey;
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"RegOwner").text, L"向导用户");
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, record, L"RegCompany").text, L"向导公司");
}

// ---- the install folder ----------------------------------------------------------

TEST_F(Wizard, FolderLockedByAnEarlierInstallCannotBeChanged) {
  const std::wstring locked = L"C:\\KlWizardLocked\\";
  {
    ui::RegKey k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVendorKey, 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, k.out(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(k.get(), L"KMEInstallPath", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(locked.c_str()),
                   static_cast<DWORD>((locked.size() + 1) * sizeof(wchar_t)));
  }
  ASSERT_NE(Start(), nullptr);
  HWND dir = DirEdit(wizard_);
  EXPECT_EQ(robot::Text(dir), locked);
  EXPECT_FALSE(robot::IsEnabled(dir));

  ASSERT_TRUE(robot::Click(BrowseButton(wizard_)));
  robot::MsgBox box =
      Expect(L"现在无法更改安装目录。",
             L"当前计算机存在一个已经安装的副本，如需更改安装目录，请首先卸载以往版本。");
  EXPECT_TRUE(box.hasIcon);
  if (box) robot::Answer(box.hwnd, IDOK);
  EXPECT_EQ(robot::Text(dir), locked);
  CancelWizard();
}

TEST_F(Wizard, ExistingFolderNoKeepsItYesClearsAndInstalls) {
  CreateDirectoryW(installDir_.c_str(), nullptr);
  ASSERT_TRUE(insttest::WriteAll(installDir_ + L"old.txt", "old"));
  const std::wstring data = DataFolder();
  ASSERT_NE(CreateDirectoryPath(data.c_str()), 0u);
  ASSERT_TRUE(insttest::WriteAll(data + L"old-user.dat", "old"));

  ASSERT_NE(Start(), nullptr);
  Accept();
  ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
  robot::MsgBox ask = Expect(kOverwriteCaption, kOverwriteText);
  ASSERT_TRUE(ask);
  // While the worker runs the wizard cannot be closed: Cancel, Esc and the
  // close box are ignored. Sent, not posted: each has been handled when the
  // call returns, and a wizard that ended would be hidden by then.
  for (UINT msg : {UINT(WM_COMMAND), UINT(WM_CLOSE)}) {
    DWORD_PTR unused = 0;
    EXPECT_TRUE(SendMessageTimeoutW(wizard_, msg, msg == WM_COMMAND ? IDCANCEL : 0, 0,
                                    SMTO_NORMAL, Left(10000), &unused));
    EXPECT_TRUE(IsWindow(wizard_) && IsWindowVisible(wizard_)) << "the wizard closed";
  }
  EXPECT_TRUE(IsWindow(ask.hwnd));
  robot::Answer(ask.hwnd, IDNO);
  EXPECT_TRUE(ButtonEnabledAgain());
  EXPECT_EQ(robot::ControlText(wizard_, IDOK), kInstallCaption);
  EXPECT_TRUE(Exists(installDir_ + L"old.txt"));
  EXPECT_TRUE(Exists(data + L"old-user.dat"));
  EXPECT_TRUE(robot::IsVisible(DirEdit(wizard_)));

  ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
  ask = Expect(kOverwriteCaption, kOverwriteText);
  ASSERT_TRUE(ask);
  robot::Answer(ask.hwnd, IDYES);
  ASSERT_EQ(WaitFinished(wizard_, Left(kInstallTimeout)), kDoneCaption);
  EXPECT_FALSE(Exists(installDir_ + L"old.txt"));
  EXPECT_FALSE(Exists(data + L"old-user.dat"));
  EXPECT_TRUE(Exists(data + L"config.ksc"));
  FinishAndWaitForCleanUp();
  ExpectInstalled();
}

TEST_F(Wizard, EmptyFolderFieldGivesTheCreationErrorAndStaysUsable) {
  ASSERT_NE(Start(), nullptr);
  Accept();
  ASSERT_TRUE(robot::SetText(DirEdit(wizard_), L""));
  ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
  robot::MsgBox box = Expect(kCreateCaption, CreateError(L""));
  ASSERT_TRUE(box);
  EXPECT_TRUE(box.hasIcon);
  robot::Answer(box.hwnd, IDOK);
  EXPECT_TRUE(ButtonEnabledAgain());
  EXPECT_EQ(robot::ControlText(wizard_, IDOK), kInstallCaption);
  EXPECT_TRUE(robot::IsVisible(DirEdit(wizard_)));
  EXPECT_FALSE(robot::IsVisible(ProgressList(wizard_)));

  // A relative folder is refused the same way instead of landing somewhere.
  ASSERT_TRUE(robot::SetText(DirEdit(wizard_), L"KlRelative\\Dir"));
  ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
  box = Expect(kCreateCaption, CreateError(L"KlRelative\\Dir"));
  if (box) robot::Answer(box.hwnd, IDOK);
  EXPECT_TRUE(ButtonEnabledAgain());
  CancelWizard();
  EXPECT_FALSE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
}

// A root, the Windows folder or a folder that holds one is refused before
// the overwrite question: a message box with the wizard's caption names it.
TEST_F(Wizard, ProtectedFolderIsRefusedAndDeletesNothing) {
  const std::wstring data = DataFolder();
  ASSERT_NE(CreateDirectoryPath(data.c_str()), 0u);
  ASSERT_TRUE(insttest::WriteAll(data + L"keep.dat", "keep"));
  const std::wstring marker = insttest::WindowsDir() + L"kl_wizard_marker.txt";
  struct DropMarker {  // however the case ends
    std::wstring path;
    ~DropMarker() { DeleteFileW(path.c_str()); }
  } dropMarker{marker};
  ASSERT_TRUE(insttest::WriteAll(marker, "keep"));

  ASSERT_NE(Start(), nullptr);
  Accept();
  for (const std::wstring& typed : {std::wstring(L"C:\\windows"), std::wstring(L"C:\\"),
                                    insttest::ShellFolder(CSIDL_PROGRAM_FILES)}) {
    SCOPED_TRACE(kl::ToUtf8(typed.c_str()));
    ASSERT_TRUE(robot::SetText(DirEdit(wizard_), typed));
    ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
    HWND refusal = nullptr;
    ASSERT_TRUE(robot::WaitUntil(
        [&] {
          for (HWND h :
               robot::FindTopWindows(WizardCaption(kDisplay), robot::kDialogClass, copyPid_))
            if (h != wizard_) refusal = h;
          return refusal != nullptr;
        },
        Left(30000)));
    const robot::MsgBox box = robot::ReadMessageBox(refusal);
    EXPECT_EQ(box.text, L"所选安装目录:\r\n" + typed +
                            L"\r\n是系统目录或用户的个人文件夹，不能安装到该目录中，请选择其他安装目录！");
    EXPECT_TRUE(box.hasIcon);
    EXPECT_EQ(robot::FindTopWindow(kOverwriteCaption, robot::kDialogClass, copyPid_), nullptr);
    robot::Answer(box.hwnd, IDOK);
    EXPECT_TRUE(ButtonEnabledAgain());
    EXPECT_EQ(robot::ControlText(wizard_, IDOK), kInstallCaption);
  }
  EXPECT_TRUE(Exists(marker));
  EXPECT_TRUE(Exists(insttest::SystemDir() + L"kernel32.dll"));
  EXPECT_TRUE(Exists(data + L"keep.dat"));
  EXPECT_FALSE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
  CancelWizard();
}

// ---- the input method in use ----------------------------------------------------

TEST_F(Wizard, ModuleInUseCancelRefusesEndProcessGoesOn) {
  const DWORD holder = HoldModule();
  ASSERT_NE(holder, 0u) << "holdime.exe did not load the module";
  ASSERT_NE(Start(), nullptr);
  Accept();

  // Cancelled: the refusal message, nothing started.
  ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
  HWND inUse = robot::WaitTopWindow(kInUseDialog, Left(30000), nullptr, copyPid_);
  ASSERT_NE(inUse, nullptr);
  const std::wstring line = L"进程ID: " + std::to_wstring(holder) + L"    进程名称: holdime.exe";
  EXPECT_EQ(robot::ListBoxLines(robot::Control(inUse, 1006)), std::vector<std::wstring>{line});
  robot::ClickControl(inUse, IDCANCEL);
  robot::MsgBox refused = Expect(kInUseCaption, kInUseText);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused.hasIcon);
  robot::Answer(refused.hwnd, IDOK);
  EXPECT_EQ(robot::ControlText(wizard_, IDOK), kInstallCaption);
  EXPECT_TRUE(robot::IsEnabled(robot::Control(wizard_, IDOK)));
  EXPECT_FALSE(Exists(installDir_));

  // Ended: the install goes on.
  ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
  inUse = robot::WaitTopWindow(kInUseDialog, Left(30000), nullptr, copyPid_);
  ASSERT_NE(inUse, nullptr);
  robot::ClickControl(inUse, 1015);
  ASSERT_EQ(WaitFinished(wizard_, Left(kInstallTimeout)), kDoneCaption);
  EXPECT_TRUE(robot::WaitNoProcess(L"\\holdime.exe", Left(5000)));
  FinishAndWaitForCleanUp();
  ExpectInstalled();
}

TEST_F(Wizard, DeclinedLicenceRunsTheScanButStartsNothing) {
  ASSERT_NE(HoldModule(), 0u);
  ASSERT_NE(Start(), nullptr);
  // Button 1 is disabled; the command still reaches the wizard (as Enter would).
  ASSERT_TRUE(robot::Command(wizard_, IDOK));
  HWND inUse = robot::WaitTopWindow(kInUseDialog, Left(30000), nullptr, copyPid_);
  ASSERT_NE(inUse, nullptr) << "the scan did not run";
  robot::ClickControl(inUse, 1015);
  EXPECT_TRUE(robot::WaitUntil([&] { return !IsWindow(inUse); }, Left(15000)));
  // A message sent to the wizard is handled once its thread is back in a
  // message loop: the install command has returned (the wizard's own loop)
  // or shows a window of its own (looked for below).
  DWORD_PTR unused = 0;
  EXPECT_TRUE(SendMessageTimeoutW(wizard_, WM_NULL, 0, 0, SMTO_NORMAL, Left(15000), &unused));
  EXPECT_EQ(robot::ControlText(wizard_, IDOK), kInstallCaption);
  EXPECT_FALSE(robot::IsEnabled(robot::Control(wizard_, IDOK)));
  EXPECT_TRUE(robot::IsVisible(DirEdit(wizard_)));
  EXPECT_FALSE(robot::IsVisible(ProgressList(wizard_)));
  EXPECT_TRUE(robot::FindTopWindow(kOverwriteCaption, robot::kDialogClass, copyPid_) == nullptr);
  // A started install cannot be cancelled and would keep the run alive: once
  // the run has ended nothing more can be installed, and nothing was.
  CancelWizard();
  EXPECT_FALSE(Exists(installDir_));
  EXPECT_FALSE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
}

// ---- a failing install -------------------------------------------------------------

TEST_F(Wizard, ModuleTheSystemFolderRefusesEndsWithExit) {
  // The IME module's place in the system folder is taken by an open file
  // shared with no one: step 2 cannot copy it.
  const std::wstring target = insttest::SystemDir() + L"KeloSample.kelo.ime";
  ASSERT_TRUE(insttest::WriteAll(target, "held"));
  ui::FileHandle held(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());

  ASSERT_NE(Start(), nullptr);
  Accept();
  ASSERT_TRUE(robot::ClickControl(wizard_, IDOK));
  ASSERT_EQ(WaitFinished(wizard_, Left(kInstallTimeout)), kFailedCaption);
  ExpectFinishedState(kFailedCaption);
  const auto lines = robot::ListViewColumn(ProgressList(wizard_));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), L"安装程序发生错误，所做操作已经撤销!");
  EXPECT_LT(BarPosition(ProgressBar(wizard_)), 100);

  // A tab click brings the directory page back over the progress page.
  TabCtrlSelect(wizard_, 1);
  TabCtrlSelect(wizard_, 0);
  EXPECT_TRUE(robot::WaitUntil([&] { return robot::IsVisible(DirEdit(wizard_)); }, Left(5000)));
  EXPECT_FALSE(robot::IsVisible(ProgressList(wizard_)));
  FinishAndWaitForCleanUp();
  held.reset();
}

}  // namespace
