// The elevated setup and what a standard user can write. Wine runs every
// process elevated, so the cases play the user by writing per-user registry
// values and files before the run: a per-user install folder never steers a
// silent repair or uninstall of the real install (nothing loaded, repaired
// from or removed there), and a log switch never replaces a file that is not
// a log of ours. (The update server's places: update_test_win.cpp.)
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "../unit/install/install_test_util_win.h"
#include "robot_win.h"
#include "sample_product_win.h"
#include "testfs_win.h"
#include "wizard_robot_win.h"

namespace {

using insttest::Exists;
using sample::InstallDir;
using sample::kDisplay;
using sample::kKey;
using sample::kVendorKey;
using sample::Narrow;
using Files = std::map<std::wstring, std::vector<unsigned char>>;

// Every file under folder (relative name → bytes).
void ListFiles(const std::wstring& folder, const std::wstring& prefix, Files* out) {
  WIN32_FIND_DATAW found;
  ui::FindHandle f(FindFirstFileW((folder + L"*").c_str(), &found));
  if (!f.valid()) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListFiles(folder + name + L"\\", prefix + name + L"\\", out);
    else
      testfs::ReadAll(folder + name, &(*out)[prefix + name]);
  } while (FindNextFileW(f.get(), &found));
}

// Starts exe and waits for it and its working copy; its exit code.
DWORD RunToEnd(const std::wstring& exe, const std::wstring& arguments) {
  robot::Process p;
  DWORD code = ~0u;
  if (!robot::Start(exe, arguments, &p)) return code;
  robot::WaitExit(p, 180000, &code);
  robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 20000);
  return code;
}

class Trust : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(wizrobot::SampleSetup())) << "no sample setup (scripts/pack-sample.sh)";
    CoInitialize(nullptr);
    user_ = insttest::ShellFolder(CSIDL_PERSONAL) + L"KlTrustUser\\";
    trace_ = insttest::TempFolder() + L"KLInterfaceMessage.log";
    log_ = insttest::TempFolder() + L"kl trust e2e.log";
    Clean();
  }
  void TearDown() override {
    Clean();
    CoUninitialize();
  }
  void Clean() {
    for (DWORD pid : robot::FindProcesses(wizrobot::kWorkingCopyTail)) robot::Kill(pid);
    insttest::Uninstall(kKey, kDisplay, InstallDir(), {L"KeloSample_sys.dll"},
                        {L"KeloSample_win.dat"}, {L"KeloSampleSans.ttf"},
                        {L"KeloSampleSans(TrueType)"});
    insttest::RemoveTree(user_);
    insttest::RemoveTree(sample::WorkFolder());
    DeleteFileW(trace_.c_str());
    DeleteFileW(log_.c_str());
  }
  void PointUserValueAtUsersFolder() {
    ASSERT_TRUE(robot::SetRegistryString(HKEY_CURRENT_USER, kVendorKey, L"KMEInstallPath", user_));
  }

  std::wstring user_, trace_, log_;
};

TEST_F(Trust, PerUserInstallFolderNeverSteersRepairOrUninstall) {
  ASSERT_EQ(RunToEnd(wizrobot::SampleSetup(), L"-s"), 0u);
  const std::wstring real = InstallDir();
  // The user's folder: own files, a planted interface library, a package
  // that would install (the real one's copy) and an uninstaller.
  for (const wchar_t* sub : {L"", L"photos\\", L"ITF\\"})
    ASSERT_TRUE(CreateDirectoryW((user_ + sub).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(testfs::WriteAll(user_ + L"notes.txt", std::string("mine")));
  ASSERT_TRUE(testfs::WriteAll(user_ + L"photos\\a.jpg", std::string("\xFF\xD8 photo")));
  for (const wchar_t* f : {L"ITF\\Interface.dll", L"_backup_.dat", L"unstall.exe"})
    ASSERT_TRUE(CopyFileW((real + f).c_str(), (user_ + f).c_str(), FALSE)) << Narrow(f);
  Files before;
  ListFiles(user_, L"", &before);
  PointUserValueAtUsersFolder();

  // Repair: the real folder's backup repairs the real folder; the records
  // keep naming it; the run's log names the value it ignored.
  ASSERT_TRUE(DeleteFileW((real + L"config.exe").c_str()));
  EXPECT_EQ(RunToEnd(real + L"unstall.exe", L"-s -r name=[KeloSample] log=[" + log_ + L"]"), 0u);
  EXPECT_TRUE(Exists(real + L"config.exe"));
  EXPECT_FALSE(Exists(user_ + L"config.exe"));
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, kVendorKey, L"KMEInstallPath").text, real);
  EXPECT_NE(insttest::ReadValue(HKEY_LOCAL_MACHINE, sample::Record(), L"UninstallString")
                .text.find(real),
            std::wstring::npos);
  const std::string log = testfs::ReadText(log_);
  EXPECT_NE(log.find("the per-user KMEInstallPath (" + Narrow(user_) + ") is ignored"),
            std::string::npos)
      << log;

  // Uninstall: the real install goes, the user's folder stays as it was,
  // and the planted library was never called.
  PointUserValueAtUsersFolder();
  EXPECT_EQ(RunToEnd(real + L"unstall.exe", L"-s -u name=[KeloSample]"), 0u);
  EXPECT_TRUE(robot::WaitUntil([&] { return !Exists(real); }, 15000)) << "the real install stays";
  EXPECT_FALSE(insttest::KeyExists(HKEY_LOCAL_MACHINE, sample::Record()));
  EXPECT_FALSE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
  Files after;
  ListFiles(user_, L"", &after);
  EXPECT_TRUE(after == before) << "the user's folder changed";
  const std::string trace = testfs::ReadText(trace_);
  EXPECT_EQ(trace.find("KlTrustUser"), std::string::npos) << trace;
  EXPECT_NE(trace.find("module=" + Narrow(real) + "ITF\\Interface.dll"), std::string::npos)
      << trace;  // the real one was
}

TEST_F(Trust, LogSwitchNeverReplacesAFileThatIsNotOurLog) {
  const std::wstring winIni = insttest::WindowsDir() + L"win.ini";
  std::vector<unsigned char> original;
  ASSERT_TRUE(testfs::ReadAll(winIni, &original));
  const std::wstring fallback = insttest::TempFolder() + L"KlTrustNothing-setup.log";
  DeleteFileW(fallback.c_str());
  // Nothing of that name is installed: the run ends at once, logged.
  EXPECT_EQ(RunToEnd(insttest::BinFolder() + L"setup.exe",
                L"-s -u name=[KlTrustNothing] log=[" + winIni + L"]"),
            1602u);
  std::vector<unsigned char> now;
  ASSERT_TRUE(testfs::ReadAll(winIni, &now));
  EXPECT_TRUE(now == original) << "win.ini changed";
  const std::string log = testfs::ReadText(fallback);
  DeleteFileW(fallback.c_str());
  EXPECT_NE(log.find("log file " + Narrow(winIni) + " is not a log of this program: kept untouched"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("exit code 1602"), std::string::npos) << log;
}

}  // namespace
