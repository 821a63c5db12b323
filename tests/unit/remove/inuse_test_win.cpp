// The in-use scan and dialog against real processes: holdime.exe loads a copy
// of the sample IME module under a test name, the scan must find it, and the
// dialog (template 140 from setup.exe) is run modally on a second thread and
// driven like a user would: its list box lines are read back and its buttons
// clicked.
#include <windows.h>
#include <psapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "install/inuse_win.h"
#include "robot_win.h"
#include "ui/dialog_win.h"
#include "ui/owners_win.h"

namespace {

constexpr wchar_t kCaption[] = L"输入法载入状态";

std::wstring ExeDir() {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring dir(exe);
  return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

std::string Narrow(const std::wstring& s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, &out[0], n, nullptr, nullptr);
  return out;
}

// The dialog templates live in setup.exe beside this program.
class TemplateEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    module_.reset(LoadLibraryExW((ExeDir() + L"setup.exe").c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ui::SetTemplateModule(module_.get());
  }
  void TearDown() override {
    ui::SetTemplateModule(nullptr);
    module_.reset();
  }

 private:
  ui::Module module_;
};
const auto* const g_templates = ::testing::AddGlobalTestEnvironment(new TemplateEnvironment);

// Security descriptor from SDDL text (LocalFree'd).
struct LocalBlock {
  void operator()(void* p) const { LocalFree(p); }
};

class InUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"kl_inuse_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(dir_.c_str(), nullptr);
    module_ = ExeDir() + L"sample\\KeloSample.ime";
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(module_.c_str()))
        << "sample IME module not built: " << Narrow(module_);
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((ExeDir() + L"setup.exe").c_str()))
        << "setup.exe (dialog templates) not built";
  }

  void TearDown() override {
    for (auto& p : holders_) {
      if (WaitForSingleObject(p->handle(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(p->handle(), 1);
        WaitForSingleObject(p->handle(), 5000);
      }
    }
    holders_.clear();
    for (const auto& f : files_) DeleteFileW(f.c_str());
    RemoveDirectoryW(dir_.c_str());
  }

  // Copies the sample IME module into the test folder as fileName.
  std::wstring PlaceModule(const std::wstring& fileName) {
    std::wstring path = dir_ + fileName;
    EXPECT_TRUE(CopyFileW(module_.c_str(), path.c_str(), FALSE)) << Narrow(path);
    files_.push_back(path);
    return path;
  }

  // Starts holdime.exe on modulePath and waits until the module is loaded.
  // With `protect`, the process object's access list leaves out the right to
  // terminate it. Returns its pid, 0 on failure.
  DWORD StartHolder(const std::wstring& modulePath, bool protect = false) {
    std::wstring event = L"kl_inuse_ready_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                         std::to_wstring(holders_.size());
    ui::Handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    std::wstring exe = ExeDir() + L"holdime.exe";
    std::wstring line = L"\"" + exe + L"\" \"" + modulePath + L"\" 120000 " + event;
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(0);

    // Everyone: every process right but PROCESS_TERMINATE (1).
    std::unique_ptr<void, LocalBlock> descriptor;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
    if (protect) {
      PSECURITY_DESCRIPTOR sd = nullptr;
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;0x1FFFFE;;;WD)",
                                                                SDDL_REVISION_1, &sd, nullptr))
        return 0;
      descriptor.reset(sd);
      sa.lpSecurityDescriptor = sd;
    }
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), mutableLine.data(), protect ? &sa : nullptr, nullptr, FALSE,
                        0, nullptr, nullptr, &si, &pi))
      return 0;
    auto process = std::make_unique<robot::Process>();
    process->info.Take(pi);
    HANDLE waits[2] = {ready.get(), process->handle()};
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, 15000);
    DWORD pid = process->pid();
    holders_.push_back(std::move(process));
    return r == WAIT_OBJECT_0 ? pid : 0;
  }

  HANDLE HolderHandle(DWORD pid) const {
    for (const auto& p : holders_)
      if (p->pid() == pid) return p->handle();
    return nullptr;
  }

  std::wstring dir_;
  std::wstring module_;
  std::vector<std::wstring> files_;
  std::vector<std::unique_ptr<robot::Process>> holders_;
};

