// Paths in the system folder. The setup runs elevated: the programs it starts
// and the libraries it loads are named by full path in the system folder,
// never found through PATH, COMSPEC, the current folder or its own folder.
#pragma once

#include <windows.h>

#include "base/format_win.h"

namespace kl {

// "<system folder>\<name>" (e.g. "cmd.exe", "Cabinet.dll"). false (out empty)
// when the system folder cannot be had or the path does not fit.
template <size_t N>
bool SystemFolderPath(const wchar_t* name, wchar_t (&out)[N]) {
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || !Format(out, folder[n - 1] == L'\\' ? L"%s%s" : L"%s\\%s",
                                         folder, name)) {
    out[0] = 0;
    return false;
  }
  return true;
}

// LoadLibraryExW of "<system folder>\<name>": a library the system keeps,
// never a copy planted beside the program or in the current folder.
inline HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  if (!SystemFolderPath(name, path)) return nullptr;
  return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace kl
