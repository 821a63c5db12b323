#include "sys/hidden_process_win.h"

#include "base/format_win.h"
#include "base/sysdir_win.h"
#include "base/text.h"

bool StartHiddenInterpreter(const wchar_t* command, ui::ProcessInfo* out) {
  wchar_t folder[MAX_PATH];
  wchar_t interpreter[MAX_PATH];
  wchar_t line[600];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || !kl::SystemFolderPath(L"cmd.exe", interpreter) ||
      !kl::Format(line, L"\"%s\" /c %s", interpreter, command))
    return false;
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION pi = {};
  if (!::CreateProcessW(interpreter, line, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        folder, &si, &pi))
    return false;
  out->Take(pi);
  return true;
}

bool SystemProgramForCommand(const wchar_t* name, wchar_t (&out)[MAX_PATH]) {
  wchar_t full[MAX_PATH];
  if (!kl::SystemFolderPath(name, full)) return false;
  if (kl::Find<wchar_t>(full, L" ")) {
    const DWORD n = ::GetShortPathNameW(full, out, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
  } else {
    kl::Copy(out, full);
  }
  return !kl::Find<wchar_t>(out, L" ") && !kl::Find<wchar_t>(out, L"\"") &&
         !kl::Find<wchar_t>(out, L"%");
}

void ResumeAtIdlePriority(const ui::ProcessInfo& process) {
  ::SetPriorityClass(process.process.get(), IDLE_PRIORITY_CLASS);
  ::ResumeThread(process.thread.get());
}

bool StartAfterPause(const wchar_t* command) {
  wchar_t ping[MAX_PATH];
  wchar_t line[600];
  if (!SystemProgramForCommand(L"ping.exe", ping) ||
      !kl::Format(line, L"%s -n 3 127.0.0.1 >nul & %s", ping, command))
    return false;
  ui::ProcessInfo process;
  if (!StartHiddenInterpreter(line, &process)) return false;
  ::SetPriorityClass(::GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  ResumeAtIdlePriority(process);
  return true;
}
