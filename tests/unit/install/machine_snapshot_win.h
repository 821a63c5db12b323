// A picture of what an install touches — files under every destination, the
// registry keys of both hives, the keyboard layouts — taken before and after
// a run and compared line by line.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "install_test_util_win.h"

namespace insttest {

class MachineSnapshot {
 public:
  // extraFolders: further trees to list (an install folder, say).
  explicit MachineSnapshot(const std::vector<std::wstring>& extraFolders = {}) {
    for (const auto& f : extraFolders) Files(f, true);
    Files(SystemDir(), false);
    Files(WindowsDir(), false);
    Files(ShellFolder(CSIDL_FONTS), false);
    Files(ShellFolder(CSIDL_COMMON_APPDATA) + L"KeloIMEs\\", true);
    Files(ShellFolder(CSIDL_COMMON_PROGRAMS), true);
    Files(ShellFolder(CSIDL_DESKTOPDIRECTORY), true);
    Files(ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY), true);
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) Keys(hive, L"Software\\zorbl");
    Keys(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
    Keys(HKEY_LOCAL_MACHINE, kFontsKey);
    Keys(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts");
    Keys(HKEY_LOCAL_MACHINE, L"SYSTEM\\ControlSet001\\Control\\Keyboard Layouts");
    Keys(HKEY_CURRENT_USER, L"Keyboard Layout\\Preload");
  }

  // Lines in one picture and not in the other, marked "-" (gone) and "+"
  // (new); empty when the two are the same.
  std::wstring Diff(const MachineSnapshot& after) const {
    std::wstring out;
    for (const auto& l : lines_)
      if (!after.lines_.count(l)) out += L"- " + l + L"\n";
    for (const auto& l : after.lines_)
      if (!lines_.count(l)) out += L"+ " + l + L"\n";
    return out;
  }

 private:
  void Files(std::wstring folder, bool recursive) {
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
      lines_.insert(L"no folder " + folder);
      return;
    }
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        lines_.insert(L"folder " + path);
        if (recursive) Files(path, true);
      } else {
        lines_.insert(L"file " + path + L" " + std::to_wstring(entry.nFileSizeLow));
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }

  void Keys(HKEY hive, const std::wstring& path) {
    const std::wstring where = (hive == HKEY_CURRENT_USER ? L"HKCU\\" : L"HKLM\\") + path;
    ui::RegKey key;
    if (RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) {
      lines_.insert(L"no key " + where);
      return;
    }
    lines_.insert(L"key " + where);
    for (DWORD i = 0;; ++i) {
      wchar_t name[512];
      DWORD chars = 512;
      BYTE data[4096];
      DWORD bytes = sizeof(data);
      DWORD type = 0;
      if (RegEnumValueW(key.get(), i, name, &chars, nullptr, &type, data, &bytes) != ERROR_SUCCESS)
        break;
      std::wstring text(reinterpret_cast<const wchar_t*>(data), bytes / sizeof(wchar_t));
      lines_.insert(L"value " + where + L" [" + name + L"] " + std::to_wstring(type) + L" " +
                    text.c_str());
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD chars = 256;
      if (RegEnumKeyExW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      subkeys.push_back(name);
    }
    for (const auto& s : subkeys) Keys(hive, path + L"\\" + s);
  }

  std::set<std::wstring> lines_;
};

}  // namespace insttest
