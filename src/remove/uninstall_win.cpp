// Uninstall sequence, shortcut removal, layout and IME removal.
#include "remove/uninstall_win.h"

#include <shlobj.h>

#include "base/format_win.h"
#include "base/text.h"
#include "install/ime_win.h"
#include "install/install_record_win.h"
#include "install/journal.h"
#include "install/protected_folders_win.h"
#include "install/shortcuts_win.h"
#include "state/cmdline_win.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr wchar_t kPreloadText[] = L"HKEY_CURRENT_USER\\Keyboard Layout\\Preload";

// Failed broadcasts answered with an empty message box, over the process.
int g_broadcastRetries = 0;

// Deletes parent\name when it has no subkeys of its own.
void DeleteLeafKey(HKEY root, const wchar_t* parentPath, const wchar_t* name) {
  ui::RegKey parent;
  if (::RegOpenKeyExW(root, parentPath, 0, KEY_ALL_ACCESS, parent.out()) != ERROR_SUCCESS) return;
  ui::RegKey key;
  if (::RegOpenKeyExW(parent.get(), name, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return;
  DWORD subkeys = 0;
  if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0)
    return;
  key.reset();
  const LONG rc = ::RegDeleteKeyW(parent.get(), name);
  const wchar_t* hive = root == HKEY_LOCAL_MACHINE ? L"HKLM" : L"HKCU";
  if (rc == ERROR_SUCCESS)
    setuplog::Writef(L"registry key deleted: %s\\%s\\%s", hive, parentPath, name);
  else
    setuplog::Writef(L"registry key not deleted: %s\\%s\\%s (Windows error %ld)", hive,
                     parentPath, name, rc);
}

// Removes a folder tree and logs each file that was in it, then whether the
// folder is gone.
void RemoveLogged(const wchar_t* folder, int depth = 0) {
  if (setuplog::Active() && depth < 64) {
    wchar_t pattern[MAX_PATH];
    const size_t n = kl::StrLen(folder);
    const wchar_t* sep = (n && folder[n - 1] == L'\\') ? L"" : L"\\";
    WIN32_FIND_DATAW entry;
    ui::FindHandle find(kl::Format(pattern, L"%s%s*", folder, sep)
                            ? ::FindFirstFileW(pattern, &entry)
                            : INVALID_HANDLE_VALUE);
    if (find) {
      do {
        const wchar_t* name = entry.cFileName;
        if (name[0] == L'.' && (!name[1] || (name[1] == L'.' && !name[2]))) continue;
        wchar_t path[MAX_PATH];
        if (!kl::Format(path, L"%s%s%s", folder, sep, name)) continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveLogged(path, depth + 1);
        else
          setuplog::Writef(L"file removed: %s", path);
      } while (::FindNextFileW(find.get(), &entry));
    }
  }
  if (depth > 0) return;
  RemoveFolderTree(folder);
  if (::GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES)
    setuplog::Writef(L"folder not removed: %s", folder);
}

// The font table, as the install writes it.
constexpr wchar_t kFontsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";

// true when a folder on the way to path (below its drive) is a link: a user
// who may write in a folder of the product could have swapped a subfolder
// for a link to anywhere, and nothing is removed through it.
bool PathThroughLink(const wchar_t* path) {
  wchar_t prefix[MAX_PATH];
  if (!kl::Copy(prefix, path)) return true;
  for (size_t i = 3; prefix[i]; ++i) {
    if (prefix[i] != L'\\') continue;
    prefix[i] = 0;
    const DWORD a = ::GetFileAttributesW(prefix);
    prefix[i] = L'\\';
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  }
  return false;
}

// Deletes one recorded file (a read-only one too) whose attributes were just
// read as a. true when it is gone.
bool DeleteRecordedFile(const wchar_t* path, DWORD a) {
  if (a == INVALID_FILE_ATTRIBUTES) return true;
  if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  if (::DeleteFileW(path)) return true;
  if (a & FILE_ATTRIBUTE_READONLY) {
    ::SetFileAttributesW(path, a & ~FILE_ATTRIBUTE_READONLY);
    if (::DeleteFileW(path)) return true;
  }
  return ::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
}

bool DeleteRecordedFile(const wchar_t* path) {
  return DeleteRecordedFile(path, ::GetFileAttributesW(path));
}

// Removes exactly what the record lists: its files and fonts (with their
// font-table values), then each folder the installs made once it is empty,
// innermost first.
void RemoveRecorded(const kl::InstallJournal& record) {
  const kl::RemovalPlan plan = kl::PlanRemoval(record, kFontsKey);
  std::vector<const kl::string16*> busy;
  auto remove = [&busy](const kl::string16& file, bool font) {
    const wchar_t* path = file.c_str();
    const DWORD attributes = ::GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (PathThroughLink(path)) {
      setuplog::Writef(L"file not removed (a folder on its way is a link): %s", path);
      return;
    }
    if (font) ::RemoveFontResourceW(path);
    // The attributes read above serve the deletion: one look-up a file fewer.
    if (DeleteRecordedFile(path, attributes))
      setuplog::Writef(L"file removed: %s", path);
    else
      busy.push_back(&file);
  };
  for (const kl::string16& f : plan.files) remove(f, false);
  for (const kl::string16& f : plan.fontFiles) remove(f, true);
  // The installed program a silent run started from (which runs the
  // uninstall itself, or waits for its copy to end) stays held for the whole
  // run (see RemoveStartingProgramLater), so it is not waited for.
  const wchar_t* starter = setuplog::Silent() ? StartingProgram() : nullptr;
  if (starter)
    for (auto it = busy.begin(); it != busy.end(); ++it)
      if (::CompareStringOrdinal((*it)->c_str(), -1, starter, -1, TRUE) == CSTR_EQUAL) {
        setuplog::Writef(L"file in use, not removed: %s", (*it)->c_str());
        busy.erase(it);
        break;
      }
  // A file still held (the interactive uninstaller that started this copy
  // is ending) is tried again for a few seconds.
  for (int attempt = 0; attempt < 6 && !busy.empty(); ++attempt) {
    ::Sleep(500);
    std::vector<const kl::string16*> still;
    for (const kl::string16* f : busy) {
      if (DeleteRecordedFile(f->c_str()))
        setuplog::Writef(L"file removed: %s", f->c_str());
      else
        still.push_back(f);
    }
    busy.swap(still);
  }
  for (const kl::string16* f : busy) setuplog::Writef(L"file in use, not removed: %s", f->c_str());

  if (!plan.fontValues.empty()) {
    ui::RegKey fonts;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFontsKey, 0, KEY_SET_VALUE, fonts.out()) ==
        ERROR_SUCCESS)
      for (const kl::string16& name : plan.fontValues)
        if (::RegDeleteValueW(fonts.get(), name.c_str()) == ERROR_SUCCESS)
          setuplog::Writef(L"font value removed: %s", name.c_str());
  }
  if (!plan.fontFiles.empty()) {
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored);
  }

  for (const kl::string16& folder : plan.folders) {
    const DWORD a = ::GetFileAttributesW(folder.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (PathThroughLink(folder.c_str())) continue;
    if (::RemoveDirectoryW(folder.c_str())) setuplog::Writef(L"folder removed: %s", folder.c_str());
  }
}

