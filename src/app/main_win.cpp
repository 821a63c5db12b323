// Entry point of the setup program.
#include <windows.h>

#include <delayimp.h>

#include "app/startup_win.h"
#include "base/sysdir_win.h"

namespace {

// The libraries imported with delayed loading (see KL_DELAY_LOADED_LIBS) come
// by full path from the system folder, never from this program's folder.
FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
  wchar_t name[64];
  int i = 0;
  for (; info->szDll[i] && i < 63; ++i) {
    const char c = info->szDll[i];
    // A plain file name only: no path, no drive.
    if (c == '\\' || c == '/' || c == ':') return nullptr;
    name[i] = static_cast<wchar_t>(static_cast<unsigned char>(c));
  }
  if (info->szDll[i]) return nullptr;
  name[i] = 0;
  return reinterpret_cast<FARPROC>(kl::LoadSystemLibrary(name));
}

// Libraries are looked for in the system folder only: not in this program's
// folder (the temporary folder for a working copy, any folder for the
// program a user started) nor in the current one.
void LimitLibrarySearch() {
  using SetDefaultFn = BOOL(WINAPI*)(DWORD);
  using SetDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto setDefault = reinterpret_cast<SetDefaultFn>(reinterpret_cast<void*>(
      kernel ? ::GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
  if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    // Older systems: at least not the current folder.
    auto setDirectory = reinterpret_cast<SetDirectoryFn>(reinterpret_cast<void*>(
        kernel ? ::GetProcAddress(kernel, "SetDllDirectoryW") : nullptr));
    if (setDirectory) setDirectory(L"");
  }
  __pfnDliNotifyHook2 = &LoadFromSystemFolder;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int) {
  LimitLibrarySearch();
  InitInstance(lpCmdLine);
  return g_exitCode;
}