// Runs a scanned dialog modally on its own thread, as the product's callers
// do on theirs, so the test thread can act as the user.
class ModalRun {
 public:
  explicit ModalRun(CKL_IMELoadStatus* dialog)
      : thread_([this, dialog] {
          result_ = dialog->DoModal(nullptr);
          done_ = true;
        }) {}
  ~ModalRun() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  // Waits for the dialog to end; its result, or -100 on time-out.
  INT_PTR Wait(DWORD ms) {
    if (!robot::WaitUntil([this] { return done_.load(); }, ms)) return -100;
    Join();
    return result_;
  }

 private:
  std::atomic<bool> done_{false};
  INT_PTR result_ = -100;
  std::thread thread_;
};

HWND WaitDialog() {
  return robot::WaitTopWindow(kCaption, 10000, robot::kDialogClass, GetCurrentProcessId());
}

std::vector<std::wstring> Lines(HWND dialog) {
  return robot::ListBoxLines(robot::Control(dialog, kImeProcessListId));
}

std::wstring ChineseLine(DWORD pid) {
  return L"进程ID: " + std::to_wstring(pid) + L"    进程名称: holdime.exe";
}
std::wstring EnglishLine(DWORD pid) {
  return L"ID: " + std::to_wstring(pid) + L"    NAME: holdime.exe";
}

// ---- scan -------------------------------------------------------------------

TEST_F(InUseTest, NoProcessHoldsTheModule_ScanFindsNothingAndNoDialogIsShown) {
  CKL_IMELoadStatus dialog;
  EXPECT_EQ(0u, ScanImeProcesses(L"KlNobodyHoldsThis.kelo.ime", &dialog));
  EXPECT_TRUE(dialog.processes().empty());
  EXPECT_STREQ(L"KlNobodyHoldsThis.kelo.ime", dialog.moduleName());

  // The whole check returns at once, without a window.
  std::atomic<int> result{-100};
  std::thread check([&] { result = CheckImeInUse(nullptr, L"KlNobodyHoldsThis.kelo.ime"); });
  bool ended = robot::WaitUntil([&] { return result.load() != -100; }, 20000);
  if (!ended) {  // a dialog came up after all: close it so the test can end
    if (HWND shown = WaitDialog()) robot::Command(shown, IDCANCEL);
  }
  check.join();
  EXPECT_TRUE(ended) << "the in-use dialog was shown with nothing to list";
  EXPECT_EQ(0, result.load());

  // Run with an empty list, the dialog ends at once with 0.
  EXPECT_EQ(0, dialog.DoModal(nullptr));
}

TEST_F(InUseTest, EmptyOrMissingNameMatchesNoProcess) {
  CKL_IMELoadStatus dialog;
  EXPECT_EQ(0u, ScanImeProcesses(L"", &dialog));
  EXPECT_EQ(0u, ScanImeProcesses(nullptr, &dialog));
  EXPECT_EQ(0u, ScanImeProcesses(L"x.kelo.ime", nullptr));
  EXPECT_FALSE(ProcessHoldsModule(GetCurrentProcessId(), L""));
  EXPECT_EQ(0, CheckImeInUse(nullptr, L""));
}

TEST_F(InUseTest, HolderIsFoundByAnyTailOfTheModulePathIgnoringCase) {
  DWORD pid = StartHolder(PlaceModule(L"KLINUSECASE.kelo.ime"));
  ASSERT_NE(0u, pid);

  CKL_IMELoadStatus dialog;
  ASSERT_EQ(1u, ScanImeProcesses(L"KlInUseCase.kelo.ime", &dialog));
  EXPECT_EQ(pid, dialog.processes()[0].processId);
  EXPECT_STREQ(L"holdime.exe", dialog.processes()[0].name);

  EXPECT_TRUE(ProcessHoldsModule(pid, L"klinusecase.KELO.IME"));
  EXPECT_TRUE(ProcessHoldsModule(pid, L"InUseCase.kelo.ime"));  // no separator needed
  EXPECT_TRUE(ProcessHoldsModule(pid, L"\\KlInUseCase.kelo.ime"));
  EXPECT_FALSE(ProcessHoldsModule(pid, L"KlInUseCase.kelo"));   // must be the end of the path
  EXPECT_FALSE(ProcessHoldsModule(pid, L"XKlInUseCase.kelo.ime"));
  EXPECT_FALSE(ProcessHoldsModule(GetCurrentProcessId(), L"KlInUseCase.kelo.ime"));

  // A second scan replaces the list instead of adding to it.
  EXPECT_EQ(1u, ScanImeProcesses(L"inusecase.kelo.ime", &dialog));
  EXPECT_EQ(1u, dialog.processes().size());
}