// Names in the log what is still in folder after the removal (bounded).
void LogLeftInPlace(const wchar_t* folder, int depth, int* budget) {
  wchar_t pattern[MAX_PATH];
  const size_t n = kl::StrLen(folder);
  const wchar_t* sep = (n && folder[n - 1] == L'\\') ? L"" : L"\\";
  if (depth > 16 || !kl::Format(pattern, L"%s%s*", folder, sep)) return;
  WIN32_FIND_DATAW entry;
  ui::FindHandle find(::FindFirstFileW(pattern, &entry));
  if (!find) return;
  do {
    const wchar_t* name = entry.cFileName;
    if (name[0] == L'.' && (!name[1] || (name[1] == L'.' && !name[2]))) continue;
    wchar_t path[MAX_PATH];
    if (!kl::Format(path, L"%s%s%s", folder, sep, name)) continue;
    if (--*budget < 0) {
      if (*budget == -1) setuplog::Writef(L"left in place: more in %s", folder);
      return;
    }
    const DWORD a = entry.dwFileAttributes;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
      setuplog::Writef(L"left in place: %s\\", path);
      LogLeftInPlace(path, depth + 1, budget);
    } else {
      setuplog::Writef(L"left in place: %s", path);
    }
  } while (::FindNextFileW(find.get(), &entry));
}

