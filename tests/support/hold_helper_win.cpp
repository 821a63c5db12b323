#include "hold_helper_win.h"

#include <tlhelp32.h>

#include <cwchar>
#include <cwctype>

namespace holdhelper {

namespace {

// The process that started this one, opened for waiting; null when it has
// ended already or cannot be opened.
HANDLE OpenParent() {
  HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return nullptr;
  const DWORD self = ::GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof(e);
  for (BOOL ok = ::Process32FirstW(snap, &e); ok; ok = ::Process32NextW(snap, &e)) {
    if (e.th32ProcessID == self) {
      parent = e.th32ParentProcessID;
      break;
    }
  }
  ::CloseHandle(snap);
  return parent ? ::OpenProcess(SYNCHRONIZE, FALSE, parent) : nullptr;
}

}  // namespace

bool ReadHoldTime(int argc, wchar_t** argv, const wchar_t* program, DWORD* ms) {
  *ms = INFINITE;
  if (argc < 3) return true;
  wchar_t* end = nullptr;
  unsigned long v = std::wcstoul(argv[2], &end, 10);
  if (!end || *end || !std::iswdigit(argv[2][0])) {
    std::fwprintf(stderr, L"%ls: bad time \"%ls\"\n", program, argv[2]);
    return false;
  }
  *ms = static_cast<DWORD>(v);
  return true;
}

void SignalReadyAndWait(int argc, wchar_t** argv, DWORD ms) {
  if (argc >= 4) {
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (ready) {
      ::SetEvent(ready);
      ::CloseHandle(ready);
    }
  }
  // The hold ends early when the program that started this one ends (a test
  // that failed or was stopped by its time-out), so no helper outlives it.
  HANDLE parent = OpenParent();
  if (parent) {
    ::WaitForSingleObject(parent, ms);
    ::CloseHandle(parent);
  } else {
    ::Sleep(ms);
  }
}

}  // namespace holdhelper