TEST_F(InUseTest, ProcessesAreListedInTheOrderFound) {
  std::wstring path = PlaceModule(L"KlInUseTwo.kelo.ime");
  DWORD first = StartHolder(path);
  DWORD second = StartHolder(path);
  ASSERT_NE(0u, first);
  ASSERT_NE(0u, second);

  std::vector<DWORD> expected;
  DWORD ids[4096];
  DWORD bytes = 0;
  ASSERT_TRUE(EnumProcesses(ids, sizeof(ids), &bytes));
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i)
    if (ids[i] == first || ids[i] == second) expected.push_back(ids[i]);

  std::vector<ImeProcessRecord> found;
  ASSERT_EQ(2u, FindImeProcesses(L"KlInUseTwo.kelo.ime", &found));
  ASSERT_EQ(2u, expected.size());
  EXPECT_EQ(expected[0], found[0].processId);
  EXPECT_EQ(expected[1], found[1].processId);
}

TEST_F(InUseTest, NameLongerThan39CharactersIsCutBeforeTheSearch) {
  // The first 39 characters are the name of the file the helper holds.
  const std::wstring held = L"KlInUseCut_abcdefghijklmnopqrs.kelo.ime";
  ASSERT_EQ(39u, held.size());
  DWORD pid = StartHolder(PlaceModule(held));
  ASSERT_NE(0u, pid);

  const std::wstring longName = held + L"_more.kelo.ime";
  CKL_IMELoadStatus dialog;
  EXPECT_EQ(1u, ScanImeProcesses(longName.c_str(), &dialog));
  EXPECT_EQ(held, dialog.moduleName());
  // The uncut name is no tail of the path: only the cut makes it match.
  EXPECT_FALSE(ProcessHoldsModule(pid, longName.c_str()));
}

// ---- dialog -------------------------------------------------------------------

