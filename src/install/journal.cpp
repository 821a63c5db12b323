#include "install/journal.h"

namespace kl {

namespace {

wchar16 Lower(wchar16 c) { return (c >= u'A' && c <= u'Z') ? static_cast<wchar16>(c + 32) : c; }

bool SameEntry(const UndoEntry& a, const UndoEntry& b) {
  return a.kind == b.kind && a.hive == b.hive && SameNameIgnoringCase(a.path, b.path) &&
         SameNameIgnoringCase(a.name, b.name);
}

// Length of the root that is never created: "C:" or "\\server\share".
size_t RootLength(string16_view path) {
  if (path.size() >= 2 && path[1] == u':') return 2;
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    size_t server = path.find(u'\\', 2);
    if (server == string16_view::npos) return path.size();
    size_t share = path.find(u'\\', server + 1);
    return share == string16_view::npos ? path.size() : share;
  }
  return 0;
}

}  // namespace

bool SameNameIgnoringCase(string16_view a, string16_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

void InstallJournal::Add(UndoEntry entry) {
  for (const UndoEntry& e : entries_)
    if (SameEntry(e, entry)) return;
  entries_.push_back(std::move(entry));
}

void InstallJournal::AddPath(UndoKind kind, string16_view path) {
  UndoEntry e;
  e.kind = kind;
  e.path.assign(path.begin(), path.end());
  Add(std::move(e));
}

std::vector<const UndoEntry*> InstallJournal::UndoOrder() const {
  std::vector<const UndoEntry*> order;
  order.reserve(entries_.size());
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) order.push_back(&*it);
  return order;
}

std::vector<string16> MissingFolders(string16_view path,
                                     const std::function<bool(const string16&)>& exists) {
  std::vector<string16> missing;
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  const size_t root = RootLength(path);
  if (root == 0) return missing;  // not a full path: nothing is known to be created
  string16 folder(path);
  while (folder.size() > root) {
    if (exists(folder)) break;
    missing.push_back(folder);
    const size_t slash = folder.find_last_of(u'\\');
    if (slash == string16::npos || slash < root) break;
    folder.resize(slash);
  }
  return std::vector<string16>(missing.rbegin(), missing.rend());
}

}  // namespace kl
