#include "update/version_block.h"

#include "base/le.h"

namespace klupdate {

namespace {

size_t Align4(size_t v) { return (v + 3) & ~static_cast<size_t>(3); }

kl::string16 ReadText(const unsigned char* block, size_t from, size_t end) {
  kl::string16 s;
  for (size_t p = from; p + 2 <= end; p += 2) {
    const wchar16 c = static_cast<wchar16>(kl::Load16(block + p));
    if (!c) break;
    s.push_back(c);
  }
  return s;
}

kl::string16 NodeKey(const unsigned char* block, const VersionNode& n) {
  return ReadText(block, n.offset + 6, n.offset + 6 + 2 * n.keyChars);
}

const VersionNode* FindChild(const unsigned char* block, const std::vector<VersionNode>& kids,
                             const wchar16* key) {
  for (const auto& k : kids)
    if (VersionNodeKeyIs(block, k, key)) return &k;
  return nullptr;
}

}  // namespace

bool ReadVersionNode(const unsigned char* block, size_t limit, size_t offset, VersionNode* out) {
  if (!block || offset > limit || limit - offset < 6) return false;
  VersionNode n;
  n.offset = offset;
  n.wLength = kl::Load16(block + offset);
  n.wValueLength = kl::Load16(block + offset + 2);
  n.wType = kl::Load16(block + offset + 4);
  if (n.wLength < 6 || n.wLength > limit - offset) return false;
  n.end = offset + n.wLength;
  size_t p = offset + 6;
  for (;;) {
    if (n.end - p < 2) return false;  // the key has no NUL inside the node
    if (kl::Load16(block + p) == 0) break;
    p += 2;
  }
  n.keyChars = (p - offset - 6) / 2;
  n.valueOffset = Align4(p + 2);
  if (n.valueOffset > n.end) n.valueOffset = n.end;
  const size_t want = n.wType == 1 ? 2 * static_cast<size_t>(n.wValueLength) : n.wValueLength;
  n.valueBytes = want < n.end - n.valueOffset ? want : n.end - n.valueOffset;
  n.children = Align4(n.valueOffset + n.valueBytes);
  if (n.children > n.end) n.children = n.end;
  *out = n;
  return true;
}

bool VersionNodeKeyIs(const unsigned char* block, const VersionNode& node, const wchar16* key) {
  const size_t len = kl::StrLen(key);
  if (len != node.keyChars) return false;
  for (size_t i = 0; i < len; ++i)
    if (kl::Load16(block + node.offset + 6 + 2 * i) != static_cast<uint16_t>(key[i])) return false;
  return true;
}

std::vector<VersionNode> VersionChildren(const unsigned char* block, const VersionNode& parent) {
  std::vector<VersionNode> kids;
  size_t at = parent.children;
  while (at < parent.end) {
    VersionNode k;
    if (!ReadVersionNode(block, parent.end, at, &k)) break;
    kids.push_back(k);
    at = Align4(k.end);
  }
  return kids;
}

bool ReadVersionRoot(const unsigned char* block, size_t size, VersionNode* root) {
  return ReadVersionNode(block, size, 0, root);
}

std::vector<VersionString> ListVersionStrings(const unsigned char* block, size_t size) {
  std::vector<VersionString> out;
  VersionNode root;
  if (!ReadVersionRoot(block, size, &root)) return out;
  for (const auto& sfi : VersionChildren(block, root)) {
    if (!VersionNodeKeyIs(block, sfi, KL_T("StringFileInfo"))) continue;
    for (const auto& table : VersionChildren(block, sfi)) {
      const kl::string16 tableKey = NodeKey(block, table);
      for (const auto& s : VersionChildren(block, table)) {
        VersionString v;
        v.table = tableKey;
        v.key = NodeKey(block, s);
        v.value = ReadText(block, s.valueOffset, s.valueOffset + s.valueBytes);
        out.push_back(std::move(v));
      }
    }
  }
  return out;
}

kl::string16 FindVersionString(const unsigned char* block, size_t size, const wchar16* key) {
  for (const auto& s : ListVersionStrings(block, size))
    if (s.key == key) return s.value;
  return {};
}

std::vector<std::pair<uint16_t, uint16_t>> ListTranslations(const unsigned char* block,
                                                            size_t size) {
  std::vector<std::pair<uint16_t, uint16_t>> out;
  VersionNode root;
  if (!ReadVersionRoot(block, size, &root)) return out;
  const auto kids = VersionChildren(block, root);
  const VersionNode* var = FindChild(block, kids, KL_T("VarFileInfo"));
  if (!var) return out;
  const auto vars = VersionChildren(block, *var);
  const VersionNode* tr = FindChild(block, vars, KL_T("Translation"));
  if (!tr) return out;
  for (size_t p = 0; p + 4 <= tr->valueBytes; p += 4)
    out.emplace_back(kl::Load16(block + tr->valueOffset + p),
                     kl::Load16(block + tr->valueOffset + p + 2));
  return out;
}

bool ReadFixedFileVersion(const unsigned char* block, size_t size, Version* out) {
  VersionNode root;
  if (!ReadVersionRoot(block, size, &root) || root.valueBytes < 52) return false;
  const unsigned char* f = block + root.valueOffset;
  if (kl::Load32(f) != 0xFEEF04BDu) return false;
  *out = (static_cast<uint64_t>(kl::Load32(f + 8)) << 32) | kl::Load32(f + 12);
  return true;
}

std::vector<unsigned char> BuildStringNode(const wchar16* key, const wchar16* value) {
  const size_t keyLen = kl::StrLen(key);
  const size_t valueLen = kl::StrLen(value);
  size_t kb = (keyLen + 1) * 2;
  if (kb % 4 == 0) kb += 2;
  size_t vb = (valueLen + 1) * 2;
  if (vb % 4 != 0) vb += 2;
  std::vector<unsigned char> node(6 + kb + vb, 0);
  kl::Store16(node.data(), static_cast<uint32_t>(kb + 2 * valueLen + 8));
  kl::Store16(node.data() + 2, static_cast<uint32_t>(valueLen + 1));
  kl::Store16(node.data() + 4, 1);
  for (size_t i = 0; i < keyLen; ++i)
    kl::Store16(node.data() + 6 + 2 * i, static_cast<uint16_t>(key[i]));
  for (size_t i = 0; i < valueLen; ++i)
    kl::Store16(node.data() + 6 + kb + 2 * i, static_cast<uint16_t>(value[i]));
  return node;
}

std::vector<std::vector<unsigned char>> RewriteVersionString(const unsigned char* block,
                                                             size_t size, const wchar16* key,
                                                             const wchar16* value,
                                                             size_t* refused) {
  std::vector<std::vector<unsigned char>> out;
  if (refused) *refused = 0;
  VersionNode root;
  if (!key || !ReadVersionRoot(block, size, &root)) return out;
  const size_t rootEnd = root.end;
  // A node longer than 16-bit lengths can hold is refused rather than wrapped.
  if (kl::StrLen(value, 0x8000) >= 0x7FF0 || kl::StrLen(key, 0x8000) >= 0x7FF0) {
    if (refused) ++*refused;
    return out;
  }
  const std::vector<unsigned char> node = BuildStringNode(key, value ? value : KL_T(""));
  for (const auto& sfi : VersionChildren(block, root)) {
    if (!VersionNodeKeyIs(block, sfi, KL_T("StringFileInfo"))) continue;
    for (const auto& table : VersionChildren(block, sfi)) {
      for (const auto& s : VersionChildren(block, table)) {
        if (!VersionNodeKeyIs(block, s, key)) continue;
        const size_t head = s.offset;
        size_t tailFrom = Align4(s.end);
        if (tailFrom > rootEnd) tailFrom = rootEnd;
        const size_t tail = rootEnd - tailFrom;
        const long long delta = static_cast<long long>(node.size()) -
                                static_cast<long long>(tailFrom - s.offset);
        const long long newRoot = static_cast<long long>(head + node.size() + tail);
        const long long newTable = table.wLength + delta;
        const long long newSfi = sfi.wLength + delta;
        if (newRoot > 0xFFFF || newTable > 0xFFFF || newSfi > 0xFFFF || newTable < 6 ||
            newSfi < 6) {
          if (refused) ++*refused;
          continue;
        }
        std::vector<unsigned char> b;
        b.reserve(static_cast<size_t>(newRoot));
        b.insert(b.end(), block, block + head);
        b.insert(b.end(), node.begin(), node.end());
        b.insert(b.end(), block + tailFrom, block + rootEnd);
        kl::Store16(b.data(), static_cast<uint32_t>(newRoot));
        kl::Store16(b.data() + table.offset, static_cast<uint32_t>(newTable));
        kl::Store16(b.data() + sfi.offset, static_cast<uint32_t>(newSfi));
        out.push_back(std::move(b));
      }
    }
  }
  return out;
}

}  // namespace klupdate