TEST_F(InUseTest, DialogListsHoldersAndCancelEndsWithCancel) {
  DWORD pid = StartHolder(PlaceModule(L"KLINUSEDLG.kelo.ime"));
  ASSERT_NE(0u, pid);
  CKL_IMELoadStatus dialog;
  ASSERT_EQ(1u, ScanImeProcesses(L"KlInUseDlg.kelo.ime", &dialog));

  ModalRun run(&dialog);
  HWND shown = WaitDialog();
  ASSERT_NE(nullptr, shown);
  EXPECT_EQ(std::vector<std::wstring>{ChineseLine(pid)}, Lines(shown));
  EXPECT_EQ(L"结束进程(&E)", robot::ControlText(shown, kEndProcessesButtonId));
  EXPECT_EQ(0, GetWindowLongPtrW(shown, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  EXPECT_NE(0, SendMessageW(shown, WM_GETICON, ICON_BIG, 0));
  EXPECT_NE(0, SendMessageW(shown, WM_GETICON, ICON_SMALL, 0));

  // Enter has no OK button to press: the dialog stays. Sent, not posted:
  // the command has been handled when the call returns, and a dialog that
  // ended on it would be hidden by then.
  DWORD_PTR unused = 0;
  EXPECT_TRUE(SendMessageTimeoutW(shown, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0,
                                  SMTO_NORMAL, 10000, &unused));
  EXPECT_TRUE(IsWindow(shown) && IsWindowVisible(shown)) << "Enter ended the dialog";

  robot::ClickControl(shown, IDCANCEL);
  EXPECT_EQ(IDCANCEL, run.Wait(10000));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(HolderHandle(pid), 0)) << "cancel ended a process";
}

TEST_F(InUseTest, EscapeAndCloseBoxEndWithCancel) {
  DWORD pid = StartHolder(PlaceModule(L"KlInUseEsc.kelo.ime"));
  ASSERT_NE(0u, pid);
  for (UINT how : {0u, 1u}) {
    CKL_IMELoadStatus dialog;
    ASSERT_EQ(1u, ScanImeProcesses(L"KlInUseEsc.kelo.ime", &dialog));
    ModalRun run(&dialog);
    HWND shown = WaitDialog();
    ASSERT_NE(nullptr, shown);
    if (how == 0)
      PostMessageW(robot::Control(shown, kImeProcessListId), WM_KEYDOWN, VK_ESCAPE, 0);
    else
      PostMessageW(shown, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(IDCANCEL, run.Wait(10000)) << (how == 0 ? "Esc" : "close box");
  }
}

TEST_F(InUseTest, EndProcessesEndsTheHoldersAndTheDialogEndsWithOk) {
  std::wstring path = PlaceModule(L"KlInUseEnd.kelo.ime");
  DWORD a = StartHolder(path);
  DWORD b = StartHolder(path);
  ASSERT_NE(0u, a);
  ASSERT_NE(0u, b);
  CKL_IMELoadStatus dialog;
  ASSERT_EQ(2u, ScanImeProcesses(L"KlInUseEnd.kelo.ime", &dialog));

  ModalRun run(&dialog);
  HWND shown = WaitDialog();
  ASSERT_NE(nullptr, shown);
  EXPECT_EQ(2u, Lines(shown).size());
  robot::ClickControl(shown, kEndProcessesButtonId);
  EXPECT_EQ(IDOK, run.Wait(15000));

  // Each was ended with the exit code it had: still active (259).
  for (DWORD pid : {a, b}) {
    DWORD code = 0;
    ASSERT_TRUE(robot::WaitExit(HolderHandle(pid), 5000, &code)) << pid;
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
  }
  EXPECT_EQ(0, CheckImeInUse(nullptr, L"KlInUseEnd.kelo.ime"));
}

TEST_F(InUseTest, HolderLeftAfterEndingIsShownWithEnglishLinesOnly) {
  // The listed holder is ended; one that started after the scan is not in the
  // dialog's records, survives the end and is what the refreshed list shows.
  std::wstring path = PlaceModule(L"KlInUseLeft.kelo.ime");
  DWORD listed = StartHolder(path);
  ASSERT_NE(0u, listed);
  CKL_IMELoadStatus dialog;
  ASSERT_EQ(1u, ScanImeProcesses(L"KlInUseLeft.kelo.ime", &dialog));

  ModalRun run(&dialog);
  HWND shown = WaitDialog();
  ASSERT_NE(nullptr, shown);
  DWORD late = StartHolder(path);
  ASSERT_NE(0u, late);
  EXPECT_EQ(std::vector<std::wstring>{ChineseLine(listed)}, Lines(shown));

  robot::ClickControl(shown, kEndProcessesButtonId);
  std::vector<std::wstring> expected{EnglishLine(late)};
  EXPECT_TRUE(robot::WaitUntil([&] { return Lines(shown) == expected; }, 10000));
  EXPECT_EQ(expected, Lines(shown));
  EXPECT_TRUE(IsWindow(shown)) << "the dialog must stay while a holder is left";
  EXPECT_TRUE(robot::WaitExit(HolderHandle(listed), 5000));

  // Cancel still ends with Cancel after processes were ended.
  robot::ClickControl(shown, IDCANCEL);
  EXPECT_EQ(IDCANCEL, run.Wait(10000));
}

TEST_F(InUseTest, ProcessThatCannotBeEndedStaysListed) {
  std::wstring path = PlaceModule(L"KlInUseKeep.kelo.ime");
  DWORD kept = StartHolder(path, /*protect=*/true);
  ASSERT_NE(0u, kept);
  {
    ui::Handle probe(OpenProcess(PROCESS_TERMINATE, FALSE, kept));
    if (probe)
      GTEST_SKIP() << "this system grants terminate access despite the process's access list";
  }
  DWORD ended = StartHolder(path);
  ASSERT_NE(0u, ended);
  CKL_IMELoadStatus dialog;
  ASSERT_EQ(2u, ScanImeProcesses(L"KlInUseKeep.kelo.ime", &dialog));

  ModalRun run(&dialog);
  HWND shown = WaitDialog();
  ASSERT_NE(nullptr, shown);
  robot::ClickControl(shown, kEndProcessesButtonId);
  std::vector<std::wstring> expected{EnglishLine(kept)};
  EXPECT_TRUE(robot::WaitUntil([&] { return Lines(shown) == expected; }, 10000));
  EXPECT_EQ(expected, Lines(shown));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(HolderHandle(kept), 0));

  // Trying again changes nothing (the click is sent, so it has been handled
  // when the call returns); then the user gives up.
  DWORD_PTR ignored = 0;
  ASSERT_TRUE(SendMessageTimeoutW(robot::Control(shown, kEndProcessesButtonId), BM_CLICK, 0, 0,
                                  SMTO_NORMAL, 30000, &ignored));
  EXPECT_EQ(expected, Lines(shown));
  robot::ClickControl(shown, IDCANCEL);
  EXPECT_EQ(IDCANCEL, run.Wait(10000));
}

}  // namespace
