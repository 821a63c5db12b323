#include "update/config_ksc.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/le.h"

using namespace klupdate;
using kl::string16;

namespace {

void Put(std::vector<unsigned char>& b, size_t at, const string16& s) {
  for (size_t i = 0; i < s.size(); ++i) kl::Store16(&b[at + 2 * i], static_cast<uint16_t>(s[i]));
}

// Two records: "other" then the default one (name in other letter case).
std::vector<unsigned char> TwoRecords() {
  const size_t rec = 1668;
  std::vector<unsigned char> b(12 + 2 * rec, 0);
  b[0] = 2;
  kl::Store32(&b[4], 12);
  kl::Store32(&b[8], 12 + rec);
  Put(b, 12 + 6, KL_T("other"));
  Put(b, 12 + rec + 6, KL_T("KL_IME_config_data_default"));
  Put(b, 12 + rec + kKscCodeTableAt, KL_T("KeloSampleMB"));
  Put(b, 12 + rec + kKscMainAt, KL_T("KeloSample"));
  Put(b, 12 + rec + kKscSkinAt, string16(40, u'p'));  // no NUL in its 80 bytes: 39 taken
  return b;
}

}  // namespace

TEST(ConfigKsc, FindsTheDefaultRecord) {
  auto b = TwoRecords();
  KscDrivers d;
  ASSERT_TRUE(FindKscRecord(b.data(), b.size(), kDefaultConfigRecord, &d));
  EXPECT_EQ(string16(d.tableDriver), KL_T("KeloSampleMB"));
  EXPECT_EQ(string16(d.mainDriver), KL_T("KeloSample"));
  EXPECT_EQ(string16(d.skinDriver), string16(39, u'p'));
}

TEST(ConfigKsc, HostileFilesAreRefused) {
  KscDrivers d;
  auto b = TwoRecords();
  // Cut one byte short of the default record's skin field.
  EXPECT_FALSE(FindKscRecord(b.data(), b.size() - 1, kDefaultConfigRecord, &d));
  EXPECT_FALSE(FindKscRecord(b.data(), 3, kDefaultConfigRecord, &d));
  // Offsets past the end, wrapping offsets, a table longer than the file.
  auto c = b;
  kl::Store32(&c[8], 0xFFFFFFF0u);
  EXPECT_FALSE(FindKscRecord(c.data(), c.size(), kDefaultConfigRecord, &d));
  std::vector<unsigned char> t(8, 0);
  t[0] = 255;
  EXPECT_FALSE(FindKscRecord(t.data(), t.size(), kDefaultConfigRecord, &d));
  // A name without its NUL before the driver fields does not match.
  auto n = b;
  for (size_t i = 12 + 1668 + 6; i < 12 + 1668 + kKscCodeTableAt; ++i) n[i] = 'A';
  EXPECT_FALSE(FindKscRecord(n.data(), n.size(), kDefaultConfigRecord, &d));
}
