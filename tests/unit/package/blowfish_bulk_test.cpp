// Blowfish bulk operations: several blocks go through the rounds together,
// with the rest handled one by one. Every block count around those groups,
// every byte alignment and a published vector in every position must give
// exactly what the single-block operations give.
#include "package/blowfish.h"
#include "package/cryp_layer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> Pattern(size_t size, unsigned seed) {
  std::vector<unsigned char> v(size);
  uint32_t x = seed;
  for (auto& b : v) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 23);
  return v;
}

class BlowfishBulkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, BlowfishSetKey(&ctx_, kPackageKeyLength)); }
  BlowfishContext ctx_;
};

}  // namespace

TEST_F(BlowfishBulkTest, EveryCountMatchesSingleBlocksAndStaysInItsSpan) {
  constexpr size_t kGuard = 16;
  for (size_t count = 0; count <= 21; ++count) {
    SCOPED_TRACE(count);
    const std::vector<unsigned char> plain = Pattern(8 * count + 2 * kGuard, 77 + static_cast<unsigned>(count));

    std::vector<unsigned char> single = plain;
    for (size_t i = 0; i < count; ++i) BlowfishEncryptBlock(&ctx_, &single[kGuard + 8 * i]);
    std::vector<unsigned char> bulk = plain;
    BlowfishEncryptBlocks(&ctx_, bulk.data() + kGuard, count);
    EXPECT_EQ(single, bulk);  // guards on both sides included

    for (size_t i = 0; i < count; ++i) BlowfishDecryptBlock(&ctx_, &single[kGuard + 8 * i]);
    BlowfishDecryptBlocks(&ctx_, bulk.data() + kGuard, count);
    EXPECT_EQ(plain, single);
    EXPECT_EQ(plain, bulk);
  }
}

TEST_F(BlowfishBulkTest, AnyByteAlignment) {
  const std::vector<unsigned char> plain = Pattern(8 * 11, 5);
  std::vector<unsigned char> expected = plain;
  BlowfishDecryptBlocks(&ctx_, expected.data(), 11);
  for (size_t offset = 1; offset < 8; ++offset) {
    SCOPED_TRACE(offset);
    std::vector<unsigned char> buf(plain.size() + offset, 0xA5);
    std::copy(plain.begin(), plain.end(), buf.begin() + offset);
    BlowfishDecryptBlocks(&ctx_, buf.data() + offset, 11);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buf.begin() + offset));
    EXPECT_EQ(0xA5, buf[offset - 1]);
    BlowfishEncryptBlocks(&ctx_, buf.data() + offset, 11);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), buf.begin() + offset));
  }
}

TEST(BlowfishBulk, PublishedVectorInEveryPosition) {
  // Key FEDCBA9876543210, plain 0123456789ABCDEF -> 0ACEAB0FC6A0A28D, with
  // the bytes of each half reversed into this cipher's little-endian order.
  const unsigned char key[8] = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
  const unsigned char plain[8] = {0x67, 0x45, 0x23, 0x01, 0xEF, 0xCD, 0xAB, 0x89};
  const unsigned char cipher[8] = {0x0F, 0xAB, 0xCE, 0x0A, 0x8D, 0xA2, 0xA0, 0xC6};
  BlowfishContext ctx;
  ASSERT_EQ(1, BlowfishSetKeyBytes(&ctx, key, sizeof key));
  constexpr size_t kBlocks = 7;  // one full group of lanes and a tail
  std::vector<unsigned char> buf(8 * kBlocks);
  for (size_t i = 0; i < kBlocks; ++i) std::memcpy(&buf[8 * i], plain, 8);
  BlowfishEncryptBlocks(&ctx, buf.data(), kBlocks);
  for (size_t i = 0; i < kBlocks; ++i) EXPECT_EQ(0, std::memcmp(&buf[8 * i], cipher, 8)) << i;
  BlowfishDecryptBlocks(&ctx, buf.data(), kBlocks);
  for (size_t i = 0; i < kBlocks; ++i) EXPECT_EQ(0, std::memcmp(&buf[8 * i], plain, 8)) << i;
}

TEST_F(BlowfishBulkTest, LargestReadDeciphersLikeTheWholeContainer) {
  // A full work-buffer read deep inside a container gives the same bytes as
  // deciphering the whole container at once.
  std::vector<unsigned char> cab = Pattern(200000, 9);
  std::memcpy(cab.data(), "MSCF", 4);
  std::vector<unsigned char> container = cab;
  EncipherContainer(&ctx_, container);
  std::vector<unsigned char> whole = container;
  ASSERT_TRUE(DecipherContainer(&ctx_, whole.data(), whole.size()));

  for (int64_t pos : {int64_t{0}, int64_t{3}, int64_t{60}, int64_t{70001}}) {
    SCOPED_TRACE(pos);
    const CrypReadPlan plan = PlanCrypRead(pos, 65522);
    ASSERT_LE(plan.length, 65536u);
    std::vector<unsigned char> work(container.begin() + plan.alignedStart,
                                    container.begin() + plan.alignedStart + plan.length);
    DecipherCrypSpan(&ctx_, work.data(), plan);
    const size_t from = static_cast<size_t>(std::max<int64_t>(pos, 4));
    EXPECT_TRUE(std::equal(whole.begin() + from, whole.begin() + pos + 65522,
                           work.begin() + (from - plan.alignedStart)));
  }
}
