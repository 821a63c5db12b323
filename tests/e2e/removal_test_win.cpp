// Uninstall (-u) and repair (-r) of the sample product under Wine, started
// from the installed unstall.exe and driven like a user; everything is read
// back from the registry, the files, the links and the layouts.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "../unit/install/install_test_util_win.h"
#include "../unit/install/machine_snapshot_win.h"
#include "install/ime_win.h"
#include "package/pe_layout.h"
#include "robot_win.h"
#include "sample_product_win.h"
#include "wizard_robot_win.h"

namespace {

using insttest::Exists;
using insttest::KeyExists;
using insttest::ReadValue;
using namespace wizrobot;

using sample::kDisplay;
using sample::kKey;
using sample::kModule;
using sample::kVendorKey;
const std::wstring kUninstallArgs = sample::Named(L"-u");
const std::wstring kRepairArgs = sample::Named(L"-r");
constexpr wchar_t kOtherKey[] = L"Software\\zorbl\\KlOtherProduct";
constexpr wchar_t kInUseDialog[] = L"输入法载入状态";

// Bytes [from, from + n) of a file.
std::vector<unsigned char> Slice(const std::wstring& path, size_t from, size_t n) {
  std::vector<unsigned char> all;
  if (!insttest::ReadAll(path, &all) || from > all.size() || n > all.size() - from) return {};
  return std::vector<unsigned char>(all.begin() + from, all.begin() + from + n);
}

std::wstring DataFolder() {
  wchar_t data[kPathChars] = {};
  GetProductDataFolder(kKey, data);
  return data;
}

using sample::Record;

// The Linux home folder (named by the test wrapper) as Wine shows it,
// listed one level deep.
std::set<std::wstring> HomeListing() {
  std::set<std::wstring> names;
  wchar_t home[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"KL_HOST_HOME", home, MAX_PATH) || home[0] != L'/') return names;
  std::wstring folder = L"Z:" + std::wstring(home);
  for (auto& c : folder)
    if (c == L'/') c = L'\\';
  for (const std::wstring& sub : {std::wstring(), std::wstring(L"\\Desktop")}) {
    WIN32_FIND_DATAW e;
    HANDLE find = FindFirstFileW((folder + sub + L"\\*").c_str(), &e);
    if (find == INVALID_HANDLE_VALUE) continue;
    do names.insert(sub + L"\\" + e.cFileName);
    while (FindNextFileW(find, &e));
    FindClose(find);
  }
  return names;
}

class Removal : public ::testing::Test {
 protected:
  void SetUp() override {
    setup_ = SampleSetup();
    ASSERT_TRUE(Exists(setup_)) << "no sample setup (scripts/pack-sample.sh makes it)";
    CoInitialize(nullptr);
    installDir_ = sample::InstallDir();
    Clean();
  }
  void TearDown() override {
    for (DWORD pid : holders_) robot::Kill(pid);
    for (DWORD pid : robot::FindProcesses(kWorkingCopyTail)) robot::Kill(pid);
    Clean();
    CoUninitialize();
  }

  void Clean() {
    sample::RemoveInstall(installDir_);
    insttest::RemoveTree(sample::WorkFolder());
    DeleteFileW((insttest::TempFolder() + L"KLInterfaceMessage.log").c_str());
    if (!heldModule_.empty()) DeleteFileW(heldModule_.c_str());
  }

  void Install(const std::wstring& setup = L"") {
    std::vector<std::wstring> lines;
    ASSERT_TRUE(InstallThroughWizard(setup.empty() ? setup_ : setup, kDisplay, &lines));
    ASSERT_TRUE(Exists(installDir_ + L"unstall.exe"));
  }

