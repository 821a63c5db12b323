// What one install run created, so that a failed run can take it back: the
// files, folders, registry keys and values, font files and keyboard layouts
// that did not exist before the run. Something that existed before the run is
// never recorded as created; a registry value that existed is recorded with
// its old data so that it can be put back. Portable: the Windows side
// (install/rollback_win) records and undoes the entries.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/text.h"

namespace kl {

enum class UndoKind : uint8_t {
  kFile,           // delete the file (at the next restart when it is in use)
  kFontFile,       // remove it from the font table, then delete it
  kFolder,         // remove the folder (it held nothing before the run)
  kRegistryKey,    // delete the key with everything in it
  kRegistryValue,  // put the old value back, or delete the value when it had none
  kLayout,         // remove the keyboard layout with this identifier
};

struct UndoEntry {
  UndoKind kind = UndoKind::kFile;
  uint32_t hive = 0;    // registry entries: 0 local machine, 1 current user
  string16 path;        // file or folder path, registry key path, layout identifier
  string16 name;        // registry value name
  bool hadValue = false;           // kRegistryValue: the value existed before the run
  uint32_t valueType = 0;          // its old type and data
  std::vector<uint8_t> valueData;
};

class InstallJournal {
 public:
  // Records an entry. The first record of a thing wins: it saw the state
  // from before the run, a later one only what the run itself made.
  void Add(UndoEntry entry);
  void AddPath(UndoKind kind, string16_view path);

  const std::vector<UndoEntry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  // The entries in the order they are undone: the newest first, so that a
  // folder's files go before the folder and a key's values before the key.
  std::vector<const UndoEntry*> UndoOrder() const;

 private:
  std::vector<UndoEntry> entries_;
};

// Letter case is ignored as the Windows file system and registry ignore it
// (ASCII letters only; that is all the comparisons here need).
bool SameNameIgnoringCase(string16_view a, string16_view b);

// The folders of path (a full path such as "C:\a\b\c\", trailing backslash
// optional) that do not exist yet, outermost first, each without a trailing
// backslash: the folders that creating path would create. exists() is asked
// from the innermost folder outwards and not beyond the first that exists.
// A drive ("C:") or UNC share ("\\server\share") is never listed.
std::vector<string16> MissingFolders(string16_view path,
                                     const std::function<bool(const string16&)>& exists);

}  // namespace kl
