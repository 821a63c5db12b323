// The unattended install's folder checks, read back from its log: a protected
// folder, a system or shell folder, and a folder other than the one an
// earlier install locked are refused with 1603 before anything is made.
#include "app/silent_install_win.h"

#include <gtest/gtest.h>

#include <string>

#include "../install/install_test_util_win.h"
#include "state/setup_log_win.h"
#include "robot_win.h"

namespace {

constexpr wchar_t kKey[] = L"KlSilentRefuse";
const std::wstring kVendor = std::wstring(L"Software\\zorbl\\") + kKey;

class SilentFolderChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    insttest::FillHeader(records_.header, kKey, L"静默测试");
    // An empty product: a run that got past the checks would place nothing.
    work_ = insttest::TempFolder() + testfs::Unique(L"klsilent") + L"\\";
    CreateDirectoryW(work_.c_str(), nullptr);
    CreateDirectoryW((work_ + L"KL_INSTALL\\").c_str(), nullptr);
    kl::Copy(records_.launch.workFolder, work_.c_str());
    kl::Copy(records_.launch.extractFolder, (work_ + L"KL_INSTALL\\").c_str());
    log_ = work_ + L"run.log";
    Clean();
  }
  void TearDown() override {
    Clean();
    insttest::RemoveTree(work_);
  }
  void Clean() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendor.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(insttest::kUninstallRoot) + kKey).c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\zorbl");  // only when empty
  }

  // One silent run with dir=[dir]: its exit code and its whole log.
  int Run(const std::wstring& dir, std::string* log) {
    UnattendedSwitches s;
    s.silent = true;
    s.hasDir = true;
    kl::Copy(s.dir, dir.c_str());
    setuplog::SetSilent(true);
    setuplog::Open(log_.c_str());
    const int code = RunSilentInstall(s);
    setuplog::Close(code);
    setuplog::SetSilent(false);
    *log = testfs::ReadText(log_);
    return code;
  }

  insttest::Records records_;
  std::wstring work_, log_;
};

std::string U8(const std::wstring& s) { return kl::ToUtf8(s.c_str()); }

TEST_F(SilentFolderChecks, ProtectedAndSystemFoldersAreRefusedForTheirReason) {
  const std::wstring programs = insttest::ShellFolder(CSIDL_PROGRAM_FILES);
  const std::wstring documents = insttest::ShellFolder(CSIDL_PERSONAL);
  const std::wstring inWindows = insttest::WindowsDir() + testfs::Unique(L"klsilent");
  struct Case {
    std::wstring dir;
    const char* reason;
  } cases[] = {
      // A root and the program-files folder itself: protected folders.
      {L"C:\\", "the install folder may not be installed into: "},
      {programs.substr(0, programs.size() - 1), "the install folder may not be installed into: "},
      // A user's shell folder and a new folder in the Windows folder.
      {documents, "is a system folder or a user's shell folder and is not installed into: "},
      {inWindows, "is a system folder or a user's shell folder and is not installed into: "},
  };
  for (const Case& c : cases) {
    std::string log;
    EXPECT_EQ(Run(c.dir, &log), kExitFailure) << U8(c.dir);
    EXPECT_NE(log.find(std::string(c.reason) + U8(c.dir)), std::string::npos)
        << U8(c.dir) << "\n" << log;
    EXPECT_EQ(log.find("  1."), std::string::npos) << log;  // no install step began
  }
  EXPECT_FALSE(testfs::Exists(inWindows));
  EXPECT_FALSE(insttest::KeyExists(HKEY_LOCAL_MACHINE, kVendor));
}

TEST_F(SilentFolderChecks, AnotherFolderThanTheLockedOneIsRefused) {
  const std::wstring locked = work_ + L"Locked IME\\";
  const std::wstring other = work_ + L"Other IME";
  ASSERT_TRUE(robot::SetRegistryString(HKEY_LOCAL_MACHINE, kVendor, L"KMEInstallPath", locked));
  std::string log;
  EXPECT_EQ(Run(other, &log), kExitFailure);
  EXPECT_NE(log.find("already installed in " + U8(locked) + ": uninstall first to install into " +
                     U8(other)),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("install folder: "), std::string::npos) << log;  // never chosen
  EXPECT_FALSE(testfs::Exists(other));
  EXPECT_FALSE(testfs::Exists(locked));
}

}  // namespace
