// The portable half of signed update lists: the signature file, the build's
// key text and the digests a list line gives.
#include <gtest/gtest.h>

#include <cstring>

#include "update/update_list.h"
#include "update/update_signature.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes RawOf(uint8_t r0, uint8_t s0) {
  Bytes raw(64, 0x11);
  raw[0] = r0;
  raw[32] = s0;
  return raw;
}

TEST(UpdateSignature, DerRoundTripAndStrictness) {
  // High bits set (a zero byte in front), and short integers (leading zeros dropped).
  for (const Bytes& raw : {RawOf(0x80, 0xFF), RawOf(0x00, 0x7F), RawOf(0x01, 0x00)}) {
    const Bytes der = klupdate::RawSignatureToDer(raw.data());
    ASSERT_LE(der.size(), klupdate::kMaxSignatureFileBytes);
    uint8_t back[64];
    ASSERT_TRUE(klupdate::DerSignatureToRaw(der.data(), der.size(), back));
    EXPECT_EQ(0, std::memcmp(back, raw.data(), 64));
  }
  const Bytes good = klupdate::RawSignatureToDer(RawOf(0x80, 0x01).data());
  uint8_t out[64];
  // Empty, truncated anywhere, a byte more, oversized.
  EXPECT_FALSE(klupdate::DerSignatureToRaw(nullptr, 0, out));
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(klupdate::DerSignatureToRaw(good.data(), n, out)) << n;
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(klupdate::DerSignatureToRaw(longer.data(), longer.size(), out));
  Bytes big(200, 0x30);
  EXPECT_FALSE(klupdate::DerSignatureToRaw(big.data(), big.size(), out));

  auto refused = [&](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return !klupdate::DerSignatureToRaw(b.data(), b.size(), out);
  };
  EXPECT_TRUE(refused(0, 0x31));  // not a SEQUENCE
  EXPECT_TRUE(refused(2, 0x03));  // not an INTEGER
  EXPECT_TRUE(refused(5, 0x00));  // r = 00 00 ..: not minimal
  // r negative (its leading zero taken away, lengths adjusted).
  Bytes neg = {0x30, 0x26, 0x02, 0x21, 0x80};
  neg.insert(neg.end(), 32, 0x11);
  neg.insert(neg.end(), {0x02, 0x01, 0x01});
  EXPECT_FALSE(klupdate::DerSignatureToRaw(neg.data(), neg.size(), out));
  // Zero r.
  const Bytes zero = {0x30, 0x06, 0x02, 0x01, 0x00, 0x02, 0x01, 0x01};
  EXPECT_FALSE(klupdate::DerSignatureToRaw(zero.data(), zero.size(), out));
}

TEST(UpdateSignature, PublicKeyTextAndDigests) {
  const std::string hex = "04" + std::string(128, 'a');
  uint8_t point[64];
  EXPECT_TRUE(klupdate::ParsePublicKeyText((" " + hex + "\n").c_str(), point));
  EXPECT_EQ(point[0], 0xAA);
  EXPECT_FALSE(klupdate::ParsePublicKeyText("", point));
  EXPECT_FALSE(klupdate::ParsePublicKeyText(hex.substr(0, 129).c_str(), point));  // short
  EXPECT_FALSE(klupdate::ParsePublicKeyText((hex + "0").c_str(), point));         // long
  EXPECT_FALSE(klupdate::ParsePublicKeyText(("02" + hex.substr(2)).c_str(), point));
  EXPECT_FALSE(klupdate::ParsePublicKeyText(nullptr, point));

  // A list line's digests; a malformed one never counts as absent.
  const std::string d(64, 'F');
  const std::string list = "<TYPE=SKINZIP><NAME=a><CABURL=http://x/a.zip><sha256=" + d +
                           "><PNGSHA256=12>\r\n<TYPE=IME_MAIN><NAME=b><SHA256=" + d + "0>\r\n"
                           "<TYPE=IME_MAIN><NAME=c>\r\n";
  klupdate::DecodedText text =
      klupdate::DecodeText(reinterpret_cast<const unsigned char*>(list.data()), list.size());
  klupdate::UpdateEntryList entries;
  int unknown = 0;
  ASSERT_EQ(3u, klupdate::ParseUpdateList(
                    text, &entries, [](void* u) { ++*static_cast<int*>(u); }, &unknown));
  EXPECT_EQ(unknown, 0);
  EXPECT_EQ(entries.At(0)->sha256.state, klupdate::Digest::kGiven);
  EXPECT_EQ(entries.At(0)->sha256.bytes[31], 0xFF);
  EXPECT_EQ(entries.At(0)->pictureSha256.state, klupdate::Digest::kMalformed);
  EXPECT_EQ(entries.At(1)->sha256.state, klupdate::Digest::kMalformed);  // 65 digits
  EXPECT_EQ(entries.At(2)->sha256.state, klupdate::Digest::kNone);
}

}  // namespace
