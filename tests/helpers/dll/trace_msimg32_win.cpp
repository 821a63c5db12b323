// Test library: a stand-in for a system library (named msimg32.dll where a
// test plants it) that proves it was loaded: on loading it writes
// "<its own path>.trace" holding the loading process's command line. Its
// functions do nothing and fail.
#include <windows.h>

#include <cwchar>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t trace[MAX_PATH + 8];
  const DWORD n = ::GetModuleFileNameW(self, trace, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  std::wcscat(trace, L".trace");
  HANDLE h = ::CreateFileW(trace, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return TRUE;
  const wchar_t* line = ::GetCommandLineW();
  DWORD put = 0;
  ::WriteFile(h, line, static_cast<DWORD>(std::wcslen(line) * sizeof(wchar_t)), &put, nullptr);
  ::CloseHandle(h);
  return TRUE;
}

extern "C" BOOL WINAPI TraceAlphaBlend(HDC, int, int, int, int, HDC, int, int, int, int, DWORD) {
  return FALSE;
}
extern "C" BOOL WINAPI TraceTransparentBlt(HDC, int, int, int, int, HDC, int, int, int, int, UINT) {
  return FALSE;
}