  // Starts an operation dialog from the installed unstall.exe.
  HWND Open(const std::wstring& arguments, const std::wstring& caption) {
    dialog_ = StartOperation(installDir_, arguments, caption, &copyPid_);
    process_.reset(copyPid_ ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                          copyPid_)
                            : nullptr);
    return dialog_;
  }

  // The working copy's exit code once it has ended (~0u on time-out).
  DWORD ExitCode() {
    DWORD code = ~0u;
    if (!robot::WaitExit(process_.get(), 30000, &code)) return ~0u;
    return code;
  }

  // Nothing of the run stays in the temporary folder.
  void ExpectTempClean() {
    const std::wstring copy = insttest::TempFolder() + (kWorkingCopyTail + 1);
    EXPECT_TRUE(robot::WaitUntil([&] { return !Exists(copy); }, 20000))
        << "the working copy is still there";
    EXPECT_TRUE(robot::WaitUntil(
        [&] { return !Exists(sample::WorkFolder()); }, 10000));
  }

  // holdime.exe keeping a copy of the sample module under the module's name.
  DWORD HoldModule() {
    heldModule_ = insttest::TempFolder() + kModule;
    if (!CopyFileW((insttest::BinFolder() + L"sample\\" + sample::kBuiltModule).c_str(),
                   heldModule_.c_str(), FALSE))
      return 0;
    const std::wstring event = L"kl_removal_hold_" + std::to_wstring(GetCurrentProcessId());
    ui::Handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    robot::Process p;
    if (!robot::Start(insttest::BinFolder() + L"holdime.exe",
                      L"\"" + heldModule_ + L"\" 120000 " + event, &p))
      return 0;
    holders_.push_back(p.pid());
    if (WaitForSingleObject(ready.get(), 20000) != WAIT_OBJECT_0) return 0;
    return p.pid();
  }

  std::wstring setup_, installDir_, heldModule_;
  HWND dialog_ = nullptr;
  DWORD copyPid_ = 0;
  ui::Handle process_;
  std::vector<DWORD> holders_;
};

// ---- uninstall ------------------------------------------------------------------

TEST_F(Removal, UninstallRemovesWhatTheInstallMadeAndNothingElse) {
  const std::set<std::wstring> home = HomeListing();
  ASSERT_FALSE(home.empty()) << "the home folder cannot be seen from Wine";
  const std::wstring commonDesktop = insttest::ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
  const std::wstring sharedLink = commonDesktop + kDisplay + L"系统设置.lnk";
  ASSERT_TRUE(insttest::WriteAll(sharedLink, "not ours to remove"));
  for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    ui::RegKey other;
    ASSERT_EQ(RegCreateKeyExW(hive, kOtherKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, other.out(),
                              nullptr),
              ERROR_SUCCESS);
  }
  Install();
  const std::wstring menu = insttest::ShellFolder(CSIDL_COMMON_PROGRAMS) + kDisplay + L"\\";
  ASSERT_TRUE(insttest::WriteAll(menu + L"用户笔记.txt", "added by the user"));
  const std::vector<std::wstring> layouts = LayoutsUsingModule(kModule);
  ASSERT_FALSE(layouts.empty());

  ASSERT_NE(Open(kUninstallArgs, UninstallTitle(kDisplay)), nullptr);
  EXPECT_EQ(robot::ControlText(dialog_, IDOK), kUninstallCaption);
  ASSERT_TRUE(RunOperation(dialog_));
  // What the user reads at the end: the last step done, the bar full.
  const std::vector<std::wstring> progress =
      robot::ListViewColumn(robot::Control(dialog_, kProgressList));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), L"  6.卸载完成.");
  EXPECT_EQ(BarPosition(robot::Control(dialog_, kProgressBar)), 100);
  // The second press closes the dialog; the run ends normally.
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  EXPECT_EQ(ExitCode(), 0u);

  std::vector<unsigned char> log;
  ASSERT_TRUE(insttest::ReadAll(insttest::TempFolder() + L"KLInterfaceMessage.log", &log));
  const std::string text(log.begin(), log.end());
  EXPECT_EQ(text.find("KLInterfaceMessage(0,7,0,0)"), text.rfind("KLInterfaceMessage("))
      << text;  // called once, with 0, 7, 0, 0
  EXPECT_NE(text.find("KLInterfaceMessage(0,7,0,0)"), std::string::npos) << text;

  EXPECT_TRUE(robot::WaitUntil([&] { return !Exists(installDir_); }, 10000));
  EXPECT_FALSE(Exists(DataFolder()));
  EXPECT_FALSE(Exists(menu));
  EXPECT_FALSE(Exists(insttest::ShellFolder(CSIDL_DESKTOPDIRECTORY) + kDisplay + L"系统设置.lnk"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Record()));
  for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    EXPECT_FALSE(KeyExists(hive, kVendorKey));
    EXPECT_TRUE(KeyExists(hive, kOtherKey));  // another product of the vendor stays
    RegDeleteKeyW(hive, kOtherKey);
  }
  EXPECT_TRUE(LayoutsUsingModule(kModule).empty());
  for (const std::wstring& id : layouts)
    for (const wchar_t* set : {L"SYSTEM\\CurrentControlSet", L"SYSTEM\\ControlSet001"})
      EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE,
                             std::wstring(set) + L"\\Control\\Keyboard Layouts\\" + id));
  {  // no preload value names one of them
    ui::RegKey preload;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Keyboard Layout\\Preload", 0, KEY_READ,
                      preload.out()) == ERROR_SUCCESS) {
      for (DWORD i = 0;; ++i) {
        wchar_t name[64], data[64] = {};
        DWORD chars = 64, bytes = sizeof(data) - sizeof(wchar_t);
        if (RegEnumValueW(preload.get(), i, name, &chars, nullptr, nullptr,
                          reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS)
          break;
        for (const std::wstring& id : layouts) EXPECT_NE(_wcsicmp(data, id.c_str()), 0) << name;
      }
    }
  }
  EXPECT_FALSE(Exists(insttest::SystemDir() + kModule));
  EXPECT_TRUE(Exists(sharedLink));
  DeleteFileW(sharedLink.c_str());
  ExpectTempClean();
  EXPECT_EQ(HomeListing(), home) << "the run wrote into the Linux home folder";
}

