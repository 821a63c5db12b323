// The CRYP container: read plans against a real enciphered container, and
// whole-container encipher/decipher.
#include "package/cryp_layer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A stand-in cabinet: "MSCF", then recognisable bytes.
std::vector<unsigned char> MakeCab(size_t size) {
  std::vector<unsigned char> cab(size);
  for (size_t i = 0; i < size; ++i) cab[i] = static_cast<unsigned char>(i * 7 + 3);
  if (size >= 4) std::memcpy(cab.data(), "MSCF", 4);
  return cab;
}

class CrypLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, BlowfishSetKey(&ctx_, kPackageKeyLength)); }

  // Serves a read the way the extractor's read hook does: fetch the planned
  // blocks from the container into a work buffer, decipher, copy out.
  std::vector<unsigned char> Read(const std::vector<unsigned char>& container, int64_t pos,
                                  uint32_t count) {
    const CrypReadPlan plan = PlanCrypRead(pos, count);
    EXPECT_EQ(0, plan.alignedStart % 8);
    EXPECT_EQ(0u, plan.length % 8);
    EXPECT_LE(plan.length, count + 14);
    EXPECT_EQ(pos, plan.alignedStart + plan.skip);
    EXPECT_LE(plan.skip + count, plan.length);
    if (plan.alignedStart + plan.length > static_cast<int64_t>(container.size())) return {};
    std::vector<unsigned char> work(container.begin() + plan.alignedStart,
                                    container.begin() + plan.alignedStart + plan.length);
    DecipherCrypSpan(&ctx_, work.data(), plan);
    return std::vector<unsigned char>(work.begin() + plan.skip, work.begin() + plan.skip + count);
  }

  BlowfishContext ctx_;
};

}  // namespace

TEST_F(CrypLayerTest, TenBytesAtFiftyThree) {
  const CrypReadPlan plan = PlanCrypRead(53, 10);
  EXPECT_EQ(48, plan.alignedStart);
  EXPECT_EQ(16u, plan.length);
  EXPECT_EQ(5u, plan.skip);
  EXPECT_EQ(8u, plan.plainPrefix);

  const std::vector<unsigned char> cab = MakeCab(128);
  std::vector<unsigned char> container = cab;
  EncipherContainer(&ctx_, container);

  // Bytes 48..55 come through untouched, 56..63 are deciphered in place.
  std::vector<unsigned char> work(container.begin() + 48, container.begin() + 64);
  DecipherCrypSpan(&ctx_, work.data(), plan);
  EXPECT_TRUE(std::equal(work.begin(), work.end(), cab.begin() + 48));
  EXPECT_EQ(std::vector<unsigned char>(cab.begin() + 53, cab.begin() + 63), Read(container, 53, 10));
}

TEST_F(CrypLayerTest, ReadsEntirelyBelowTheEncipheredPart) {
  CrypReadPlan plan = PlanCrypRead(0, 56);
  EXPECT_EQ(0, plan.alignedStart);
  EXPECT_EQ(56u, plan.length);
  EXPECT_EQ(56u, plan.plainPrefix);

  plan = PlanCrypRead(10, 20);  // blocks 8..31; 56 - 8 = 48 clamped to 24
  EXPECT_EQ(8, plan.alignedStart);
  EXPECT_EQ(24u, plan.length);
  EXPECT_EQ(2u, plan.skip);
  EXPECT_EQ(24u, plan.plainPrefix);

  // Nothing below 56 is deciphered, whatever the buffer holds.
  std::vector<unsigned char> buf(24, 0xAB);
  DecipherCrypSpan(&ctx_, buf.data(), plan);
  EXPECT_EQ(std::vector<unsigned char>(24, 0xAB), buf);
}

TEST_F(CrypLayerTest, ReadsAtAndAboveFiftySix) {
  CrypReadPlan plan = PlanCrypRead(56, 1);
  EXPECT_EQ(56, plan.alignedStart);
  EXPECT_EQ(8u, plan.length);
  EXPECT_EQ(0u, plan.plainPrefix);

  plan = PlanCrypRead(1000003, 9);  // 1000000..1000015
  EXPECT_EQ(1000000, plan.alignedStart);
  EXPECT_EQ(16u, plan.length);
  EXPECT_EQ(3u, plan.skip);
  EXPECT_EQ(0u, plan.plainPrefix);

  plan = PlanCrypRead(INT64_C(5000000000), 8);  // beyond 4 GB
  EXPECT_EQ(INT64_C(5000000000), plan.alignedStart);
  EXPECT_EQ(8u, plan.length);
  EXPECT_EQ(0u, plan.plainPrefix);
}

TEST_F(CrypLayerTest, LargestReadFitsTheWorkBuffer) {
  // The extractor's work buffer is 65,536 bytes; 65,522 is the largest
  // request that fits at every alignment.
  for (int64_t pos = 0; pos < 16; ++pos) {
    const CrypReadPlan plan = PlanCrypRead(pos, 65522);
    EXPECT_LE(plan.length, 65536u) << pos;
  }
  EXPECT_EQ(65536u, PlanCrypRead(7, 65529).length);
  EXPECT_EQ(65536u + 8u, PlanCrypRead(7, 65530).length);
  // Absurd requests are cut, never wrapped.
  const CrypReadPlan huge = PlanCrypRead(7, 0xFFFFFFFFu);
  EXPECT_EQ(0u, huge.length % 8);
  EXPECT_GE(huge.length, kCrypMaxCount);
}

