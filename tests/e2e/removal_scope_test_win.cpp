// What the uninstall removes, run unattended under Wine: exactly what the
// installs placed (by the removal record under the machine-wide vendor key),
// the whole folder for an install without a record but never a system or
// user folder, and the destinations an install refuses.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "install/install_record_win.h"
#include "robot_win.h"
#include "sample_product_win.h"
#include "screenshot_win.h"
#include "testfs_win.h"
#include "wizard_robot_win.h"

namespace {

using insttest::Exists;

constexpr wchar_t kChosenRoot[] = L"C:\\Apps\\";
constexpr wchar_t kChosenDir[] = L"C:\\Apps\\Scope IME\\";

// The files and folders in folder, relative, at any depth ("sub\\" for a folder).
std::set<std::wstring> Listing(const std::wstring& folder, const std::wstring& rel = L"") {
  std::set<std::wstring> out;
  WIN32_FIND_DATAW e;
  ui::FindHandle f(FindFirstFileW((folder + rel + L"*").c_str(), &e));
  if (!f.valid()) return out;
  do {
    const std::wstring name = e.cFileName;
    if (name == L"." || name == L"..") continue;
    if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.insert(rel + name + L"\\");
      for (const std::wstring& s : Listing(folder, rel + name + L"\\")) out.insert(s);
    } else {
      out.insert(rel + name);
    }
  } while (FindNextFileW(f.get(), &e));
  return out;
}

class RemovalScope : public ::testing::Test {
 protected:
  void SetUp() override {
    setup_ = wizrobot::SampleSetup();
    ASSERT_TRUE(Exists(setup_)) << "no sample setup (scripts/pack-sample.sh makes it)";
    defaultDir_ = sample::InstallDir();
    documents_ = insttest::ShellFolder(CSIDL_PERSONAL);
    ASSERT_FALSE(documents_.empty());
    userFile_ = documents_ + L"kl scope letter.txt";
    log_ = insttest::TempFolder() + L"kl removal scope.log";
    Clean();
  }
  void TearDown() override {
    for (DWORD pid : robot::FindProcesses(wizrobot::kWorkingCopyTail)) robot::Kill(pid);
    Clean();
  }
  void Clean() {
    for (const std::wstring& dir : {defaultDir_, std::wstring(kChosenDir)})
      sample::RemoveInstall(dir);
    insttest::RemoveTree(kChosenRoot);
    DeleteFileW(userFile_.c_str());
    DeleteFileW(log_.c_str());
  }
  DWORD Run(const std::wstring& exe, const std::wstring& arguments) {
    robot::Process p;
    if (!robot::Start(exe, arguments + L" log=[" + log_ + L"]", &p)) return ~0u;
    DWORD code = ~0u;
    robot::WaitExit(p, 180000, &code);
    robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 20000);
    return code;
  }
  std::string Log() { return testfs::ReadText(log_); }
  // The machine-wide install folder (and the per-user one, which an earlier
  // start-up read first) pointed elsewhere, with no removal record.
  static void PointInstallFolderAt(const std::wstring& folder) {
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
      ASSERT_TRUE(robot::SetRegistryString(hive, sample::kVendorKey, L"KMEInstallPath", folder));
  }
  static std::string U8(const std::wstring& s) { return sample::Narrow(s); }

  std::wstring setup_, defaultDir_, documents_, userFile_, log_;
};

