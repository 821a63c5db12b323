#include "wizard_robot_win.h"

#include <commctrl.h>

namespace wizrobot {

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
  robot::Process first;
  if (!robot::Start(setup, L"", &first, options)) return nullptr;
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

}  // namespace wizrobot