void LogFolderLeft(const wchar_t* folder) {
  if (!setuplog::Active() || ::GetFileAttributesW(folder) == INVALID_FILE_ATTRIBUTES) return;
  setuplog::Writef(L"left in place: %s", folder);
  int budget = 200;
  LogLeftInPlace(folder, 0, &budget);
}

// Without a record (an install by an earlier build): the whole folder, unless
// it is a system or user folder, lies in one, or holds one.
void RemoveWholeFolder(const wchar_t* folder) {
  if (!folder[0] || ::GetFileAttributesW(folder) == INVALID_FILE_ATTRIBUTES) return;
  if (IsGuardedFromTreeRemoval(folder)) {
    setuplog::Writef(L"left in place: %s (a system or user folder is never removed whole)",
                     folder);
    return;
  }
  RemoveLogged(folder);
}

// The vendor's key goes too once no product of the vendor is left in it.
void DeleteEmptyVendorKey(HKEY root) {
  ui::RegKey vendor;
  if (::RegOpenKeyExW(root, L"Software\\zorbl", 0, KEY_READ, vendor.out()) != ERROR_SUCCESS)
    return;
  DWORD subkeys = 0, values = 0;
  if (::RegQueryInfoKeyW(vendor.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                         &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0 || values != 0)
    return;
  vendor.reset();
  DeleteLeafKey(root, L"Software", L"zorbl");
}

// The farewell call into the installed interface library, if it has one.
void NotifyInterface(const wchar_t* installDir) {
  wchar_t library[kPathChars];
  if (!installDir[0] || !kl::Format(library, L"%sITF\\Interface.dll", installDir)) return;
  // Only this file: no search along the path for a library of that name.
  HMODULE module = ::LoadLibraryExW(library, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return;
  using Message = int(__cdecl*)(int, int, int, int);
  if (auto fn = reinterpret_cast<Message>(
          reinterpret_cast<void*>(::GetProcAddress(module, "KLInterfaceMessage"))))
    fn(0, 7, 0, 0);
  ::FreeLibrary(module);
}

}  // namespace

const wchar_t* StartingProgram() {
  const wchar_t* started = FileArgument(g_launch->commandLine);
  return started && *started ? started : nullptr;
}

int RunUninstall(UninstallContext& context) {
  const InstallSession& session = *context.session;
  wchar_t imeName[40];
  kl::Copy(imeName, session.imeName);

  ReportProgress(context, 0, L"开始卸载...");

  ReportProgress(context, 5, L"  1.卸载输入接口...");
  NotifyInterface(session.installDir);

  ReportProgress(context, 20, L"  2.删除文件系统...");
  wchar_t dataFolder[kPathChars] = {};
  const bool hasData = imeName[0] && GetProductDataFolder(imeName, dataFolder);
  kl::InstallJournal record;
  const RecordState state = ReadRemovalRecord(imeName, &record);
  if (state == RecordState::kRead) {
    // Exactly what the installs placed; what else is there stays.
    setuplog::Writef(L"removal record: %u entries",
                     static_cast<unsigned>(record.entries().size()));
    RemoveRecorded(record);
    if (session.installDir[0]) LogFolderLeft(session.installDir);
    if (hasData) LogFolderLeft(dataFolder);
  } else {
    setuplog::Write(state == RecordState::kBad
                        ? L"the removal record is unreadable: the folders are removed whole"
                        : L"no removal record (an earlier build's install): the folders are "
                          L"removed whole");
    RemoveWholeFolder(session.installDir);
    if (hasData) RemoveWholeFolder(dataFolder);
  }
  RemoveVirtualizedData();

  ReportProgress(context, 40, L"  3.删除快捷方式...");
  RemoveShortcuts(context);

  ReportProgress(context, 60, L"  4.删除注册表信息...");
  if (imeName[0]) {
    DeleteLeafKey(HKEY_LOCAL_MACHINE, kUninstallKey, imeName);
    DeleteLeafKey(HKEY_LOCAL_MACHINE, L"Software\\zorbl", imeName);
    DeleteLeafKey(HKEY_CURRENT_USER, L"Software\\zorbl", imeName);
    DeleteEmptyVendorKey(HKEY_LOCAL_MACHINE);
    DeleteEmptyVendorKey(HKEY_CURRENT_USER);
  }

  ReportProgress(context, 80, L"  5.卸载输入法...");
  RemoveInputMethod(context);

  ReportProgress(context, 100, L"  6.卸载完成.");
  return 1;
}

int RemoveShortcuts(UninstallContext& context) {
  wchar_t displayName[80];
  kl::Copy(displayName, context.session->displayName);
  wchar_t desktop[MAX_PATH];
  wchar_t product[MAX_PATH];
  wchar_t tools[MAX_PATH];
  const bool haveFolders = ProductLinkFolders(displayName, desktop, product, tools);

  wchar_t path[MAX_PATH];
  if (desktop[0]) {
    if (haveFolders && kl::Format(path, L"%s%s系统设置.lnk", desktop, displayName))
      ::DeleteFileW(path);
    ::SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_PATHW, desktop, nullptr);
  }

  if (haveFolders) {
    const wchar_t* const links[] = {
        L"%s系统设置.lnk",          L"%s使用帮助.lnk",         L"%s检查更新.lnk",
        L"%s更多工具\\码表查询.lnk", L"%s更多工具\\按键功能.lnk", L"%s更多工具\\添加用户词.lnk",
        L"%s更多工具\\修复安装.lnk", L"%s更多工具\\卸载软件.lnk",
    };
    for (const wchar_t* format : links)
      if (kl::FormatN(path, MAX_PATH, format, product)) ::DeleteFileW(path);
    ::RemoveDirectoryW(tools);
    ::RemoveDirectoryW(product);
    // Whatever the user added to the folder goes with it.
    RemoveFolderTree(product);
  }

  wchar_t programs[MAX_PATH];
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS | CSIDL_FLAG_CREATE, nullptr,
                                   SHGFP_TYPE_CURRENT, programs))) {
    const size_t n = kl::StrLen(programs);
    if (n && programs[n - 1] != L'\\') kl::Append(programs, L"\\");
    if (haveFolders) ::SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW | SHCNF_FLUSH, product, nullptr);
    ::SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW | SHCNF_FLUSH, programs, nullptr);
    ::SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW | SHCNF_FLUSH, programs, nullptr);
  }
  return 1;
}