TEST_F(CrypLayerTest, EveryReadOfASmallContainerMatchesThePlainCabinet) {
  const std::vector<unsigned char> cab = MakeCab(200);
  std::vector<unsigned char> container = cab;
  EncipherContainer(&ctx_, container);
  ASSERT_EQ(200u, container.size());
  std::vector<unsigned char> expected = cab;
  std::memcpy(expected.data(), "CRYP", 4);  // the signature is the caller's to patch

  for (int64_t pos = 0; pos < 200; ++pos) {
    for (uint32_t count = 1; pos + count <= 200 && count <= 72; ++count) {
      const std::vector<unsigned char> got = Read(container, pos, count);
      ASSERT_EQ(std::vector<unsigned char>(expected.begin() + pos, expected.begin() + pos + count), got)
          << "pos " << pos << " count " << count;
    }
  }
}

TEST_F(CrypLayerTest, SignatureRecognition) {
  EXPECT_EQ(CabSignature::Plain, ReadCabSignature(reinterpret_cast<const unsigned char*>("MSCF"), 4));
  EXPECT_EQ(CabSignature::Cryp, ReadCabSignature(reinterpret_cast<const unsigned char*>("CRYPxx"), 6));
  EXPECT_EQ(CabSignature::Other, ReadCabSignature(reinterpret_cast<const unsigned char*>("MSCX"), 4));
  EXPECT_EQ(CabSignature::Other, ReadCabSignature(reinterpret_cast<const unsigned char*>("mscf"), 4));
  EXPECT_EQ(CabSignature::Other, ReadCabSignature(reinterpret_cast<const unsigned char*>("MSC"), 3));
  EXPECT_EQ(CabSignature::Other, ReadCabSignature(nullptr, 0));
}

TEST_F(CrypLayerTest, ContainerRoundTripPadsOddSizes) {
  for (size_t size : {4u, 8u, 55u, 56u, 57u, 63u, 64u, 65u, 1001u, 4096u}) {
    SCOPED_TRACE(size);
    const std::vector<unsigned char> cab = MakeCab(size);
    std::vector<unsigned char> container = cab;
    EncipherContainer(&ctx_, container);

    ASSERT_EQ((size + 7) / 8 * 8, container.size());
    EXPECT_EQ(0, std::memcmp(container.data(), "CRYP", 4));
    const size_t plainEnd = std::min<size_t>(size, kCrypPlainBytes);
    EXPECT_TRUE(std::equal(cab.begin() + 4, cab.begin() + plainEnd, container.begin() + 4));
    if (size >= kCrypPlainBytes + 8) {
      EXPECT_FALSE(std::equal(cab.begin() + 56, cab.begin() + 64, container.begin() + 56));
    }

    ASSERT_TRUE(DecipherContainer(&ctx_, container.data(), container.size()));
    EXPECT_TRUE(std::equal(cab.begin(), cab.end(), container.begin()));
    for (size_t i = size; i < container.size(); ++i) EXPECT_EQ(0, container[i]) << i;
  }
}

TEST_F(CrypLayerTest, PaddingIsEncipheredWithTheLastBlock) {
  std::vector<unsigned char> container = MakeCab(61);  // 56 + 5: one block of 5 bytes + 3 padding
  EncipherContainer(&ctx_, container);
  ASSERT_EQ(64u, container.size());
  unsigned char last[8];
  std::memcpy(last, &container[56], 8);
  BlowfishDecryptBlock(&ctx_, last);
  EXPECT_EQ(0, last[5]);
  EXPECT_EQ(0, last[6]);
  EXPECT_EQ(0, last[7]);
}

TEST_F(CrypLayerTest, DecipherContainerRefusesBadInputAndLeavesItAlone) {
  std::vector<unsigned char> container = MakeCab(96);
  EncipherContainer(&ctx_, container);

  std::vector<unsigned char> before = container;
  EXPECT_FALSE(DecipherContainer(&ctx_, container.data(), container.size() - 1));  // not a multiple of 8
  EXPECT_FALSE(DecipherContainer(&ctx_, container.data(), 3));
  EXPECT_EQ(before, container);

  std::vector<unsigned char> plain = MakeCab(96);  // "MSCF": not enciphered
  before = plain;
  EXPECT_FALSE(DecipherContainer(&ctx_, plain.data(), plain.size()));
  EXPECT_EQ(before, plain);

  plain[0] = 'X';
  before = plain;
  EXPECT_FALSE(DecipherContainer(&ctx_, plain.data(), plain.size()));
  EXPECT_EQ(before, plain);
  EXPECT_FALSE(DecipherContainer(&ctx_, nullptr, 0));
}

TEST_F(CrypLayerTest, WrongKeyDoesNotRestoreTheCabinet) {
  const std::vector<unsigned char> cab = MakeCab(128);
  std::vector<unsigned char> container = cab;
  EncipherContainer(&ctx_, container);
  BlowfishContext other;
  ASSERT_EQ(1, BlowfishSetKey(&other, 10));
  ASSERT_TRUE(DecipherContainer(&other, container.data(), container.size()));
  EXPECT_TRUE(std::equal(cab.begin(), cab.begin() + 56, container.begin()));
  EXPECT_FALSE(std::equal(cab.begin() + 56, cab.end(), container.begin() + 56));
}
