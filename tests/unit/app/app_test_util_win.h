// Shared set-up of the start-up tests: the three records for one test, a
// private folder, whole-file reads and writes, environment overrides.
#pragma once

#include <windows.h>
#include <objbase.h>  // owners_win.h uses COM start-up

#include <string>
#include <vector>

#include "app/records.h"
#include "ui/owners_win.h"

namespace apptest {

// Allocates zeroed records and points g_launch/g_session/g_header at them
// for the owner's lifetime.
class RecordsScope {
 public:
  RecordsScope() : launch_(new LaunchInfo()), session_(new InstallSession()),
                   header_(new PackageHeader()) {
    g_launch = launch_;
    g_session = session_;
    g_header = header_;
  }
  ~RecordsScope() {
    g_launch = nullptr;
    g_session = nullptr;
    g_header = nullptr;
    delete launch_;
    delete session_;
    delete header_;
  }
  RecordsScope(const RecordsScope&) = delete;
  RecordsScope& operator=(const RecordsScope&) = delete;

 private:
  LaunchInfo* launch_;
  InstallSession* session_;
  PackageHeader* header_;
};

// Sets an environment variable for the owner's lifetime.
class EnvScope {
 public:
  EnvScope(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t old[32768];
    DWORD n = GetEnvironmentVariableW(name, old, 32768);
    had_ = n > 0 && n < 32768;
    if (had_) old_ = old;
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~EnvScope() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

 private:
  std::wstring name_, old_;
  bool had_ = false;
};

inline std::wstring TempFolder() {
  wchar_t t[MAX_PATH];
  GetTempPathW(MAX_PATH, t);
  return t;
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool ReadAll(const std::wstring& path, std::vector<unsigned char>* out) {
  ui::FileHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
  if (!h) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(h.get(), &size) != 0;
  out->assign(ok ? static_cast<size_t>(size.QuadPart) : 0, 0);
  DWORD got = 0;
  if (ok && !out->empty())
    ok = ReadFile(h.get(), out->data(), static_cast<DWORD>(out->size()), &got, nullptr) &&
         got == out->size();
  return ok;
}

inline bool WriteAll(const std::wstring& path, const std::vector<unsigned char>& data) {
  ui::FileHandle h(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!h) return false;
  DWORD put = 0;
  return data.empty() ||
         (WriteFile(h.get(), data.data(), static_cast<DWORD>(data.size()), &put, nullptr) &&
          put == data.size());
}

// Removes a folder tree made by a test (files first, then folders).
inline void RemoveTree(const std::wstring& folder) {
  std::wstring base = folder;
  if (!base.empty() && base.back() != L'\\') base += L'\\';
  WIN32_FIND_DATAW fd;
  if (ui::FindHandle f{FindFirstFileW((base + L"*").c_str(), &fd)}) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = base + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(f.get(), &fd));
  }
  RemoveDirectoryW(base.c_str());
}

// A fresh, empty folder under the temporary folder ("...\" form).
inline std::wstring FreshFolder(const std::wstring& name) {
  std::wstring folder = TempFolder() + name + L"\\";
  RemoveTree(folder);
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

inline std::wstring ThisExe() {
  wchar_t p[MAX_PATH];
  GetModuleFileNameW(nullptr, p, MAX_PATH);
  return p;
}

}  // namespace apptest