int RemoveInputMethod(UninstallContext& context) {
  wchar_t imeName[40];
  kl::Copy(imeName, context.session->imeName);
  wchar_t fileName[40];
  if (!imeName[0] || !MakeImeFileName(imeName, fileName)) return 0;

  const std::vector<std::wstring> layouts = LayoutsUsingModule(fileName);
  if (layouts.empty()) return 0;
  for (const std::wstring& id : layouts) {
    RemoveLayoutById(id.c_str());
    setuplog::Writef(L"keyboard layout removed: %s", id.c_str());
  }

  DWORD_PTR result = 0;
  while (!::SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                                reinterpret_cast<LPARAM>(kPreloadText), SMTO_NOTIMEOUTIFNOTHUNG,
                                100, &result) &&
         g_broadcastRetries <= 4) {
    ++g_broadcastRetries;
    // An unattended run shows nothing: the pause of the empty box is a wait.
    if (setuplog::Silent())
      ::Sleep(1000);
    else
      ::MessageBoxW(nullptr, L"", L"", MB_OK);
  }
  // Once more, and never held for good by a hung window.
  ::SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                        reinterpret_cast<LPARAM>(kPreloadText), SMTO_ABORTIFHUNG,
                        kLayoutBroadcastTimeoutMs, &result);

  wchar_t module[MAX_PATH];
  if (MakeImeSystemPath(imeName, module)) {
    if (::DeleteFileW(module) || ::GetFileAttributesW(module) == INVALID_FILE_ATTRIBUTES) {
      setuplog::Writef(L"file removed: %s", module);
    } else {
      ::MoveFileExW(module, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      context.restartNeeded = 1;
      setuplog::Writef(L"file in use, removed at the next restart: %s", module);
    }
  }
  return 1;
}
