#include "update/version_block.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/le.h"

using namespace klupdate;
using kl::string16;
using Bytes = std::vector<unsigned char>;

namespace {

void Pad4(Bytes& b) {
  while (b.size() % 4) b.push_back(0);
}

// One node in canonical form: wLength excludes the padding after the node.
Bytes Node(const string16& key, const Bytes& value, uint16_t valueLength, uint16_t type,
           const std::vector<Bytes>& children) {
  Bytes b(6, 0);
  for (wchar16 c : key) { b.push_back(c & 0xFF); b.push_back(static_cast<uint16_t>(c) >> 8); }
  b.push_back(0); b.push_back(0);
  Pad4(b);
  b.insert(b.end(), value.begin(), value.end());
  for (const auto& c : children) {
    Pad4(b);
    b.insert(b.end(), c.begin(), c.end());
  }
  kl::Store16(b.data(), static_cast<uint32_t>(b.size()));
  kl::Store16(b.data() + 2, valueLength);
  kl::Store16(b.data() + 4, type);
  return b;
}

Bytes Str(const string16& key, const string16& value) {
  Bytes v;
  for (wchar16 c : value) { v.push_back(c & 0xFF); v.push_back(static_cast<uint16_t>(c) >> 8); }
  v.push_back(0); v.push_back(0);
  return Node(key, v, static_cast<uint16_t>(value.size() + 1), 1, {});
}

Bytes Block() {
  Bytes fixed(52, 0);
  kl::Store32(fixed.data(), 0xFEEF04BDu);
  kl::Store32(fixed.data() + 8, 0x00010000);
  kl::Store32(fixed.data() + 12, 0x00000001);
  Bytes table = Node(KL_T("080404b0"), {}, 0, 1,
                     {Str(KL_T("CompanyName"), KL_T("zorbl")),
                      Str(KL_T("FileDescription"), KL_T("示例")),
                      Str(KL_T("FileVersion"), KL_T("1.0.0.1"))});
  Bytes sfi = Node(KL_T("StringFileInfo"), {}, 0, 1, {table});
  Bytes tr = {0x04, 0x08, 0xB0, 0x04};
  Bytes var = Node(KL_T("VarFileInfo"), {}, 0, 1, {Node(KL_T("Translation"), tr, 4, 0, {})});
  return Node(KL_T("VS_VERSION_INFO"), fixed, 52, 0, {sfi, var});
}

size_t Padded(size_t n) { return (n + 3) & ~size_t(3); }

}  // namespace

TEST(VersionBlock, ReadsStringsTranslationAndFixedVersion) {
  Bytes b = Block();
  EXPECT_EQ(FindVersionString(b.data(), b.size(), KL_T("FileDescription")), KL_T("示例"));
  auto tr = ListTranslations(b.data(), b.size());
  ASSERT_EQ(tr.size(), 1u);
  EXPECT_EQ(tr[0].first, 0x804);
  EXPECT_EQ(tr[0].second, 1200);
  Version v = 0;
  ASSERT_TRUE(ReadFixedFileVersion(b.data(), b.size(), &v));
  EXPECT_EQ(v, 0x0001000000000001ull);
}

TEST(VersionBlock, RewriteGrowsLengthsByThePaddedGrowth) {
  Bytes b = Block();
  VersionNode root;
  ASSERT_TRUE(ReadVersionRoot(b.data(), b.size(), &root));
  const VersionNode sfi = VersionChildren(b.data(), root)[0];
  const VersionNode table = VersionChildren(b.data(), sfi)[0];
  const VersionNode company = VersionChildren(b.data(), table)[0];
  const string16 value = KL_T("zorbl software company");
  auto out = RewriteVersionString(b.data(), b.size(), KL_T("CompanyName"), value.c_str());
  ASSERT_EQ(out.size(), 1u);
  const Bytes& n = out[0];
  const size_t growth = BuildStringNode(KL_T("CompanyName"), value.c_str()).size() -
                        Padded(company.wLength);
  EXPECT_EQ(kl::Load16(n.data()), n.size());
  EXPECT_EQ(n.size(), b.size() + growth);
  EXPECT_EQ(kl::Load16(n.data() + sfi.offset), sfi.wLength + growth);
  EXPECT_EQ(kl::Load16(n.data() + table.offset), table.wLength + growth);
  EXPECT_EQ(FindVersionString(n.data(), n.size(), KL_T("CompanyName")), value);
  EXPECT_EQ(FindVersionString(n.data(), n.size(), KL_T("FileVersion")), KL_T("1.0.0.1"));
  EXPECT_EQ(ListTranslations(n.data(), n.size()).size(), 1u);

  // An empty value: wValueLength 1.
  auto e = RewriteVersionString(b.data(), b.size(), KL_T("FileVersion"), KL_T(""));
  ASSERT_EQ(e.size(), 1u);
  for (const auto& s : ListVersionStrings(e[0].data(), e[0].size())) {
    if (s.key == KL_T("FileVersion")) {
      EXPECT_TRUE(s.value.empty());
    }
  }
  Bytes node = BuildStringNode(KL_T("FileVersion"), KL_T(""));
  EXPECT_EQ(kl::Load16(node.data() + 2), 1);
  // Keys compare exactly; no match rewrites nothing.
  EXPECT_TRUE(RewriteVersionString(b.data(), b.size(), KL_T("companyname"), KL_T("x")).empty());
}

TEST(VersionBlock, DamagedBlocksNeverReadOutside) {
  Bytes b = Block();
  // Every truncation and a root claiming more than the block.
  for (size_t cut = 0; cut < b.size(); ++cut) {
    Bytes t(b.begin(), b.begin() + cut);
    ListVersionStrings(t.data(), t.size());
    RewriteVersionString(t.data(), t.size(), KL_T("CompanyName"), KL_T("x"));
  }
  Bytes big = b;
  kl::Store16(big.data(), static_cast<uint32_t>(b.size() + 4));
  EXPECT_TRUE(ListVersionStrings(big.data(), big.size()).empty());
  // A child claiming more than its parent ends the walk at that level.
  Bytes child = b;
  VersionNode root;
  ASSERT_TRUE(ReadVersionRoot(child.data(), child.size(), &root));
  kl::Store16(child.data() + root.children, 0xFFF0);
  EXPECT_TRUE(ListVersionStrings(child.data(), child.size()).empty());
}
