#include "wizard_robot_win.h"

#include <commctrl.h>

#include "testfs_win.h"

namespace wizrobot {

std::wstring SampleSetup(const wchar_t* fileName) {
  wchar_t full[MAX_PATH] = {};
  GetFullPathNameW((testfs::BinFolder() + L"..\\" + fileName).c_str(), MAX_PATH, full, nullptr);
  return full;
}

std::wstring WizardCaption(const std::wstring& displayName) {
  return L"欢迎使用 " + displayName + L" 安装程序";
}

namespace {
struct Search {
  int id;
  int siblingId;
  HWND found;
};

BOOL CALLBACK Visit(HWND hwnd, LPARAM lp) {
  auto* s = reinterpret_cast<Search*>(lp);
  if (GetDlgCtrlID(hwnd) != s->id) return TRUE;
  if (s->siblingId && !GetDlgItem(GetParent(hwnd), s->siblingId)) return TRUE;
  s->found = hwnd;
  return FALSE;
}
}  // namespace

HWND FindDescendant(HWND root, int id, int siblingId) {
  Search s{id, siblingId, nullptr};
  EnumChildWindows(root, &Visit, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

bool IsChecked(HWND button) {
  return SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int BarPosition(HWND bar) { return static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)); }

HWND StartWizard(const std::wstring& setup, const std::wstring& caption, DWORD* copyPid,
                 DWORD timeoutMs, const robot::StartOptions& options) {
  return StartProgram(setup, L"", caption, copyPid, timeoutMs, options);
}

HWND StartProgram(const std::wstring& program, const std::wstring& arguments,
                  const std::wstring& caption, DWORD* copyPid, DWORD timeoutMs,
                  const robot::StartOptions& options) {
  if (copyPid) *copyPid = 0;
  robot::Process first;
  if (!robot::Start(program, arguments, &first, options)) return nullptr;
  const DWORD pid = robot::WaitProcess(kWorkingCopyTail, timeoutMs);
  if (copyPid) *copyPid = pid;
  if (!pid) return nullptr;
  return robot::WaitTopWindow(caption, timeoutMs, nullptr, pid);
}

std::wstring WaitFinished(HWND wizard, DWORD timeoutMs) {
  std::wstring text;
  robot::WaitUntil(
      [&] {
        // The worker sets the caption first and enables the button after
        // it: the run is finished when both have happened.
        text = robot::ControlText(wizard, IDOK);
        return (text == kDoneCaption || text == kFailedCaption) &&
               robot::IsEnabled(robot::Control(wizard, IDOK));
      },
      timeoutMs, 100);
  const bool finished = (text == kDoneCaption || text == kFailedCaption) &&
                        robot::IsEnabled(robot::Control(wizard, IDOK));
  return finished ? text : std::wstring();
}

bool InstallThroughWizard(const std::wstring& setup, const std::wstring& displayName,
                          std::vector<std::wstring>* lines, const robot::StartOptions& options) {
  DWORD pid = 0;
  HWND wizard = StartWizard(setup, WizardCaption(displayName), &pid, 60000, options);
  if (!wizard) return false;
  ui::Handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  robot::ClickControl(wizard, kAccept);
  robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard, IDOK)); }, 5000);
  if (!robot::ClickControl(wizard, IDOK)) return false;
  std::wstring finished;
  robot::WaitUntil(
      [&] {
        // An earlier install leaves the folder: overwrite it.
        if (HWND ask = robot::FindTopWindow(L"是否继续？", robot::kDialogClass, pid))
          robot::Answer(ask, IDYES);
        finished = WaitFinished(wizard, 0);
        return !finished.empty();
      },
      180000, 200);
  if (lines) *lines = robot::ListViewColumn(ProgressList(wizard));
  if (finished.empty()) return false;
  robot::ClickControl(wizard, IDOK);
  return robot::WaitExit(process.get(), 30000) && finished == kDoneCaption;
}

HWND StartOperation(const std::wstring& installDir, const std::wstring& arguments,
                    const std::wstring& caption, DWORD* copyPid) {
  return StartProgram(installDir + L"unstall.exe", arguments, caption, copyPid, 60000);
}

bool RunOperation(HWND dialog, DWORD timeoutMs) {
  if (!robot::ClickControl(dialog, IDOK)) return false;
  return robot::WaitUntil([&] { return robot::ControlText(dialog, IDOK) == kOperationDone; },
                          timeoutMs, 100);
}

}  // namespace wizrobot
