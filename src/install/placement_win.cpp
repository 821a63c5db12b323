// Install step 1: file placement tokens and fonts.
#include "install/placement_win.h"

#include <shlobj.h>

#include <cwchar>
#include <string>
#include <vector>

#include "base/format_win.h"
#include "base/text.h"
#include "install/registry_win.h"
#include "install/rollback_win.h"
#include "state/cmdline_win.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

constexpr wchar_t kFontsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";

// The files a copy of the tree `source` into `destination` places, for the
// log: destination paths, with the copy's rule (subfolders whose names
// begin with a full stop are not copied). Paths that do not fit are skipped.
void ListTree(const wchar_t* source, const wchar_t* destination, std::vector<std::wstring>* out,
              int depth = 0) {
  if (depth > 64 || !setuplog::Active()) return;
  wchar_t pattern[MAX_PATH];
  if (!kl::Format(pattern, L"%s*", source)) return;
  WIN32_FIND_DATAW entry;
  ui::FindHandle find(::FindFirstFileW(pattern, &entry));
  if (!find) return;
  do {
    const wchar_t* name = entry.cFileName;
    if (name[0] == L'.') continue;  // ".", ".." and hidden subfolders
    wchar_t to[MAX_PATH];
    const size_t n = kl::StrLen(destination);
    if (!kl::Format(to, (n && destination[n - 1] == L'\\') ? L"%s%s" : L"%s\\%s", destination,
                    name))
      continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      wchar_t from[MAX_PATH];
      if (kl::Format(from, L"%s%s\\", source, name)) ListTree(from, to, out, depth + 1);
    } else {
      out->push_back(to);
    }
  } while (::FindNextFileW(find.get(), &entry));
}

// Copies the tree and logs each file it was to place.
void CopyLogged(const wchar_t* source, const wchar_t* destination, InstallContext& context) {
  std::vector<std::wstring> files;
  ListTree(source, destination, &files);
  bool deferred = false;
  CopyFolder(source, destination, 0, &deferred);
  if (deferred) context.restartNeeded = 1;
  for (const std::wstring& file : files)
    setuplog::Writef(PathExists(file.c_str()) ? L"file placed: %s" : L"file not placed: %s",
                     file.c_str());
  if (deferred) setuplog::Write(L"files in use are replaced at the next restart");
}

// Moves one token folder of the extraction folder to its destination and
// removes what is left of it, so the final move does not carry it along.
void MoveToken(const wchar_t* tokenFolder, const wchar_t* destination, InstallContext& context) {
  JournalNewTree(context, tokenFolder, destination);
  CopyLogged(tokenFolder, destination, context);
  RemoveFolderTree(tokenFolder);
}

}  // namespace

bool FontValueName(const wchar_t* fileName, wchar_t (&valueName)[64]) {
  valueName[0] = 0;
  if (const wchar_t* ttf = kl::Find<wchar_t>(fileName, L".ttf")) {
    const size_t stem = static_cast<size_t>(ttf - fileName);
    kl::CopyN(valueName, stem + 1 < 64 ? stem + 1 : 64, fileName);
    kl::Append(valueName, L"(TrueType)");
    return true;
  }
  if (kl::Find<wchar_t>(fileName, L".ttc")) {
    kl::Format(valueName, L"%s(TrueType-C)", fileName);
    return true;
  }
  return false;
}

bool RegisterFontValue(const wchar_t* valueName, const wchar_t* fileName,
                       InstallContext* context) {
  if (context) JournalRegistryValue(*context, HKEY_LOCAL_MACHINE, kFontsKey, valueName);
  ui::RegKey fonts;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFontsKey, 0, KEY_ALL_ACCESS, fonts.out()) !=
      ERROR_SUCCESS)
    return false;
  return SetStringValue(fonts.get(), valueName, fileName);
}

bool InstallFonts(const wchar_t* folder, InstallContext* context) {
  wchar_t fontsFolder[MAX_PATH];
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_FONTS | CSIDL_FLAG_CREATE, nullptr,
                                SHGFP_TYPE_CURRENT, fontsFolder)))
    return false;
  const size_t n = kl::StrLen(fontsFolder);
  if (n == 0 || fontsFolder[n - 1] != L'\\') kl::Append(fontsFolder, L"\\");

  wchar_t pattern[MAX_PATH];
  kl::Format(pattern, L"%s*", folder);
  WIN32_FIND_DATAW entry;
  {
    ui::FindHandle find(::FindFirstFileW(pattern, &entry));
    if (find) {
      // The first entry of a folder listing is the folder itself (".").
      while (::FindNextFileW(find.get(), &entry)) {
        const wchar_t* name = entry.cFileName;
        wchar_t valueName[64];
        if (!FontValueName(name, valueName)) continue;
        wchar_t from[MAX_PATH];
        wchar_t to[MAX_PATH];
        if (!kl::Format(from, L"%s%s", folder, name) ||
            !kl::Format(to, L"%s%s", fontsFolder, name))
          continue;
        if (context) JournalNewFile(*context, to, true);
        if (!::CopyFileW(from, to, FALSE)) {
          setuplog::Writef(L"file not placed: %s (Windows error %lu)", to, ::GetLastError());
          continue;
        }
        setuplog::Writef(L"file placed: %s", to);
        ::AddFontResourceW(to);
        RegisterFontValue(valueName, name, context);
      }
    }
  }
  // Tell every top-level window; a hung one is given up on after a short
  // wait so that it cannot hold the install.
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG,
                        kFontChangeTimeoutMs, &ignored);
  return true;
}

bool PlaceFiles(InstallContext& context) {
  LaunchInfo& launch = *context.launch;
  const wchar_t* extract = launch.extractFolder;
  wchar_t token[MAX_PATH];

  wchar_t systemDir[MAX_PATH];
  UINT len = ::GetSystemDirectoryW(systemDir, MAX_PATH);
  if (kl::Format(token, L"%s$system32$\\", extract) && PathExists(token) && len && len < MAX_PATH)
    MoveToken(token, systemDir, context);

  wchar_t windowsDir[MAX_PATH];
  len = ::GetWindowsDirectoryW(windowsDir, MAX_PATH);
  if (kl::Format(token, L"%s$windows$\\", extract) && PathExists(token) && len && len < MAX_PATH)
    MoveToken(token, windowsDir, context);

  if (kl::Format(token, L"%s$fonts$\\", extract) && PathExists(token)) {
    InstallFonts(token, &context);
    RemoveFolderTree(token);
  }

  wchar_t dataFolder[kPathChars];
  if (kl::Format(token, L"%s$dataFiles$\\", extract) && PathExists(token) &&
      GetProductDataFolder(context.header->imeName, dataFolder))
    MoveToken(token, dataFolder, context);

  JournalNewTree(context, extract, context.installDir);
  CopyLogged(extract, context.installDir, context);

  wchar_t uninstaller[kPathChars];
  // A cut path would name another file: an install directory that leaves no
  // room for the uninstaller's name fails the step.
  if (!kl::Format(uninstaller, L"%sunstall.exe", context.installDir)) return false;
  JournalNewFile(context, uninstaller);
  if (std::wcscmp(launch.programCopyPath, uninstaller) != 0 &&
      ::CopyFileW(launch.programCopyPath, uninstaller, FALSE))
    ApplyPlacedFileAccess(uninstaller);  // administrators' only, as every program
  const bool placed = PathExists(uninstaller);
  setuplog::Writef(placed ? L"file placed: %s" : L"file not placed: %s", uninstaller);
  return placed;
}