TEST_F(RemovalScope, UninstallLeavesTheUsersFilesAndTheFolderTheyWereIn) {
  ASSERT_TRUE(CreateDirectoryW(kChosenRoot, nullptr));
  ASSERT_TRUE(CreateDirectoryW(kChosenDir, nullptr));
  const std::wstring dir = kChosenDir;
  ASSERT_TRUE(insttest::WriteAll(dir + L"notes.txt", "mine"));
  ASSERT_TRUE(CreateDirectoryW((dir + L"photos").c_str(), nullptr));
  ASSERT_TRUE(insttest::WriteAll(dir + L"photos\\cat.jpg", "meow"));
  const std::set<std::wstring> before = Listing(dir);

  ASSERT_EQ(Run(setup_, L"-s dir=[C:\\Apps\\Scope IME]"), 0u) << Log();
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, sample::kVendorKey, kRemovalRecordValue).type,
            static_cast<DWORD>(REG_BINARY));
  const std::set<std::wstring> installed = Listing(dir);
  ASSERT_GT(installed.size(), before.size() + 3);
  ASSERT_TRUE(Exists(dir + L"unstall.exe"));
  ASSERT_TRUE(Exists(dir + L"_backup_.dat"));

  // A repair places over its own files: they stay the product's.
  ASSERT_EQ(Run(dir + L"unstall.exe", L"-s -r name=[KeloSample]"), 0u) << Log();

  ASSERT_EQ(Run(dir + L"unstall.exe", L"-s -u name=[KeloSample]"), 0u) << Log();
  // Every product file went; the user's files and the folder stay.
  EXPECT_TRUE(robot::WaitUntil([&] { return Listing(dir) == before; }, 15000));
  std::wstring rest;
  for (const std::wstring& s : Listing(dir)) rest += s + L" ";
  EXPECT_EQ(Listing(dir), before) << U8(rest);
  EXPECT_FALSE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
  EXPECT_FALSE(Exists(insttest::SystemDir() + L"KeloSample_sys.dll"));
  EXPECT_FALSE(Exists(insttest::ShellFolder(CSIDL_FONTS) + L"KeloSampleSans.ttf"));
  EXPECT_TRUE(insttest::ReadValue(HKEY_LOCAL_MACHINE, insttest::kFontsKey,
                                  L"KeloSampleSans(TrueType)").text.empty());
  EXPECT_FALSE(Exists(insttest::ShellFolder(CSIDL_COMMON_APPDATA) + L"KeloIMEs\\KeloSample"));
  EXPECT_FALSE(insttest::KeyExists(HKEY_LOCAL_MACHINE, sample::kVendorKey));
  const std::string log = Log();
  EXPECT_NE(log.find("left in place: " + U8(dir + L"notes.txt")), std::string::npos) << log;
  EXPECT_NE(log.find("left in place: " + U8(dir + L"photos\\cat.jpg")), std::string::npos) << log;
}

TEST_F(RemovalScope, AnInstallWithoutARecordIsStillRemovedCompletely) {
  ASSERT_EQ(Run(setup_, L"-s"), 0u) << Log();
  // As an earlier build leaves it.
  insttest::DeleteValue(HKEY_LOCAL_MACHINE, sample::kVendorKey, kRemovalRecordValue);
  ASSERT_EQ(Run(defaultDir_ + L"unstall.exe", L"-s -u name=[KeloSample]"), 0u) << Log();
  EXPECT_TRUE(robot::WaitUntil([&] { return !Exists(defaultDir_); }, 15000));
  EXPECT_FALSE(Exists(insttest::ShellFolder(CSIDL_COMMON_APPDATA) + L"KeloIMEs\\KeloSample"));
  EXPECT_FALSE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
  EXPECT_NE(Log().find("no removal record"), std::string::npos) << Log();
}

TEST_F(RemovalScope, NeverIntoTheWindowsFolderNorTheUsersDocuments) {
  ASSERT_TRUE(insttest::WriteAll(userFile_, "dear"));
  const std::wstring fonts = insttest::ShellFolder(CSIDL_FONTS);
  for (const std::wstring& target : {fonts, documents_}) {
    const std::set<std::wstring> before = Listing(target);
    std::wstring arg = target;
    if (arg.back() == L'\\') arg.pop_back();
    EXPECT_EQ(Run(setup_, L"-s dir=[" + arg + L"]"), 1603u) << U8(target);
    EXPECT_EQ(Listing(target), before) << U8(target);
    EXPECT_NE(Log().find("not installed into: "), std::string::npos) << Log();
    EXPECT_FALSE(insttest::KeyExists(HKEY_LOCAL_MACHINE, sample::kVendorKey));
    EXPECT_FALSE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
  }
}

