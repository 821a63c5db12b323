#include "hold_helper_win.h"

#include <cwchar>
#include <cwctype>

namespace holdhelper {

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
  ::Sleep(ms);
}

}  // namespace holdhelper
