#include "install/journal.h"

#include <algorithm>

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

void InstallJournal::Merge(const InstallJournal& other) {
  for (const UndoEntry& e : other.entries_) Add(e);
}

namespace {

constexpr uint8_t kRecordMagic[4] = {'K', 'L', 'R', '1'};

void PutU8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutText(std::vector<uint8_t>& out, const string16& s) {
  PutU16(out, static_cast<uint16_t>(s.size()));
  for (wchar16 c : s) PutU16(out, static_cast<uint16_t>(c));
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), left_(data ? size : 0) {}
  bool U8(uint8_t* v) {
    if (left_ < 1) return false;
    *v = *p_++;
    --left_;
    return true;
  }
  bool U16(uint16_t* v) {
    if (left_ < 2) return false;
    *v = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
    p_ += 2;
    left_ -= 2;
    return true;
  }
  bool U32(uint32_t* v) {
    if (left_ < 4) return false;
    *v = static_cast<uint32_t>(p_[0]) | (static_cast<uint32_t>(p_[1]) << 8) |
         (static_cast<uint32_t>(p_[2]) << 16) | (static_cast<uint32_t>(p_[3]) << 24);
    p_ += 4;
    left_ -= 4;
    return true;
  }
  bool Text(string16* s) {
    uint16_t n = 0;
    if (!U16(&n) || n > kMaxRecordTextUnits || left_ < 2u * n) return false;
    s->clear();
    s->reserve(n);
    for (uint16_t i = 0; i < n; ++i) {
      uint16_t c = 0;
      U16(&c);
      if (c == 0) return false;  // a NUL would cut the path short
      s->push_back(static_cast<wchar16>(c));
    }
    return true;
  }
  bool Bytes(std::vector<uint8_t>* out, size_t n) {
    if (left_ < n) return false;
    out->assign(p_, p_ + n);
    p_ += n;
    left_ -= n;
    return true;
  }
  size_t left() const { return left_; }

 private:
  const uint8_t* p_;
  size_t left_;
};

bool HasNul(const string16& s) { return s.find(wchar16(0)) != string16::npos; }

}  // namespace

std::vector<uint8_t> SerializeRemovalRecord(const InstallJournal& journal) {
  std::vector<uint8_t> out;
  const auto& entries = journal.entries();
  if (entries.size() > kMaxRecordEntries) return {};
  out.insert(out.end(), kRecordMagic, kRecordMagic + 4);
  PutU32(out, static_cast<uint32_t>(entries.size()));
  for (const UndoEntry& e : entries) {
    if (e.path.size() > kMaxRecordTextUnits || e.name.size() > kMaxRecordTextUnits ||
        e.valueData.size() > kMaxRecordValueBytes || HasNul(e.path) || HasNul(e.name))
      return {};
    PutU8(out, static_cast<uint8_t>(e.kind));
    PutU8(out, static_cast<uint8_t>(e.hive));
    PutU8(out, e.hadValue ? 1 : 0);
    PutU32(out, e.valueType);
    PutText(out, e.path);
    PutText(out, e.name);
    PutU32(out, static_cast<uint32_t>(e.valueData.size()));
    out.insert(out.end(), e.valueData.begin(), e.valueData.end());
    if (out.size() > kMaxRecordBytes) return {};
  }
  return out;
}

bool ParseRemovalRecord(const uint8_t* data, size_t size, InstallJournal* out) {
  if (!out || !data || size < 8 || size > kMaxRecordBytes) return false;
  if (!std::equal(kRecordMagic, kRecordMagic + 4, data)) return false;
  Reader r(data + 4, size - 4);
  uint32_t count = 0;
  if (!r.U32(&count) || count > kMaxRecordEntries) return false;
  InstallJournal journal;
  for (uint32_t i = 0; i < count; ++i) {
    UndoEntry e;
    uint8_t kind = 0, hive = 0, had = 0;
    uint32_t dataSize = 0;
    if (!r.U8(&kind) || !r.U8(&hive) || !r.U8(&had) || !r.U32(&e.valueType) ||
        !r.Text(&e.path) || !r.Text(&e.name) || !r.U32(&dataSize) ||
        dataSize > kMaxRecordValueBytes || !r.Bytes(&e.valueData, dataSize))
      return false;
    if (kind > static_cast<uint8_t>(UndoKind::kPlacedFile) || hive > 1 || had > 1) return false;
    e.kind = static_cast<UndoKind>(kind);
    e.hive = hive;
    e.hadValue = had != 0;
    journal.Add(std::move(e));
  }
  if (r.left() != 0) return false;
  *out = std::move(journal);
  return true;
}

bool IsPlainFullPath(string16_view path) {
  if (path.size() < 4 || path.size() > kMaxRecordTextUnits) return false;
  const wchar16 d = static_cast<wchar16>(path[0] | 0x20);
  if (!(d >= u'a' && d <= u'z') || path[1] != u':' || path[2] != u'\\') return false;
  size_t start = 3;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == string16_view::npos) end = path.size();
    const string16_view part = path.substr(start, end - start);
    if (part.empty() && end != path.size()) return false;  // "\\" inside
    if (part == KL_T(".") || part == KL_T("..")) return false;
    for (wchar16 c : part)
      if (c < 0x20 || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' ||
          c == u'<' || c == u'>' || c == u'|')
        return false;
    // A part that ends in a dot or a blank is read without it by Windows.
    if (!part.empty() && (part.back() == u'.' || part.back() == u' ')) return false;
    start = end + 1;
  }
  return path.back() != u'\\';
}

RemovalPlan PlanRemoval(const InstallJournal& record, string16_view fontsKey) {
  RemovalPlan plan;
  auto listed = [](const std::vector<string16>& list, const string16& path) {
    for (const string16& p : list)
      if (SameNameIgnoringCase(p, path)) return true;
    return false;
  };
  for (const UndoEntry& e : record.entries()) {
    switch (e.kind) {
      case UndoKind::kFile:
      case UndoKind::kPlacedFile:
        if (IsPlainFullPath(e.path) && !listed(plan.files, e.path) &&
            !listed(plan.fontFiles, e.path))
          plan.files.push_back(e.path);
        break;
      case UndoKind::kFontFile:
        if (IsPlainFullPath(e.path) && !listed(plan.fontFiles, e.path))
          plan.fontFiles.push_back(e.path);
        break;
      case UndoKind::kFolder:
        if (IsPlainFullPath(e.path) && !listed(plan.folders, e.path))
          plan.folders.push_back(e.path);
        break;
      case UndoKind::kRegistryValue:
        // Only a font-table value the install created itself.
        if (e.hive == 0 && !e.hadValue && !e.name.empty() && SameNameIgnoringCase(e.path, fontsKey))
          plan.fontValues.push_back(e.name);
        break;
      default:
        break;
    }
  }
  // A font file is not also removed as a plain file.
  std::vector<string16> files;
  for (string16& f : plan.files)
    if (!listed(plan.fontFiles, f)) files.push_back(std::move(f));
  plan.files.swap(files);
  // Innermost first: a deeper folder before the one that holds it (the
  // deepest level first, each level in recorded order).
  auto depth = [](const string16& s) {
    size_t n = 0;
    for (wchar16 c : s) n += c == u'\\';
    return n;
  };
  size_t deepest = 0;
  for (const string16& f : plan.folders) deepest = depth(f) > deepest ? depth(f) : deepest;
  std::vector<string16> folders;
  for (size_t level = deepest + 1; level-- > 0;)
    for (const string16& f : plan.folders)
      if (depth(f) == level) folders.push_back(f);
  plan.folders.swap(folders);
  return plan;
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
