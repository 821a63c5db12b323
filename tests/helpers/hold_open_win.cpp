// Test helper: opens a file or folder and keeps it open, so that it is "in
// use" for the program under test.
//
//   hold_open.exe PATH [MILLISECONDS] [EVENT]
//
// PATH is opened for reading, shared for reading only (others can neither
// write, replace nor delete it). When EVENT is given, the named event is set
// once PATH is open. The handle is held for MILLISECONDS (default: until the
// process is ended), and never past the end of the program that started it. Exit codes: 0 after the time ran out, 2 bad arguments,
// 3 PATH could not be opened.
#include <windows.h>

#include <cwchar>

#include "hold_helper_win.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fwprintf(stderr, L"usage: hold_open PATH [MILLISECONDS] [EVENT]\n");
    return 2;
  }
  DWORD ms = INFINITE;
  if (!holdhelper::ReadHoldTime(argc, argv, L"hold_open", &ms)) return 2;
  HANDLE h = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"hold_open: cannot open \"%ls\" (error %lu)\n", argv[1],
                  ::GetLastError());
    return 3;
  }
  holdhelper::SignalReadyAndWait(argc, argv, ms);
  ::CloseHandle(h);
  return 0;
}
