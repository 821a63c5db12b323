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
  kPlacedFile,     // a product file written over one that existed: a failed run
                   // keeps it, the uninstall removes it
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
  // Adds every entry of other after these (the first record still wins).
  void Merge(const InstallJournal& other);

 private:
  std::vector<UndoEntry> entries_;
};

// The removal record: a journal kept after a successful install so that the
// uninstall removes what the install made and nothing else. A bounded byte
// form ("KLR1", a count, then each entry with its sizes); ParseRemovalRecord
// refuses anything malformed, oversized, with trailing bytes, an unknown kind
// or hive, or a path or name holding a NUL (which would name another path).
constexpr size_t kMaxRecordBytes = 256 * 1024;
constexpr size_t kMaxRecordEntries = 4096;
constexpr size_t kMaxRecordTextUnits = 1024;  // a path or value name
constexpr size_t kMaxRecordValueBytes = 4096;
// Empty when the journal does not fit the bounds.
std::vector<uint8_t> SerializeRemovalRecord(const InstallJournal& journal);
bool ParseRemovalRecord(const uint8_t* data, size_t size, InstallJournal* out);

// A full drive path ("C:\a\b") with no "." or ".." part, no empty part, no
// "/", ":" or wildcard beyond the drive, and no control character: the only
// paths a record may name.
bool IsPlainFullPath(string16_view path);

// What the uninstall removes by a record: the files (fonts separately, with
// their font-table value names), then the folders the installs made,
// innermost first. Entries whose path is not a plain full path are dropped.
struct RemovalPlan {
  std::vector<string16> files;
  std::vector<string16> fontFiles;
  std::vector<string16> fontValues;  // value names in the font table
  std::vector<string16> folders;
};
RemovalPlan PlanRemoval(const InstallJournal& record, string16_view fontsKey);

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
