// Recording what an install run creates, and taking it back.
#include "install/rollback_win.h"

#include <shlwapi.h>

#include <vector>

#include "base/format_win.h"
#include "base/text.h"
#include "install/ime_win.h"
#include "install/journal.h"
#include "state/cmdline_win.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

constexpr uint32_t kMachine = 0;
constexpr uint32_t kUser = 1;

bool EndsWithBackslash(const wchar_t* s) {
  const size_t n = kl::StrLen(s);
  return n > 0 && s[n - 1] == L'\\';
}

uint32_t HiveCode(HKEY hive) { return hive == HKEY_CURRENT_USER ? kUser : kMachine; }
HKEY HiveOf(uint32_t code) { return code == kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

bool KeyExists(HKEY hive, const wchar_t* path) {
  ui::RegKey key;
  return ::RegOpenKeyExW(hive, path, 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

void DeleteOrSchedule(const wchar_t* path) {
  if (::DeleteFileW(path) || !PathExists(path)) return;
  ::SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  if (::DeleteFileW(path)) return;
  ::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// A path of the product's own: in the install folder, in its data folder, or
// its input-method module. A file written over one of these is still the
// product's for the uninstall.
bool IsProductPath(const InstallContext& context, const wchar_t* path) {
  auto under = [path](const wchar_t* folder) {
    const size_t n = kl::StrLen(folder);
    return n > 3 && folder[n - 1] == L'\\' && kl::StrLen(path) > n &&
           CompareStringOrdinal(path, static_cast<int>(n), folder, static_cast<int>(n), TRUE) ==
               CSTR_EQUAL;
  };
  if (under(context.installDir)) return true;
  if (!context.header) return false;
  wchar_t data[kPathChars];
  if (GetProductDataFolder(context.header->imeName, data) && under(data)) return true;
  wchar_t module[MAX_PATH];
  return MakeImeSystemPath(context.header->imeName, module) &&
         CompareStringOrdinal(path, -1, module, -1, TRUE) == CSTR_EQUAL;
}

void Undo(const kl::UndoEntry& e) {
  const wchar_t* path = e.path.c_str();
  switch (e.kind) {
    case kl::UndoKind::kFontFile:
      ::RemoveFontResourceW(path);
      DeleteOrSchedule(path);
      break;
    case kl::UndoKind::kFile:
      DeleteOrSchedule(path);
      break;
    case kl::UndoKind::kFolder:
      // Its files went before it; whatever else the run left in it goes too.
      if (!::RemoveDirectoryW(path) && PathExists(path)) RemoveFolderTree(path);
      break;
    case kl::UndoKind::kRegistryKey:
      ::SHDeleteKeyW(HiveOf(e.hive), path);
      break;
    case kl::UndoKind::kRegistryValue: {
      ui::RegKey key;
      if (::RegOpenKeyExW(HiveOf(e.hive), path, 0, KEY_SET_VALUE, key.out()) != ERROR_SUCCESS)
        break;
      if (e.hadValue)
        ::RegSetValueExW(key.get(), e.name.c_str(), 0, e.valueType, e.valueData.data(),
                         static_cast<DWORD>(e.valueData.size()));
      else
        ::RegDeleteValueW(key.get(), e.name.c_str());
      break;
    }
    case kl::UndoKind::kLayout:
      RemoveLayoutById(path);
      break;
    case kl::UndoKind::kPlacedFile:
      break;  // it existed before the run: a failed run keeps it
  }
}

}  // namespace

void JournalNewFile(InstallContext& context, const wchar_t* path, bool font) {
  if (!context.journal || !path || !path[0]) return;
  if (!PathExists(path)) {
    context.journal->AddPath(font ? kl::UndoKind::kFontFile : kl::UndoKind::kFile, path);
  } else if (!font && IsProductPath(context, path)) {
    // Written over: an earlier install's file, or one in the product's
    // folders. Elsewhere (the system and Windows folders, the fonts) a file
    // that existed before stays the system's.
    context.journal->AddPath(kl::UndoKind::kPlacedFile, path);
  }
}

void JournalNewFolders(InstallContext& context, const wchar_t* folder) {
  if (!context.journal || !folder) return;
  for (const kl::string16& f :
       kl::MissingFolders(folder, [](const kl::string16& p) { return PathExists(p.c_str()); }))
    context.journal->AddPath(kl::UndoKind::kFolder, f);
}

namespace {

// JournalNewTree's walk. destinationMissing: the destination folder did not
// exist before the run, so nothing in it did: its files are new without
// asking the file system for each one.
void JournalTree(InstallContext& context, const wchar_t* source, const wchar_t* destination,
                 bool destinationMissing) {
  if (!destinationMissing) destinationMissing = !PathExists(destination);
  JournalNewFolders(context, destination);
  wchar_t pattern[MAX_PATH];
  wchar_t sourcePrefix[MAX_PATH];
  wchar_t destPrefix[MAX_PATH];
  if (!kl::Format(pattern, EndsWithBackslash(source) ? L"%s*" : L"%s\\*", source) ||
      !kl::Format(sourcePrefix, EndsWithBackslash(source) ? L"%s" : L"%s\\", source) ||
      !kl::Format(destPrefix, EndsWithBackslash(destination) ? L"%s" : L"%s\\", destination))
    return;
  WIN32_FIND_DATAW entry;
  ui::FindHandle find(::FindFirstFileW(pattern, &entry));
  if (!find) return;
  do {
    const wchar_t* name = entry.cFileName;
    wchar_t from[MAX_PATH];
    wchar_t to[MAX_PATH];
    if (!kl::Format(from, L"%s%s", sourcePrefix, name) ||
        !kl::Format(to, L"%s%s", destPrefix, name))
      continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name[0] != L'.') JournalTree(context, from, to, destinationMissing);
    } else if (destinationMissing) {
      context.journal->AddPath(kl::UndoKind::kFile, to);
    } else {
      JournalNewFile(context, to);
    }
  } while (::FindNextFileW(find.get(), &entry));
}

}  // namespace

void JournalNewTree(InstallContext& context, const wchar_t* source, const wchar_t* destination) {
  if (!context.journal || !source || !destination) return;
  JournalTree(context, source, destination, false);
}

void JournalRegistryKey(InstallContext& context, HKEY hive, const wchar_t* keyPath) {
  if (!context.journal || !keyPath) return;
  // Outermost missing key first, as for folders.
  kl::string16 path(keyPath);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  std::vector<kl::string16> missing;
  while (!path.empty() && !KeyExists(hive, path.c_str())) {
    missing.push_back(path);
    const size_t slash = path.find_last_of(L'\\');
    if (slash == kl::string16::npos) break;
    path.resize(slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    kl::UndoEntry e;
    e.kind = kl::UndoKind::kRegistryKey;
    e.hive = HiveCode(hive);
    e.path = *it;
    context.journal->Add(std::move(e));
  }
}

void JournalRegistryValue(InstallContext& context, HKEY hive, const wchar_t* keyPath,
                          const wchar_t* valueName) {
  if (!context.journal || !keyPath || !valueName) return;
  ui::RegKey key;
  if (::RegOpenKeyExW(hive, keyPath, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return;
  kl::UndoEntry e;
  e.kind = kl::UndoKind::kRegistryValue;
  e.hive = HiveCode(hive);
  e.path = keyPath;
  e.name = valueName;
  DWORD type = 0;
  DWORD bytes = 0;
  if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &bytes) ==
      ERROR_SUCCESS) {
    e.valueData.resize(bytes);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type,
                           bytes ? e.valueData.data() : nullptr, &bytes) != ERROR_SUCCESS)
      return;  // changed under us: better not to guess its old state
    e.valueData.resize(bytes);
    e.hadValue = true;
    e.valueType = type;
  }
  context.journal->Add(std::move(e));
}

void JournalLayout(InstallContext& context, const wchar_t* layoutId) {
  if (!context.journal || !layoutId || !layoutId[0]) return;
  context.journal->AddPath(kl::UndoKind::kLayout, layoutId);
}

void UndoInstall(InstallContext& context) {
  if (!context.journal) return;
  for (const kl::UndoEntry* e : context.journal->UndoOrder()) Undo(*e);
  *context.journal = kl::InstallJournal();
}