TEST_F(Removal, UninstallWithTheImeInUseCancelChangesNothingEndingGoesOn) {
  Install();
  const DWORD holder = HoldModule();
  ASSERT_NE(holder, 0u) << "holdime.exe did not load the module";

  // Cancelled: the run ends with exit code 1 and nothing is removed.
  ASSERT_NE(Open(kUninstallArgs, UninstallTitle(kDisplay)), nullptr);
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  HWND inUse = robot::WaitTopWindow(kInUseDialog, 30000, nullptr, copyPid_);
  ASSERT_NE(inUse, nullptr);
  EXPECT_EQ(robot::ListBoxLines(robot::Control(inUse, 1006)),
            std::vector<std::wstring>{L"进程ID: " + std::to_wstring(holder) +
                                      L"    进程名称: holdime.exe"});
  robot::ClickControl(inUse, IDCANCEL);
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_TRUE(Exists(installDir_ + L"config.exe"));
  EXPECT_TRUE(Exists(insttest::SystemDir() + kModule));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Record()));
  EXPECT_FALSE(LayoutsUsingModule(kModule).empty());
  ExpectTempClean();

  // Ended from the in-use dialog: the uninstall goes on in the same press.
  ASSERT_NE(Open(kUninstallArgs, UninstallTitle(kDisplay)), nullptr);
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  inUse = robot::WaitTopWindow(kInUseDialog, 30000, nullptr, copyPid_);
  ASSERT_NE(inUse, nullptr);
  robot::ClickControl(inUse, 1015);
  EXPECT_TRUE(robot::WaitUntil(
      [&] { return robot::ControlText(dialog_, IDOK) == kOperationDone; }, 60000));
  EXPECT_TRUE(robot::WaitNoProcess(L"\\holdime.exe", 5000));
  robot::ClickControl(dialog_, IDOK);
  EXPECT_EQ(ExitCode(), 0u);
  EXPECT_TRUE(LayoutsUsingModule(kModule).empty());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Record()));
}

// ---- repair ---------------------------------------------------------------------

