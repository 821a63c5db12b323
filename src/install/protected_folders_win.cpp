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

// The lists are the same for the whole run: worked out once (about 35 shell
// folder look-ups, some 15 ms under load), possibly on a thread of their own
// while the package is extracted (PrepareGuardedFolders).
struct GuardedLists {
  kl::GuardedFolders own;     // the Windows trees and the shell folders
  kl::GuardedFolders shared;  // those and the shared trees
};
// Never destroyed: the thread may still be building them when a run ends
// early, and the exit must not free them under it.
GuardedLists& g_lists = *new GuardedLists;
INIT_ONCE g_listsOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK BuildGuardedLists(INIT_ONCE*, void*, void**) {
  AddWindowsTrees(g_lists.own);
  AddShellFolders(g_lists.own);
  g_lists.shared = g_lists.own;
  AddSharedTrees(g_lists.shared);
  return TRUE;
}

const GuardedLists& Lists() {
  // Another thread still building them: this one waits for it.
  ::InitOnceExecuteOnce(&g_listsOnce, &BuildGuardedLists, nullptr, nullptr);
  return g_lists;
}

DWORD WINAPI PrepareLists(LPVOID) {
  Lists();
  return 0;
}

bool Guarded(const wchar_t* folder, bool shared) {
  wchar_t norm[kNormalisedPathChars];
  if (!folder || !NormaliseFolderPath(folder, norm) || IsProtectedFolder(norm)) return true;
  return kl::IsGuarded(norm, shared ? Lists().shared : Lists().own);
}

}  // namespace

void PrepareGuardedFolders() {
  // Best effort: without the thread the first check builds the lists itself.
  if (HANDLE thread = ::CreateThread(nullptr, 0, &PrepareLists, nullptr, 0, nullptr))
    ::CloseHandle(thread);
}

bool IsRefusedInstallFolder(const wchar_t* folder) { return Guarded(folder, false); }

bool IsGuardedFromTreeRemoval(const wchar_t* folder) { return Guarded(folder, true); }
