// Blowfish: published known-answer vectors (through the byte-order reversal
// within each half, since the product's blocks have little-endian halves),
// the package key schedule, and the block/bulk operations.
#include "package/blowfish.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> FromHex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const unsigned char* p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

// Published vectors read each half big-endian; ours are little-endian.
void SwapHalves(unsigned char b[8]) {
  std::swap(b[0], b[3]);
  std::swap(b[1], b[2]);
  std::swap(b[4], b[7]);
  std::swap(b[5], b[6]);
}

std::string EncryptBigEndian(const std::vector<unsigned char>& key, const std::string& plainHex) {
  BlowfishContext ctx;
  EXPECT_EQ(1, BlowfishSetKeyBytes(&ctx, key.data(), key.size()));
  std::vector<unsigned char> block = FromHex(plainHex);
  SwapHalves(block.data());
  BlowfishEncryptBlock(&ctx, block.data());
  SwapHalves(block.data());
  return ToHex(block.data(), 8);
}

std::string DecryptBigEndian(const std::vector<unsigned char>& key, const std::string& cipherHex) {
  BlowfishContext ctx;
  EXPECT_EQ(1, BlowfishSetKeyBytes(&ctx, key.data(), key.size()));
  std::vector<unsigned char> block = FromHex(cipherHex);
  SwapHalves(block.data());
  BlowfishDecryptBlock(&ctx, block.data());
  SwapHalves(block.data());
  return ToHex(block.data(), 8);
}

struct Vector {
  const char* key;
  const char* plain;
  const char* cipher;
};

}  // namespace

TEST(BlowfishVectors, EcbKnownAnswers) {
  const Vector vectors[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
      {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
      {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.key);
    EXPECT_EQ(v.cipher, EncryptBigEndian(FromHex(v.key), v.plain));
    EXPECT_EQ(v.plain, DecryptBigEndian(FromHex(v.key), v.cipher));
  }
}

// Key lengths 1..24 over one 24-byte key: exercises the cycling of key
// bytes (key[j mod keyLength]) for lengths that do and do not divide 72.
TEST(BlowfishVectors, VariableKeyLength) {
  const std::vector<unsigned char> key = FromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
  const char* expected[24] = {
      "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
      "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
      "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
      "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
      "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
      "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
  };
  for (size_t n = 1; n <= key.size(); ++n) {
    SCOPED_TRACE(n);
    const std::vector<unsigned char> prefix(key.begin(), key.begin() + n);
    EXPECT_EQ(expected[n - 1], EncryptBigEndian(prefix, "FEDCBA9876543210"));
  }
}

TEST(BlowfishBlock, LittleEndianHalvesDifferFromBigEndian) {
  // The same bytes through the two conventions give different results, so
  // a byte-order slip in the packager or reader could not go unnoticed.
  const std::vector<unsigned char> key = FromHex("0123456789ABCDEF");
  BlowfishContext ctx;
  ASSERT_EQ(1, BlowfishSetKeyBytes(&ctx, key.data(), key.size()));
  std::vector<unsigned char> block = FromHex("1111111111111111");
  BlowfishEncryptBlock(&ctx, block.data());
  // 11111111 reads the same either way; the output order is what changes.
  EXPECT_EQ("80C3F96196B08122", ToHex(block.data(), 8));
}

TEST(BlowfishKey, PackageKeyIsTheElevenByteConstant) {
  ASSERT_EQ(11u, kPackageKeyLength);
  EXPECT_EQ(0, std::memcmp(kPackageKey, "KeloIME2012", 11));

  BlowfishContext viaConstant, viaBytes;
  ASSERT_EQ(1, BlowfishSetKey(&viaConstant, kPackageKeyLength));
  ASSERT_EQ(1, BlowfishSetKeyBytes(&viaBytes, reinterpret_cast<const unsigned char*>("KeloIME2012"), 11));
  EXPECT_EQ(1u, viaConstant.keyed);
  EXPECT_EQ(0, std::memcmp(&viaConstant, &viaBytes, sizeof viaConstant));
}

TEST(BlowfishKey, ShorterAndLongerLengthsCycle) {
  BlowfishContext a, b;
  ASSERT_EQ(1, BlowfishSetKey(&a, 4));
  ASSERT_EQ(1, BlowfishSetKeyBytes(&b, reinterpret_cast<const unsigned char*>("Kelo"), 4));
  EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));

  // Longer than the constant: the constant repeated out to keyLength bytes.
  const char* repeated = "KeloIME2012KeloIME2012Ke";
  for (size_t n : {12u, 22u, 24u}) {
    SCOPED_TRACE(n);
    ASSERT_EQ(1, BlowfishSetKey(&a, n));
    ASSERT_EQ(1, BlowfishSetKeyBytes(&b, reinterpret_cast<const unsigned char*>(repeated), n));
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
  }
  // 22 bytes of the repeated constant is the same key stream as 11.
  ASSERT_EQ(1, BlowfishSetKey(&a, 22));
  ASSERT_EQ(1, BlowfishSetKey(&b, 11));
  EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
}

TEST(BlowfishKey, ZeroLengthLeavesContextUnkeyed) {
  BlowfishContext ctx;
  ASSERT_EQ(1, BlowfishSetKey(&ctx, kPackageKeyLength));
  EXPECT_EQ(0, BlowfishSetKey(&ctx, 0));
  EXPECT_EQ(0u, ctx.keyed);
  const unsigned char k = 1;
  EXPECT_EQ(0, BlowfishSetKeyBytes(&ctx, &k, 0));
  EXPECT_EQ(0u, ctx.keyed);
  EXPECT_EQ(0, BlowfishSetKeyBytes(&ctx, nullptr, 8));
  EXPECT_EQ(0u, ctx.keyed);
}

TEST(BlowfishKey, PackageKeyKnownAnswer) {
  // Pins the package cipher: packages made by earlier builds must still open.
  BlowfishContext ctx;
  ASSERT_EQ(1, BlowfishSetKey(&ctx, kPackageKeyLength));
  unsigned char block[8] = {'M', 'S', 'C', 'F', 0, 0, 0, 0};
  BlowfishEncryptBlock(&ctx, block);
  EXPECT_EQ("0F29A2F9AF8B8348", ToHex(block, 8));
}

TEST(BlowfishBlocks, RoundTripAndMatchSingleBlocks) {
  BlowfishContext ctx;
  ASSERT_EQ(1, BlowfishSetKey(&ctx, kPackageKeyLength));
  std::vector<unsigned char> plain(8 * 257);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<unsigned char>(i * 31 + 7);

  std::vector<unsigned char> bulk = plain;
  BlowfishEncryptBlocks(&ctx, bulk.data(), bulk.size() / 8);
  std::vector<unsigned char> single = plain;
  for (size_t i = 0; i < single.size(); i += 8) BlowfishEncryptBlock(&ctx, &single[i]);
  EXPECT_EQ(single, bulk);
  EXPECT_NE(plain, bulk);

  BlowfishDecryptBlocks(&ctx, bulk.data(), bulk.size() / 8);
  EXPECT_EQ(plain, bulk);
  for (size_t i = 0; i < single.size(); i += 8) BlowfishDecryptBlock(&ctx, &single[i]);
  EXPECT_EQ(plain, single);

  // Zero blocks touch nothing.
  unsigned char guard[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  BlowfishDecryptBlocks(&ctx, guard, 0);
  BlowfishEncryptBlocks(&ctx, guard, 0);
  EXPECT_EQ(1, guard[0]);
  EXPECT_EQ(8, guard[7]);
}
