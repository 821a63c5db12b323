// A silent run that does not remove or replace the program it runs from
// works in the process that was started: no working copy, no interpreter, no
// other process at all, and nothing of it left in the temporary folder. A
// silent uninstall from the installed unstall.exe works in its process too.
#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cwctype>
#include <set>
#include <string>
#include <thread>

#include "../unit/install/install_test_util_win.h"
#include "robot_win.h"
#include "sample_product_win.h"
#include "testfs_win.h"
#include "wizard_robot_win.h"

namespace {

using insttest::Exists;
using insttest::TempFolder;

// Every process whose parent is one of the watched ones (the started program
// and, transitively, what it starts), collected until Stop.
class ChildWatch {
 public:
  explicit ChildWatch(DWORD root) : thread_([this] { Loop(); }) { tree_.insert(root); }
  ~ChildWatch() { Stop(); }
  // The names of the programs started, without the one Wine's shell starts
  // itself when a link is saved (it is no program of the setup's).
  std::set<std::wstring> Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    std::set<std::wstring> ours;
    for (const std::wstring& name : started_)
      if (_wcsicmp(name.c_str(), L"winemenubuilder.exe") != 0) ours.insert(name);
    return ours;
  }

 private:
  void Loop() {
    while (!stop_) {
      ui::Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
      PROCESSENTRY32W e = {};
      e.dwSize = sizeof(e);
      if (snap.get() != INVALID_HANDLE_VALUE && Process32FirstW(snap.get(), &e)) do {
          // A process so new that its name is not known yet is taken next time.
          // Wine starts its own services again (wineboot.exe, services.exe
          // and through it plugplay.exe, winedevice.exe...) as children of
          // whichever program starts first after the previous test's
          // processes have ended, and its desktop (explorer.exe) under the
          // first program that needs one, such as the console of an
          // interpreter: those trees are Wine's, not the setup's.
          if (tree_.count(e.th32ParentProcessID) && !tree_.count(e.th32ProcessID) &&
              e.szExeFile[0] && _wcsicmp(e.szExeFile, L"wineboot.exe") != 0 &&
              _wcsicmp(e.szExeFile, L"services.exe") != 0 && _wcsicmp(e.szExeFile, L"explorer.exe") != 0) {
            tree_.insert(e.th32ProcessID);
            started_.insert(e.szExeFile);
          }
        } while (Process32NextW(snap.get(), &e));
      Sleep(2);
    }
  }
  std::atomic<bool> stop_{false};
  std::set<DWORD> tree_;
  std::set<std::wstring> started_;
  std::thread thread_;
};

class OneProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    setup_ = wizrobot::SampleSetup();
    ASSERT_TRUE(Exists(setup_)) << "no sample setup (scripts/pack-sample.sh makes it)";
    log_ = TempFolder() + L"kl one process e2e.log";
    Clean();
    before_ = sample::RunFolders();
  }
  void TearDown() override {
    for (DWORD pid : robot::FindProcesses(wizrobot::kWorkingCopyTail)) robot::Kill(pid);
    Clean();
    CoUninitialize();
  }
  void Clean() {
    sample::RemoveInstall();
    DeleteFileW(log_.c_str());
  }
  // Runs exe silently with the test's log; its exit code, and the names of
  // the programs its process tree started.
  DWORD Run(const std::wstring& exe, const std::wstring& arguments, std::set<std::wstring>* started) {
    robot::Process p;
    if (!robot::Start(exe, arguments + L" log=[" + log_ + L"]", &p)) return 99;
    ChildWatch watch(p.pid());
    DWORD code = 98;
    robot::WaitExit(p, 180000, &code);
    Sleep(300);  // what an ending run may still have started shows up by now
    *started = watch.Stop();
    robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 20000);
    return code;
  }
  std::string Log() { return testfs::ReadText(log_); }

  std::wstring setup_, log_;
  std::set<std::wstring> before_;
};

