// Walking and rebuilding a version-information block (the VS_VERSIONINFO
// tree of RT_VERSION) held in memory. The blocks come from downloaded files:
// every read is checked against the node's parent and the block's size, and
// a node that does not fit ends the walk at its level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/text.h"
#include "update/update_list.h"

namespace klupdate {

// One node: wLength, wValueLength, wType, the key, padding, the value,
// padding, the children.
struct VersionNode {
  size_t offset = 0;       // from the start of the block
  size_t end = 0;          // offset + wLength
  uint16_t wLength = 0;
  uint16_t wValueLength = 0;
  uint16_t wType = 0;
  size_t keyChars = 0;     // key length without its NUL
  size_t valueOffset = 0;  // after the key and its padding (may equal end)
  size_t valueBytes = 0;   // the value's bytes that lie inside the node
  size_t children = 0;     // first child (may equal end)
};

// Reads the node at `offset` whose parent ends at `limit` (<= the block's
// size). false when its header or key does not fit, or wLength is 0.
bool ReadVersionNode(const unsigned char* block, size_t limit, size_t offset, VersionNode* out);

// The node's key equals key (exact).
bool VersionNodeKeyIs(const unsigned char* block, const VersionNode& node, const wchar16* key);

// The children of a node, in order (the walk stops at the first that does
// not fit).
std::vector<VersionNode> VersionChildren(const unsigned char* block, const VersionNode& parent);

// The root node; false when the block is too short for it or its wLength
// exceeds the block.
bool ReadVersionRoot(const unsigned char* block, size_t size, VersionNode* root);

struct VersionString {
  kl::string16 table;  // "080404b0"
  kl::string16 key;
  kl::string16 value;  // up to its NUL or the end of the node
};
// Every string node under "StringFileInfo", in block order.
std::vector<VersionString> ListVersionStrings(const unsigned char* block, size_t size);
// The value of key in the first string table that has it ("" when none).
kl::string16 FindVersionString(const unsigned char* block, size_t size, const wchar16* key);
// "\VarFileInfo\Translation": (language, code page) pairs.
std::vector<std::pair<uint16_t, uint16_t>> ListTranslations(const unsigned char* block,
                                                            size_t size);
// dwFileVersionMS/LS of the fixed information (signature 0xFEEF04BD checked).
bool ReadFixedFileVersion(const unsigned char* block, size_t size, Version* out);

// For every string node keyed `key` (exact) under "StringFileInfo", a copy of
// the block with that node rebuilt to hold `value`: the root's wLength is the
// new block's size, and the enclosing string table and "StringFileInfo" grow
// by the growth of the padded node. Each copy starts from the original block.
// A block that would no longer fit 16-bit lengths gives no copy for that
// node (*refused counts them when given).
std::vector<std::vector<unsigned char>> RewriteVersionString(const unsigned char* block,
                                                             size_t size, const wchar16* key,
                                                             const wchar16* value,
                                                             size_t* refused = nullptr);

// The rebuilt string node alone (n bytes, zero padded): exposed for tests.
std::vector<unsigned char> BuildStringNode(const wchar16* key, const wchar16* value);

}  // namespace klupdate
