// Shared set-up of the start-up tests: the three records for one test, a
// private folder, environment overrides; files through testfs.
#pragma once

#include <windows.h>
#include <objbase.h>  // owners_win.h uses COM start-up

#include <string>
#include <vector>

#include "state/records.h"
#include "testfs_win.h"
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

using testfs::Exists;
using testfs::ReadAll;
using testfs::RemoveTree;
using testfs::TempFolder;
using testfs::ThisExe;
using testfs::WriteAll;

// A fresh, empty folder under the temporary folder ("...\" form).
inline std::wstring FreshFolder(const std::wstring& name) {
  std::wstring folder = TempFolder() + name + L"\\";
  RemoveTree(folder);
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

}  // namespace apptest
