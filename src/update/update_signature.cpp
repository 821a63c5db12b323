#include "update/update_signature.h"

#include <cstring>

namespace klupdate {

namespace {

int HexValue(unsigned c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// One DER INTEGER at der[*pos], within end: its significant bytes (the one
// leading zero of a positive number with the high bit set dropped) go
// right-aligned into out[32].
bool ReadInteger(const uint8_t* der, size_t end, size_t* pos, uint8_t out[32]) {
  size_t p = *pos;
  if (end - p < 2 || der[p] != 0x02) return false;
  const size_t len = der[p + 1];
  p += 2;
  if (len == 0 || len > 33 || len > end - p) return false;  // long-form lengths land here too
  const uint8_t* v = der + p;
  if (v[0] & 0x80) return false;                            // negative
  if (len > 1 && v[0] == 0 && !(v[1] & 0x80)) return false;  // not minimal
  size_t n = len;
  if (v[0] == 0 && len > 1) {
    ++v;
    --n;
  }
  if (n > 32) return false;
  std::memset(out, 0, 32);
  std::memcpy(out + (32 - n), v, n);
  bool zero = true;
  for (size_t i = 0; i < 32; ++i) zero = zero && out[i] == 0;
  if (zero) return false;
  *pos = p + len;
  return true;
}

void AppendInteger(const uint8_t* v, std::vector<uint8_t>* out) {
  size_t skip = 0;
  while (skip < 31 && v[skip] == 0) ++skip;
  const bool pad = (v[skip] & 0x80) != 0;
  out->push_back(0x02);
  out->push_back(static_cast<uint8_t>(32 - skip + (pad ? 1 : 0)));
  if (pad) out->push_back(0);
  out->insert(out->end(), v + skip, v + 32);
}

}  // namespace

void ParseDigestText(const kl::wchar16* text, Digest* out) {
  *out = Digest();
  out->state = Digest::kMalformed;
  if (!text) return;
  size_t i = 0;
  for (; i < 2 * kSha256Bytes; ++i) {
    const int hi = HexValue(text[i]);
    if (hi < 0) return;  // also the end of a shorter text
    if (i % 2 == 0) out->bytes[i / 2] = static_cast<uint8_t>(hi << 4);
    else out->bytes[i / 2] |= static_cast<uint8_t>(hi);
  }
  if (text[i] != 0) {
    std::memset(out->bytes, 0, sizeof out->bytes);
    return;
  }
  out->state = Digest::kGiven;
}

bool DerSignatureToRaw(const uint8_t* der, size_t size, uint8_t raw[kRawSignatureBytes]) {
  if (!der || size < 8 || size > kMaxSignatureFileBytes) return false;
  if (der[0] != 0x30 || der[1] != size - 2) return false;  // one short-form SEQUENCE, nothing after
  size_t pos = 2;
  if (!ReadInteger(der, size, &pos, raw) || !ReadInteger(der, size, &pos, raw + 32)) return false;
  return pos == size;
}

std::vector<uint8_t> RawSignatureToDer(const uint8_t raw[kRawSignatureBytes]) {
  std::vector<uint8_t> out;
  out.reserve(kMaxSignatureFileBytes);
  out.push_back(0x30);
  out.push_back(0);
  AppendInteger(raw, &out);
  AppendInteger(raw + 32, &out);
  out[1] = static_cast<uint8_t>(out.size() - 2);
  return out;
}

bool ParsePublicKeyText(const char* text, uint8_t point[kP256PointBytes]) {
  if (!text) return false;
  while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n') ++text;
  if (text[0] != '0' || text[1] != '4') return false;
  text += 2;
  for (size_t i = 0; i < 2 * kP256PointBytes; ++i) {
    const int v = HexValue(static_cast<unsigned char>(text[i]));
    if (v < 0) return false;
    if (i % 2 == 0) point[i / 2] = static_cast<uint8_t>(v << 4);
    else point[i / 2] |= static_cast<uint8_t>(v);
  }
  for (const char* rest = text + 2 * kP256PointBytes; *rest; ++rest)
    if (*rest != ' ' && *rest != '\t' && *rest != '\r' && *rest != '\n') return false;
  return true;
}

std::string HexText(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  return s;
}

}  // namespace klupdate
