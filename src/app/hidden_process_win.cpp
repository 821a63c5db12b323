#include "app/hidden_process_win.h"

bool StartHiddenSuspended(wchar_t* commandLine, ui::ProcessInfo* out) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION pi = {};
  if (!::CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &pi))
    return false;
  out->Take(pi);
  return true;
}

void ResumeAtIdlePriority(const ui::ProcessInfo& process) {
  ::SetPriorityClass(process.process.get(), IDLE_PRIORITY_CLASS);
  ::ResumeThread(process.thread.get());
}
