// "ITF\Interface.dll" of the sample input method. The setup program calls its
// one export while uninstalling:
//
//   int __cdecl KLInterfaceMessage(int message, int code, int param1, int param2);
//
// (exported undecorated; the uninstaller passes 0, 7, 0, 0 and ignores the
// result). The sample has no running engine to notify, so the call only
// leaves a trace that tests can read back:
//
//   File:   "%TEMP%\KLInterfaceMessage.log" (TEMP from the caller's environment;
//           the system's temporary folder when TEMP is unset or unusable).
//   Lines:  one per call, appended, UTF-8 without byte-order mark, ended by CR LF:
//           KLInterfaceMessage(<a>,<b>,<c>,<d>) pid=<pid> module=<path>
//           <a>..<d> are the four arguments in signed decimal, <pid> the
//           calling process id in decimal, <path> the full path this DLL was
//           loaded from. Example:
//           KLInterfaceMessage(0,7,0,0) pid=52 module=C:\Program Files\KeloSample\ITF\Interface.dll
//
// The line is written with one append so concurrent callers never interleave
// and lines already in the file are kept. Returns 1 when the line was
// written, 0 when the log could not be opened or written.
#include <windows.h>
#include <objbase.h>  // ui/owners_win.h uses COM; WIN32_LEAN_AND_MEAN leaves it out

#include "base/format_win.h"
#include "ui/owners_win.h"

namespace {

HINSTANCE g_module = nullptr;

bool EndsWithBackslash(const wchar_t* s) {
  int n = lstrlenW(s);
  return n > 0 && s[n - 1] == L'\\';
}

// "<TEMP>\KLInterfaceMessage.log", or false when no folder is known.
bool LogPath(wchar_t (&path)[MAX_PATH]) {
  wchar_t folder[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableW(L"TEMP", folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    n = GetTempPathW(MAX_PATH, folder);
    if (n == 0 || n >= MAX_PATH) return false;
  }
  return kl::Format(path, EndsWithBackslash(folder) ? L"%sKLInterfaceMessage.log" : L"%s\\KLInterfaceMessage.log",
                    folder);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

__declspec(dllexport) int __cdecl KLInterfaceMessage(int message, int code, int param1, int param2) {
  wchar_t path[MAX_PATH] = {};
  if (!LogPath(path)) return 0;

  wchar_t self[MAX_PATH] = {};
  if (!GetModuleFileNameW(g_module, self, MAX_PATH)) self[0] = 0;

  wchar_t line[2 * MAX_PATH];
  kl::Format(line, L"KLInterfaceMessage(%d,%d,%d,%d) pid=%lu module=%s\r\n", message, code, param1, param2,
             static_cast<unsigned long>(GetCurrentProcessId()), self);

  char utf8[6 * MAX_PATH];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), nullptr, nullptr);
  if (bytes <= 1) return 0;
  --bytes;  // not the terminating NUL

  ui::FileHandle file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  DWORD written = 0;
  if (!WriteFile(file.get(), utf8, static_cast<DWORD>(bytes), &written, nullptr)) return 0;
  return written == static_cast<DWORD>(bytes) ? 1 : 0;
}

}  // extern "C"
