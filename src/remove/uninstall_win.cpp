// Uninstall sequence, shortcut removal, layout and IME removal.
#include "remove/uninstall_win.h"

#include <shlobj.h>

#include "app/cmdline_win.h"
#include "app/remove_tree_win.h"
#include "app/setup_log_win.h"
#include "base/format_win.h"
#include "base/text.h"
#include "install/ime_win.h"
#include "install/shortcuts_win.h"
#include "package/fsutil_win.h"
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

int RunUninstall(UninstallContext& context) {
  const InstallSession& session = *context.session;
  wchar_t imeName[40];
  kl::Copy(imeName, session.imeName);

  ReportProgress(context, 0, L"开始卸载...");

  ReportProgress(context, 5, L"  1.卸载输入接口...");
  NotifyInterface(session.installDir);

  ReportProgress(context, 20, L"  2.删除文件系统...");
  if (session.installDir[0]) RemoveLogged(session.installDir);
  wchar_t dataFolder[kPathChars];
  if (imeName[0] && GetProductDataFolder(imeName, dataFolder)) RemoveLogged(dataFolder);
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
