// Test helper: schedules its own deletion and ends. Exit code 0 when the
// deleting process was started, 1 when not. With the argument "long-names"
// it acts as on a volume without 8.3 names: the "short" path is the long one.
#include <windows.h>

#include "app/working_copy_win.h"
#include "base/text.h"

namespace {

DWORD WINAPI KeepLongName(LPCWSTR path, LPWSTR out, DWORD cap) {
  if (!kl::CopyN(out, cap, path)) return 0;
  return static_cast<DWORD>(kl::StrLen(out));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR args, int) {
  if (args && kl::Find(args, L"long-names")) SetSelfDeleteShortPathFunction(KeepLongName);
  return ScheduleSelfDelete() ? 0 : 1;
}
