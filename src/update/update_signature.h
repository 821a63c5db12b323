// Signed update lists, portable part: the publisher's public key as the build
// takes it, the detached signature file of a list, and the SHA-256 digests a
// signed list gives for every file it names.
//
// The signature is ECDSA over NIST P-256 with SHA-256 of the list's bytes as
// served. The ".sig" file beside a list holds the DER form that OpenSSL and
// klpack write: SEQUENCE { INTEGER r, INTEGER s }. The Windows side turns it
// into the 64-byte r||s that CNG verifies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/text.h"

namespace klupdate {

constexpr size_t kSha256Bytes = 32;
constexpr size_t kP256PointBytes = 64;      // X || Y
constexpr size_t kRawSignatureBytes = 64;   // r || s
// The longest DER signature of P-256: two 33-byte integers with their heads.
constexpr size_t kMaxSignatureFileBytes = 72;

// A digest a list line gives for the file it names.
struct Digest {
  enum State : uint8_t { kNone, kGiven, kMalformed };
  State state = kNone;
  uint8_t bytes[kSha256Bytes] = {};
};

// A list item's value: exactly 64 hexadecimal digits (either case) give the
// digest; anything else marks it malformed (a file can never match it).
void ParseDigestText(const kl::wchar16* text, Digest* out);

// DER ECDSA signature -> r || s, each left-padded to 32 bytes. Only the
// strict encoding is taken: one SEQUENCE of exactly two positive, minimally
// encoded INTEGERs of at most 32 significant bytes, nothing after it, and
// neither r nor s zero. false for anything else (nothing read beyond size).
bool DerSignatureToRaw(const uint8_t* der, size_t size, uint8_t raw[kRawSignatureBytes]);
// r || s -> the DER form (what the packager writes).
std::vector<uint8_t> RawSignatureToDer(const uint8_t raw[kRawSignatureBytes]);

// The public key as the build takes it: "04" and 128 hexadecimal digits (the
// uncompressed point), surrounding spaces allowed. false for anything else.
bool ParsePublicKeyText(const char* text, uint8_t point[kP256PointBytes]);

// Lower-case hexadecimal of n bytes.
std::string HexText(const uint8_t* bytes, size_t n);

}  // namespace klupdate
