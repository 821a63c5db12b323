#include "install/protected_folders_win.h"

#include <shlobj.h>

#include "base/format_win.h"
#include "state/path_rules.h"
#include "sys/remove_tree_win.h"

namespace {

void AddPath(std::vector<kl::string16>& list, const wchar_t* path) {
  wchar_t norm[kNormalisedPathChars];
  if (path && path[0] && NormaliseFolderPath(path, norm)) list.push_back(norm);
}

void AddFolder(std::vector<kl::string16>& list, int csidl) {
  wchar_t buf[MAX_PATH];
  if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf)))
    AddPath(list, buf);
}

void AddEnv(std::vector<kl::string16>& list, const wchar_t* name, const wchar_t* under = nullptr) {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  if (under && !kl::Append(buf, under)) return;
  AddPath(list, buf);
}

void AddWindowsTrees(kl::GuardedFolders& g) {
  wchar_t buf[MAX_PATH];
  UINT n = GetWindowsDirectoryW(buf, MAX_PATH);
  if (n && n < MAX_PATH) AddPath(g.trees, buf);
  n = GetSystemWindowsDirectoryW(buf, MAX_PATH);
  if (n && n < MAX_PATH) AddPath(g.trees, buf);
  AddEnv(g.trees, L"SystemRoot");
  AddEnv(g.trees, L"windir");
}

void AddShellFolders(kl::GuardedFolders& g) {
  static const int kFolders[] = {
      CSIDL_PROFILE,          CSIDL_PERSONAL,          CSIDL_DESKTOPDIRECTORY,
      CSIDL_APPDATA,          CSIDL_LOCAL_APPDATA,     CSIDL_MYMUSIC,
      CSIDL_MYPICTURES,       CSIDL_MYVIDEO,           CSIDL_FAVORITES,
      CSIDL_STARTMENU,        CSIDL_PROGRAMS,          CSIDL_STARTUP,
      CSIDL_TEMPLATES,        CSIDL_SENDTO,            CSIDL_RECENT,
      CSIDL_NETHOOD,          CSIDL_PRINTHOOD,         CSIDL_COOKIES,
      CSIDL_INTERNET_CACHE,   CSIDL_HISTORY,           CSIDL_ADMINTOOLS,
      CSIDL_COMMON_DOCUMENTS, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_COMMON_STARTMENU,
      CSIDL_COMMON_PROGRAMS,  CSIDL_COMMON_STARTUP,    CSIDL_COMMON_MUSIC,
      CSIDL_COMMON_PICTURES,  CSIDL_COMMON_VIDEO,      CSIDL_COMMON_TEMPLATES,
      CSIDL_COMMON_FAVORITES, CSIDL_COMMON_ADMINTOOLS,
  };
  for (int csidl : kFolders) AddFolder(g.holders, csidl);
  AddEnv(g.holders, L"USERPROFILE");
  AddEnv(g.holders, L"APPDATA");
  AddEnv(g.holders, L"LOCALAPPDATA");
  AddEnv(g.holders, L"PUBLIC");
  // The profile's folders without a CSIDL of their own.
  wchar_t profile[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)))
    return;
  for (const wchar_t* name : {L"\\Downloads", L"\\Saved Games", L"\\Contacts", L"\\Links",
                              L"\\Searches", L"\\OneDrive", L"\\AppData"}) {
    wchar_t path[MAX_PATH];
    if (kl::Format(path, L"%s%s", profile, name)) AddPath(g.holders, path);
  }
}

void AddSharedTrees(kl::GuardedFolders& g) {
  AddFolder(g.trees, CSIDL_PROGRAM_FILES_COMMON);
  AddFolder(g.trees, CSIDL_PROGRAM_FILES_COMMONX86);
  AddEnv(g.trees, L"CommonProgramFiles");
  AddEnv(g.trees, L"CommonProgramFiles(x86)");
  AddEnv(g.trees, L"CommonProgramW6432");
  wchar_t data[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data)))
    return;
  for (const wchar_t* name : {L"\\Microsoft", L"\\Package Cache", L"\\Packages",
                              L"\\regid.1991-06.com.microsoft", L"\\USOShared", L"\\USOPrivate",
                              L"\\ssh", L"\\SoftwareDistribution"}) {
    wchar_t path[MAX_PATH];
    if (kl::Format(path, L"%s%s", data, name)) AddPath(g.trees, path);
  }
}

bool Guarded(const wchar_t* folder, bool shared) {
  wchar_t norm[kNormalisedPathChars];
  if (!folder || !NormaliseFolderPath(folder, norm) || IsProtectedFolder(norm)) return true;
  kl::GuardedFolders g;
  AddWindowsTrees(g);
  AddShellFolders(g);
  if (shared) AddSharedTrees(g);
  return kl::IsGuarded(norm, g);
}

}  // namespace

bool IsRefusedInstallFolder(const wchar_t* folder) { return Guarded(folder, false); }

bool IsGuardedFromTreeRemoval(const wchar_t* folder) { return Guarded(folder, true); }
