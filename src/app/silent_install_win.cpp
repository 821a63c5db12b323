#include "app/silent_install_win.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "app/cmdline_win.h"
#include "app/records.h"
#include "app/remove_tree_win.h"
#include "app/setup_log_win.h"
#include "base/format_win.h"
#include "base/text.h"
#include "install/journal.h"
#include "install/sequence_win.h"
#include "package/fsutil_win.h"
#include "remove/inuse_win.h"
#include "remove/operation_dlg_win.h"
#include "remove/protected_folders_win.h"
#include "update/update_list.h"
#include "wizard/pages_win.h"
#include "wizard/wizard_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

bool IsFolder(const wchar_t* path) {
  const DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder an earlier install locked: "KMEInstallPath" of the vendor key
// under HKLM, read as the folder page reads it (at most 256 bytes).
bool LockedFolder(const wchar_t* key, wchar_t (&folder)[kPathChars]) {
  folder[0] = 0;
  wchar_t vendorKey[kPathChars];
  if (!kl::Format(vendorKey, L"Software\\zorbl\\%s", key)) return false;
  ui::RegKey k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, vendorKey, 0, KEY_READ, k.out()) != ERROR_SUCCESS)
    return false;
  wchar_t data[129] = {};
  DWORD type = 0;
  DWORD size = 256;
  if (RegQueryValueExW(k.get(), L"KMEInstallPath", nullptr, &type,
                       reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  data[size / sizeof(wchar_t) < 129 ? size / sizeof(wchar_t) : 128] = 0;
  kl::Copy(folder, data);
  return true;
}

// Same folder by name: letter case and a trailing backslash do not count.
bool SameFolder(const wchar_t* a, const wchar_t* b) {
  kl::string16 x(a), y(b);
  while (!x.empty() && x.back() == L'\\') x.pop_back();
  while (!y.empty() && y.back() == L'\\') y.pop_back();
  return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(),
                              static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
}

// "a.b.c.d", four numbers of at most five digits each (blanks around it
// allowed): the only form compared.
bool FourNumberVersion(const wchar_t* text, klupdate::Version* out) {
  while (*text == L' ') ++text;
  int fields = 0, digits = 0;
  const wchar_t* p = text;
  for (; *p && *p != L' '; ++p) {
    if (*p >= L'0' && *p <= L'9') {
      if (++digits > 5) return false;
    } else if (*p == L'.' && digits > 0 && fields < 3) {
      ++fields;
      digits = 0;
    } else {
      return false;
    }
  }
  while (*p == L' ') ++p;
  if (*p || fields != 3 || digits == 0) return false;
  *out = klupdate::VersionFromText(text);
  return true;
}

}  // namespace

bool PackageOlderThanInstalled(const wchar_t* key, const wchar_t* packageVersion,
                               wchar_t (&installed)[40], wchar_t (&package)[40]) {
  installed[0] = 0;
  kl::Copy(package, packageVersion ? packageVersion : L"");
  wchar_t recordKey[kPathChars];
  if (!kl::Format(recordKey, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s", key))
    return false;
  ui::RegKey k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, recordKey, 0, KEY_READ, k.out()) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD size = sizeof(installed) - sizeof(wchar_t);
  if (RegQueryValueExW(k.get(), L"DisplayVersion", nullptr, &type,
                       reinterpret_cast<BYTE*>(installed), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    installed[0] = 0;
    return false;
  }
  installed[size / sizeof(wchar_t)] = 0;
  klupdate::Version have = 0, offered = 0;
  return FourNumberVersion(installed, &have) && FourNumberVersion(package, &offered) &&
         offered < have;
}

int RunSilentInstall(const UnattendedSwitches& switches) {
  ui::ComScope com;  // the links are made through COM
  const wchar_t* key = g_header->imeName;
  setuplog::Write(L"licence accepted by the silent switch");

  wchar_t installedVersion[40], packageVersion[40];
  if (PackageOlderThanInstalled(key, g_header->displayVersion, installedVersion,
                                packageVersion)) {
    if (!switches.downgrade) {
      setuplog::Writef(L"version %s is installed; this package holds the older %s: "
                       L"nothing done (\"downgrade\" installs it)",
                       installedVersion, packageVersion);
      return kExitNewerInstalled;
    }
    setuplog::Writef(L"version %s is installed; the older %s replaces it (downgrade)",
                     installedVersion, packageVersion);
  }

  wchar_t folder[kPathChars] = {};
  wchar_t locked[kPathChars];
  if (LockedFolder(key, locked)) {
    if (switches.hasDir && !SameFolder(switches.dir, locked)) {
      setuplog::Writef(L"already installed in %s: uninstall first to install into %s", locked,
                       switches.dir);
      return kExitFailure;
    }
    kl::Copy(folder, locked);
  } else if (switches.hasDir) {
    kl::Copy(folder, switches.dir);
  } else {
    wchar_t programs[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES | CSIDL_FLAG_CREATE, nullptr,
                                SHGFP_TYPE_CURRENT, programs)) ||
        !CKL_Install_SelectDir::ComposeFolder(programs, key, folder)) {
      setuplog::Write(L"no default install folder");
      return kExitFailure;
    }
  }
  setuplog::Writef(L"install folder: %s", folder);

  // Only a full path, and never a protected folder (a root, a system folder
  // or one that holds such a folder).
  if (!IsFullFolderPath(folder)) {
    setuplog::Writef(L"the install folder is not a full path: %s", folder);
    return kExitFailure;
  }
  if (IsFolder(folder) && IsProtectedFolder(folder)) {
    setuplog::Writef(L"the install folder may not be installed into: %s", folder);
    return kExitFailure;
  }
  // Nor the Windows folder's tree or a shell folder of the user's (Documents,
  // Desktop, ...): the uninstall could not tell the product's files there.
  if (IsRefusedInstallFolder(folder)) {
    setuplog::Writef(L"the install folder is a system folder or a user's shell folder and is "
                     L"not installed into: %s",
                     folder);
    return kExitFailure;
  }

  wchar_t owner[260];
  wchar_t company[260];
  // An earlier install's owner and company, else the registered ones.
  ReadRepairOwner(key, owner, company);
  if (switches.hasUser) kl::Copy(owner, switches.user);
  if (switches.hasCompany) kl::Copy(company, switches.company);
  setuplog::Writef(L"owner: %s; company: %s", owner, company);

  wchar_t imeFile[64];
  kl::Format(imeFile, L"%s.kelo.ime", key);
  if (LogImeInUse(imeFile))
    setuplog::Write(L"files in use are replaced at the next restart");

  // The folders made here belong to the run: a failed install removes them.
  std::vector<std::wstring> madeFolders;
  for (const kl::string16& f : kl::MissingFolders(folder, [](const kl::string16& p) {
         return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES;
       }))
    madeFolders.push_back(f);
  CreateDirectoryPath(folder);
  if (!IsFolder(folder)) {
    setuplog::Failure(L"creating the install folder", GetLastError());
    for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it)
      RemoveDirectoryW(it->c_str());
    return kExitFailure;
  }
  for (const std::wstring& f : madeFolders) setuplog::Writef(L"folder created: %s", f.c_str());

  InstallContext context = InitInstallContext(nullptr, g_header);
  kl::InstallJournal journal;
  for (const std::wstring& f : madeFolders) journal.AddPath(kl::UndoKind::kFolder, f);
  context.journal = &journal;
  const bool ok = RunInstall(context, folder, owner, company);
  context.journal = nullptr;
  if (!ok) return kExitFailure;
  return context.restartNeeded ? kExitRestartNeeded : kExitSuccess;
}
