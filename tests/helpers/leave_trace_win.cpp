// Test helper: proves that it was started. Writes "<its own path>.trace"
// holding its command line (UTF-16, no byte-order mark) and exits with 0; 3
// when the trace cannot be written. Takes no arguments, so a program started
// without parameters leaves a trace beside itself.
#include <windows.h>

#include <cwchar>

int wmain() {
  wchar_t trace[MAX_PATH + 8];
  DWORD n = ::GetModuleFileNameW(nullptr, trace, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 3;
  std::wcscat(trace, L".trace");
  HANDLE h = ::CreateFileW(trace, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 3;
  const wchar_t* line = ::GetCommandLineW();
  DWORD put = 0;
  BOOL ok = ::WriteFile(h, line, static_cast<DWORD>(std::wcslen(line) * sizeof(wchar_t)), &put,
                        nullptr);
  ::CloseHandle(h);
  return ok ? 0 : 3;
}