TEST_F(OneProcess, SilentInstallAndUninstallBySetupStartNothingAndLeaveNothing) {
  std::set<std::wstring> started;
  ASSERT_EQ(Run(setup_, L"-s", &started), 0u);
  EXPECT_TRUE(started.empty()) << "the install started " << started.size() << " process(es), e.g. "
                               << sample::Narrow(*started.begin());
  EXPECT_TRUE(Exists(sample::InstallDir() + L"unstall.exe"));
  std::string log = Log();
  for (const char* line : {"command line: -s log=[", "mode: install, silent", "  1.创建文件系统....",
                           "  6.清除安装程序创建的临时文件...", "安装程序已经完成所有工作!",
                           "exit code 0 (success)"})
    EXPECT_NE(log.find(line), std::string::npos) << line << " missing in:\n" << log;
  // The command line names no copy's source: this process is the setup.
  EXPECT_EQ(log.find(" file="), std::string::npos) << log;
  EXPECT_TRUE(sample::NoRunFolderBut(before_)) << "a private folder of the run stayed";

  // The uninstall started from the setup (not from the installed program)
  // is done in one process too, and removes the install folder.
  ASSERT_EQ(Run(setup_, L"-s -u name=[KeloSample]", &started), 0u);
  EXPECT_TRUE(started.empty()) << "the uninstall started " << sample::Narrow(*started.begin());
  EXPECT_FALSE(Exists(sample::InstallDir()));
  log = Log();
  EXPECT_NE(log.find("mode: uninstall, silent"), std::string::npos) << log;
  EXPECT_NE(log.find("exit code 0 (success)"), std::string::npos) << log;
  EXPECT_TRUE(sample::NoRunFolderBut(before_)) << "a private folder of the run stayed";
}

// What is waiting for the next restart (the file names of the pending
// renames and deletions), as one lower-case text.
std::wstring PendingAtRestart() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return L"";
  std::wstring data(32768, L'\0');
  DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS)
    size = 0;
  RegCloseKey(key);
  data.resize(size / sizeof(wchar_t));
  for (wchar_t& c : data) c = c ? towlower(c) : L'|';
  return data;
}

TEST_F(OneProcess, SilentUninstallFromTheInstalledProgramWorksInItsProcess) {
  std::set<std::wstring> started;
  ASSERT_EQ(Run(setup_, L"-s", &started), 0u);
  const std::wstring program = sample::InstallDir() + L"unstall.exe";
  ASSERT_EQ(Run(program, L"-s -u name=[KeloSample]", &started), 0u);
  // No working copy: at most the interpreter that removes the moved program
  // once it has ended.
  for (const std::wstring& name : started)
    EXPECT_TRUE(_wcsicmp(name.c_str(), L"cmd.exe") == 0 || _wcsicmp(name.c_str(), L"ping.exe") == 0 ||
                _wcsicmp(name.c_str(), L"conhost.exe") == 0)
        << "the uninstall started " << sample::Narrow(name);
  const std::string log = Log();
  for (const char* line : {"mode: uninstall, silent", "file in use, not removed: ",
                           "in use by this run: removed once it has ended", "exit code 0 (success)"})
    EXPECT_NE(log.find(line), std::string::npos) << line << " missing in:\n" << log;
  // The install folder is gone when the program ends, and nothing of it waits
  // for the restart (that would take what a later install puts there).
  EXPECT_FALSE(Exists(sample::InstallDir()));
  std::wstring folder = sample::InstallDir();
  for (wchar_t& c : folder) c = towlower(c);
  folder.pop_back();  // without the trailing backslash
  EXPECT_EQ(PendingAtRestart().find(folder), std::wstring::npos);
  // The moved program and its folder go a moment after the end; no work
  // folder stays.
  EXPECT_TRUE(robot::WaitUntil([&] { return sample::NoRunFolderBut(before_); }, 15000))
      << "a private folder of the run stayed";
}

}  // namespace
