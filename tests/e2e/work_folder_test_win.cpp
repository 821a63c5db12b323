// What a standard user can plant in their own temporary folder, beside the
// setup or in their environment never steers the elevated setup: the old
// fixed work folder and copy names, a library named like a system one, and
// COMSPEC. (Wine runs everything elevated; the test plays the user by
// planting first.)
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "../unit/install/install_test_util_win.h"
#include "robot_win.h"
#include "sample_product_win.h"
#include "testfs_win.h"
#include "wizard_robot_win.h"

namespace {

using insttest::Exists;
using insttest::TempFolder;

class WorkFolderAndDlls : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    const std::wstring sample = wizrobot::SampleSetup();
    ASSERT_TRUE(Exists(sample)) << "no sample setup (scripts/pack-sample.sh makes it)";
    folder_ = TempFolder() + L"kl planted e2e\\";
    Clean();
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    setup_ = folder_ + L"sample-setup.exe";
    ASSERT_TRUE(CopyFileW(sample.c_str(), setup_.c_str(), FALSE));
  }
  void TearDown() override {
    for (DWORD pid : robot::FindProcesses(wizrobot::kWorkingCopyTail)) robot::Kill(pid);
    Clean();
    CoUninitialize();
  }
  void Clean() {
    sample::RemoveInstall();
    insttest::RemoveTree(folder_);
    insttest::RemoveTree(sample::WorkFolder());
    DeleteFileW((TempFolder() + L"___kelo_install_base___.exe").c_str());
    for (const wchar_t* f : {L"msimg32.dll", L"msimg32.dll.trace", L"kl planted cmd.exe",
                             L"kl planted cmd.exe.trace", L"kl planted decoy.txt"})
      DeleteFileW((TempFolder() + f).c_str());
  }

  // Runs exe silently with the planted library preferred to the system's
  // (as Windows does with one beside a program) and COMSPEC pointing at the
  // planted program; its exit code once the working copy has ended too.
  DWORD Run(const std::wstring& exe, const std::wstring& arguments) {
    robot::StartOptions options;
    options.environment = {{L"WINEDLLOVERRIDES", L"msimg32=n,b"},
                           {L"COMSPEC", TempFolder() + L"kl planted cmd.exe"}};
    robot::Process p;
    if (!robot::Start(exe, arguments, &p, options)) return 99;
    DWORD code = 98;
    robot::WaitExit(p, 180000, &code);
    robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 20000);
    return code;
  }

  std::wstring folder_, setup_;
};

TEST_F(WorkFolderAndDlls, PlantedFoldersLibrariesAndInterpreterAreNeverUsed) {
  const std::wstring temp = TempFolder();
  // The names in the temporary folder that match pattern.
  auto folders = [&](const wchar_t* pattern) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    ui::FindHandle f(FindFirstFileW((temp + pattern).c_str(), &found));
    if (f.valid())
      do names.insert(found.cFileName);
      while (FindNextFileW(f.get(), &found));
    return names;
  };
  const std::set<std::wstring> workBefore = folders(L"__KLIMEWork*");
  // The old work folder, made beforehand with a file of the user's in the
  // place of the package's description.
  const std::wstring oldWork = sample::WorkFolder();
  ASSERT_TRUE(CreateDirectoryW(oldWork.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((oldWork + L"KL_INSTALL").c_str(), nullptr));
  ASSERT_TRUE(testfs::WriteAll(oldWork + L"KL_INSTALL\\InstallInfo.kif", std::string("user's")));
  // The old working copy's name: a link to a file of the user's.
  const std::wstring decoy = temp + L"kl planted decoy.txt";
  ASSERT_TRUE(testfs::WriteAll(decoy, std::string("decoy")));
  const bool linked = CreateSymbolicLinkW((temp + L"___kelo_install_base___.exe").c_str(),
                                          decoy.c_str(), 0) != 0;
  // A library named like a system one, in the temporary folder and beside
  // the setup, and a program for COMSPEC.
  const std::wstring trace = testfs::BinFolder() + L"trace_msimg32.dll";
  ASSERT_TRUE(CopyFileW(trace.c_str(), (temp + L"msimg32.dll").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(trace.c_str(), (folder_ + L"msimg32.dll").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW((testfs::BinFolder() + L"leave_trace.exe").c_str(),
                        (temp + L"kl planted cmd.exe").c_str(), FALSE));

  // The install still succeeds, and so does the uninstall from the installed
  // program (which moves itself out and has its folder removed after its
  // end by the interpreter).
  ASSERT_EQ(Run(setup_, L"-s"), 0u);
  const std::wstring unstall = sample::InstallDir() + L"unstall.exe";
  ASSERT_TRUE(Exists(unstall));
  // Folders an earlier test's uninstaller left (one ended early) are not this run's.
  const std::set<std::wstring> before = folders(L"__KLIMEUninstall*");
  EXPECT_EQ(Run(unstall, L"-s -u name=[KeloSample]"), 0u);
  EXPECT_TRUE(robot::WaitUntil([] { return !Exists(sample::InstallDir()); }, 15000));
  // The interpreter started for after the end has run once the folder the
  // uninstaller moved itself into is gone.
  EXPECT_TRUE(robot::WaitUntil(
      [&] {
        for (const std::wstring& name : folders(L"__KLIMEUninstall*"))
          if (!before.count(name)) return false;
        return true;
      },
      15000))
      << "the uninstaller's folder stays: its interpreter did not run";

  EXPECT_FALSE(Exists(temp + L"msimg32.dll.trace")) << "the library in the temporary folder was loaded";
  EXPECT_FALSE(Exists(folder_ + L"msimg32.dll.trace")) << "the library beside the setup was loaded";
  EXPECT_FALSE(Exists(temp + L"kl planted cmd.exe.trace")) << "COMSPEC's program was started";
  EXPECT_EQ(testfs::ReadText(oldWork + L"KL_INSTALL\\InstallInfo.kif"), "user's");
  EXPECT_EQ(testfs::ReadText(decoy), "decoy") << "written through the planted link";
  (void)linked;  // where links can be made, the file behind one is unchanged (above)
  // Nothing of the runs stays: their private folders are gone (those of
  // earlier tests' runs are not this test's).
  EXPECT_TRUE(robot::WaitUntil(
      [&] {
        for (const std::wstring& name : folders(L"__KLIMEWork*"))
          if (!workBefore.count(name)) return false;
        return true;
      },
      10000));
}

}  // namespace
