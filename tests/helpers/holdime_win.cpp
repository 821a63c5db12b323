// Test helper: loads a module and keeps it loaded, so that a test has a
// process that holds an input method's module ("<key>.kelo.ime").
//
//   holdime.exe MODULE_PATH [MILLISECONDS] [EVENT]
//
// MODULE_PATH is loaded with LoadLibraryW (any extension; the module's entry
// point runs). When EVENT is given, the named event is set once the module is
// loaded. The module stays loaded for MILLISECONDS (default: until the
// process is ended), and never past the end of the program that started it. Exit codes: 0 after the time ran out, 2 bad arguments,
// 3 the module could not be loaded.
#include <windows.h>

#include <cwchar>

#include "hold_helper_win.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || !argv[1][0]) {
    std::fwprintf(stderr, L"usage: holdime MODULE_PATH [MILLISECONDS] [EVENT]\n");
    return 2;
  }
  DWORD ms = INFINITE;
  if (!holdhelper::ReadHoldTime(argc, argv, L"holdime", &ms)) return 2;
  HMODULE module = ::LoadLibraryW(argv[1]);
  if (!module) {
    std::fwprintf(stderr, L"holdime: cannot load \"%ls\" (error %lu)\n", argv[1],
                  ::GetLastError());
    return 3;
  }
  holdhelper::SignalReadyAndWait(argc, argv, ms);
  ::FreeLibrary(module);
  return 0;
}
