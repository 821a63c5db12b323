// Test helper: opens a file or folder and keeps it open, so that it is "in
// use" for the program under test.
//
//   hold_open.exe PATH [MILLISECONDS] [EVENT]
//
// PATH is opened for reading, shared for reading only (others can neither
// write, replace nor delete it). When EVENT is given, the named event is set
// once PATH is open. The handle is held for MILLISECONDS (default: until the
// process is ended). Exit codes: 0 after the time ran out, 2 bad arguments,
// 3 PATH could not be opened.
#include <windows.h>

#include <cwchar>
#include <cwctype>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fwprintf(stderr, L"usage: hold_open PATH [MILLISECONDS] [EVENT]\n");
    return 2;
  }
  DWORD ms = INFINITE;
  if (argc >= 3) {
    wchar_t* end = nullptr;
    unsigned long v = std::wcstoul(argv[2], &end, 10);
    if (!end || *end || !std::iswdigit(argv[2][0])) {
      std::fwprintf(stderr, L"hold_open: bad time \"%ls\"\n", argv[2]);
      return 2;
    }
    ms = static_cast<DWORD>(v);
  }
  HANDLE h = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"hold_open: cannot open \"%ls\" (error %lu)\n", argv[1],
                  ::GetLastError());
    return 3;
  }
  if (argc >= 4) {
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (ready) {
      ::SetEvent(ready);
      ::CloseHandle(ready);
    }
  }
  ::Sleep(ms);
  ::CloseHandle(h);
  return 0;
}