TEST_F(Removal, RepairPutsFilesBackWithTheRecordedOwnerAndTheSystemsCompany) {
  Install();
  const std::wstring owner = ReadValue(HKEY_LOCAL_MACHINE, Record(), L"RegOwner").text;
  const std::wstring systemKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
  const insttest::RegValue oldOrganization =
      ReadValue(HKEY_LOCAL_MACHINE, systemKey, L"RegisteredOrganization");
  {
    ui::RegKey k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, systemKey.c_str(), 0, KEY_SET_VALUE, k.out()),
              ERROR_SUCCESS);
    const wchar_t org[] = L"示例组织";
    RegSetValueExW(k.get(), L"RegisteredOrganization", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(org), sizeof(org));
  }
  insttest::DeleteValue(HKEY_LOCAL_MACHINE, Record(), L"RegCompany");
  ASSERT_TRUE(DeleteFileW((installDir_ + L"config.exe").c_str()));
  ASSERT_TRUE(DeleteFileW((DataFolder() + L"config.ksc").c_str()));

  ASSERT_NE(Open(kRepairArgs, RepairTitle(kDisplay)), nullptr);
  EXPECT_EQ(robot::ControlText(dialog_, IDOK), kRepairCaption);
  const bool repaired = RunOperation(dialog_);
  const auto lines = robot::ListViewColumn(robot::Control(dialog_, kProgressList));
  robot::ClickControl(dialog_, IDOK);
  const DWORD code = ExitCode();
  {  // the system's organisation as it was
    ui::RegKey k;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, systemKey.c_str(), 0, KEY_SET_VALUE, k.out());
    if (oldOrganization.found)
      RegSetValueExW(k.get(), L"RegisteredOrganization", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(oldOrganization.text.c_str()),
                     static_cast<DWORD>((oldOrganization.text.size() + 1) * sizeof(wchar_t)));
    else
      RegDeleteValueW(k.get(), L"RegisteredOrganization");
  }
  ASSERT_TRUE(repaired);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), L"安装程序已经完成所有工作!");
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(Exists(installDir_ + L"config.exe"));
  EXPECT_TRUE(Exists(DataFolder() + L"config.ksc"));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, Record(), L"RegOwner").text, owner);
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, Record(), L"RegCompany").text, L"示例组织");
  ExpectTempClean();

  // Install over it and uninstall: no layout of the module is left behind,
  // however many each run registered; then the product installs and
  // uninstalls again in the same system.
  for (int round = 0; round < 2; ++round) {
    Install();
    ASSERT_NE(Open(kUninstallArgs, UninstallTitle(kDisplay)), nullptr);
    ASSERT_TRUE(RunOperation(dialog_));
    robot::ClickControl(dialog_, IDOK);
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_TRUE(LayoutsUsingModule(kModule).empty()) << "round " << round;
    EXPECT_TRUE(robot::WaitUntil([&] { return !Exists(installDir_); }, 10000));
  }
}

TEST_F(Removal, RepairWithoutTheBackupSaysSoAndChangesNothing) {
  Install();
  ASSERT_TRUE(DeleteFileW((installDir_ + L"_backup_.dat").c_str()));
  ASSERT_TRUE(DeleteFileW((installDir_ + L"config.exe").c_str()));
  robot::Process first;
  ASSERT_TRUE(robot::Start(installDir_ + L"unstall.exe", kRepairArgs, &first));
  copyPid_ = robot::WaitProcess(kWorkingCopyTail, 60000);
  ASSERT_NE(copyPid_, 0u);
  process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, copyPid_));
  robot::MsgBox box = robot::WaitMessageBox(L"无法执行的操作", 30000, copyPid_);
  ASSERT_TRUE(box);
  EXPECT_EQ(box.text, L"安装数据文件不存在或者已经损坏,修复程序无法运行.");
  EXPECT_TRUE(box.hasIcon);
  EXPECT_EQ(robot::FindTopWindow(RepairTitle(kDisplay), nullptr, copyPid_), nullptr);
  robot::Answer(box.hwnd, IDOK);
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_FALSE(Exists(installDir_ + L"config.exe"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Record()));
  ExpectTempClean();
}

// ---- a failed install ---------------------------------------------------------

TEST_F(Removal, FailedInstallLeavesTheMachineAsBeforeTheInstallClick) {
  // The module's place in the system folder is held open, shared with no
  // one: step 2 fails after step 1 has placed files everywhere and the
  // wizard has made the install folder.
  const std::wstring target = insttest::SystemDir() + kModule;
  ASSERT_TRUE(insttest::WriteAll(target, "held"));
  struct Release {
    std::wstring path;
    ui::FileHandle file;
    ~Release() {
      file.reset();
      DeleteFileW(path.c_str());
    }
  } held{target, ui::FileHandle(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr))};
  ASSERT_TRUE(held.file.valid());

  HWND wizard = StartWizard(setup_, WizardCaption(kDisplay), &copyPid_);
  ASSERT_NE(wizard, nullptr);
  process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, copyPid_));
  ASSERT_TRUE(robot::ClickControl(wizard, kAccept));
  ASSERT_TRUE(robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard, IDOK)); },
                               5000));
  const insttest::MachineSnapshot before({installDir_});
  ASSERT_TRUE(robot::ClickControl(wizard, IDOK));
  ASSERT_EQ(WaitFinished(wizard, 90000), kFailedCaption);
  EXPECT_EQ(robot::ListViewColumn(ProgressList(wizard)).back(), L"安装程序发生错误，所做操作已经撤销!");
  EXPECT_EQ(before.Diff(insttest::MachineSnapshot({installDir_})), L"");
  robot::ClickControl(wizard, IDOK);
  EXPECT_EQ(ExitCode(), 0u);
}