TEST_F(RemovalScope, TheWizardSaysWhyItWillNotInstallIntoDocuments) {
  const std::wstring caption = wizrobot::WizardCaption(sample::kDisplay);
  DWORD pid = 0;
  HWND wizard = wizrobot::StartWizard(setup_, caption, &pid);
  ASSERT_NE(wizard, nullptr);
  ui::Handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  std::wstring docs = documents_;
  docs.pop_back();
  ASSERT_TRUE(robot::SetText(wizrobot::DirEdit(wizard), docs));
  const std::set<std::wstring> before = Listing(documents_);
  robot::ClickControl(wizard, wizrobot::kAccept);
  ASSERT_TRUE(robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard, IDOK)); },
                               5000));
  ASSERT_TRUE(robot::ClickControl(wizard, IDOK));
  // A message box with the wizard's own caption (so not the wizard itself).
  HWND boxWindow = nullptr;
  ASSERT_TRUE(robot::WaitUntil(
      [&] {
        for (HWND h : robot::FindTopWindows(caption, robot::kDialogClass, pid))
          if (h != wizard) boxWindow = h;
        return boxWindow != nullptr;
      },
      30000));
  const robot::MsgBox box = robot::ReadMessageBox(boxWindow);
  EXPECT_EQ(box.text, L"所选安装目录:\r\n" + docs +
                          L"\r\n是系统目录或用户的个人文件夹，不能安装到该目录中，请选择其他安装目录！");
  EXPECT_TRUE(box.hasIcon);
  const std::wstring shots = insttest::BinFolder() + L"..\\screenshots\\";
  CreateDirectoryW(shots.c_str(), nullptr);
  EXPECT_TRUE(CaptureWindowPng(boxWindow, (shots + L"install_folder_refused.png").c_str()));
  robot::Answer(boxWindow, IDOK);
  // Nothing happened: the wizard still offers the install, Documents is as it was.
  EXPECT_TRUE(robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard, IDOK)); },
                               5000));
  EXPECT_EQ(robot::ControlText(wizard, IDOK), wizrobot::kInstallCaption);
  EXPECT_EQ(Listing(documents_), before);
  EXPECT_FALSE(insttest::KeyExists(HKEY_LOCAL_MACHINE, sample::kVendorKey));
  robot::Command(wizard, IDCANCEL);
  EXPECT_TRUE(robot::WaitExit(process.get(), 20000));
}

TEST_F(RemovalScope, AnInstallFolderWithoutARecordPointingAtDocumentsLeavesThem) {
  ASSERT_EQ(Run(setup_, L"-s"), 0u) << Log();
  insttest::DeleteValue(HKEY_LOCAL_MACHINE, sample::kVendorKey, kRemovalRecordValue);
  ASSERT_TRUE(insttest::WriteAll(userFile_, "dear"));
  const std::set<std::wstring> documents = Listing(documents_);
  PointInstallFolderAt(documents_);
  EXPECT_EQ(Run(insttest::BinFolder() + L"setup.exe", L"-s -u name=[KeloSample]"), 0u) << Log();
  EXPECT_EQ(Listing(documents_), documents);
  EXPECT_TRUE(Exists(userFile_));
  EXPECT_NE(Log().find("left in place: " + U8(documents_)), std::string::npos) << Log();

  // The same under the system folder.
  const std::wstring drivers = insttest::SystemDir() + L"drivers\\";
  const std::set<std::wstring> driverFiles = Listing(drivers);
  PointInstallFolderAt(drivers);
  Run(insttest::BinFolder() + L"setup.exe", L"-s -u name=[KeloSample]");
  EXPECT_TRUE(Exists(drivers));
  EXPECT_EQ(Listing(drivers), driverFiles);
}

}  // namespace