// ---- signed setups --------------------------------------------------------------

using SignedSetup = Removal;

TEST_F(SignedSetup, InstallsAndKeepsTheUnsignedPackageForRepair) {
  const std::wstring signedSetup = SampleSetup(L"sample-setup-signed.exe");
  ASSERT_TRUE(Exists(signedSetup)) << "scripts/pack-sample.sh signs the sample";
  std::vector<unsigned char> plain;
  ASSERT_TRUE(insttest::ReadAll(setup_, &plain));
  PackageExtent unsignedExtent = {};
  ASSERT_TRUE(ReadPackageExtent(plain.data(), plain.size(), &unsignedExtent));
  ASSERT_FALSE(unsignedExtent.isSigned);

  Install(signedSetup);
  std::vector<unsigned char> backup;
  ASSERT_TRUE(insttest::ReadAll(installDir_ + L"_backup_.dat", &backup));
  EXPECT_TRUE(backup == Slice(setup_, unsignedExtent.offset, unsignedExtent.size))
      << "the backup is not the package of the unsigned setup";
  // The kept package repairs.
  ASSERT_TRUE(DeleteFileW((installDir_ + L"config.exe").c_str()));
  ASSERT_NE(Open(kRepairArgs, RepairTitle(kDisplay)), nullptr);
  ASSERT_TRUE(RunOperation(dialog_));
  EXPECT_EQ(robot::ListViewColumn(robot::Control(dialog_, kProgressList)).back(),
            L"安装程序已经完成所有工作!");
  robot::ClickControl(dialog_, IDOK);
  EXPECT_EQ(ExitCode(), 0u);
  EXPECT_TRUE(Exists(installDir_ + L"config.exe"));
}

TEST_F(SignedSetup, DamagedCertificateDirectoryGivesTheGenericMessage) {
  std::vector<unsigned char> data;
  ASSERT_TRUE(insttest::ReadAll(SampleSetup(L"sample-setup-signed.exe"), &data));
  PeLayout pe = {};
  ASSERT_TRUE(ReadPeLayout(data.data(), data.size(), &pe));
  const size_t security = pe.loaderFlagsOffset + 8 + 4 * 8;
  const std::wstring copy = insttest::TempFolder() + L"kl damaged signature.exe";
  const uint32_t size = static_cast<uint32_t>(data.size());
  // Inside the executable part, then past the end of the file.
  for (const std::pair<uint32_t, uint32_t>& bad : {std::make_pair(pe.loaderFlags - 16, 16u),
                                                  std::make_pair(size - 8, 16u)}) {
    for (int i = 0; i < 4; ++i) {
      data[security + i] = static_cast<unsigned char>(bad.first >> (8 * i));
      data[security + 4 + i] = static_cast<unsigned char>(bad.second >> (8 * i));
    }
    ASSERT_TRUE(insttest::WriteAll(copy, std::string(data.begin(), data.end())));
    robot::Process first;
    ASSERT_TRUE(robot::Start(copy, L"", &first));
    copyPid_ = robot::WaitProcess(kWorkingCopyTail, 30000);
    ASSERT_NE(copyPid_, 0u);
    process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, copyPid_));
    robot::MsgBox box = robot::WaitMessageBox(L"安装程序提示信息", 30000, copyPid_);
    ASSERT_TRUE(box);
    EXPECT_EQ(box.text, L"程序无法执行任何操作，可能启动参数错误或者文件格式错误。");
    robot::Answer(box.hwnd, IDOK);
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_FALSE(Exists(installDir_));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Record()));
    ExpectTempClean();
  }
  DeleteFileW(copy.c_str());
}

}  // namespace
