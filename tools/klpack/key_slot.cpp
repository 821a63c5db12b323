#include "key_slot.h"

#include <cstring>

#include "update/update_key_slot.h"
#include "update/update_signature.h"
#include "util.h"

namespace klpack {

namespace {

// SubjectPublicKeyInfo of a P-256 point: SEQUENCE { SEQUENCE { id-ecPublicKey,
// prime256v1 }, BIT STRING { 0x04 X Y } }.
const unsigned char kSpkiHead[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                   0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                   0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const char* MarkerBytes() { return KL_UPDATE_KEY_SLOT_MARKER; }

}  // namespace

std::string PublicKeyPem(const uint8_t point[64]) {
  std::vector<unsigned char> der(kSpkiHead, kSpkiHead + sizeof kSpkiHead);
  der.insert(der.end(), point, point + 64);
  std::string b64;
  for (size_t i = 0; i < der.size(); i += 3) {
    const uint32_t v = (uint32_t{der[i]} << 16) |
                       (i + 1 < der.size() ? uint32_t{der[i + 1]} << 8 : 0) |
                       (i + 2 < der.size() ? der[i + 2] : 0);
    b64 += kB64[v >> 18];
    b64 += kB64[(v >> 12) & 63];
    b64 += i + 1 < der.size() ? kB64[(v >> 6) & 63] : '=';
    b64 += i + 2 < der.size() ? kB64[v & 63] : '=';
  }
  std::string pem = "-----BEGIN PUBLIC KEY-----\n";
  for (size_t i = 0; i < b64.size(); i += 64) pem += b64.substr(i, 64) + "\n";
  return pem + "-----END PUBLIC KEY-----\n";
}

bool ParsePublicKeyPem(const std::string& text, uint8_t point[64]) {
  const std::string begin = "-----BEGIN PUBLIC KEY-----", end = "-----END PUBLIC KEY-----";
  const size_t b = text.find(begin);
  const size_t e = b == std::string::npos ? b : text.find(end, b);
  if (e == std::string::npos) return false;
  std::vector<unsigned char> der;
  uint32_t acc = 0;
  int bits = 0;
  bool padded = false;
  for (size_t i = b + begin.size(); i < e; ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    const char* p = std::strchr(kB64, c);
    if (!p || !c || padded || der.size() > 200) return false;
    acc = (acc << 6) | static_cast<uint32_t>(p - kB64);
    if ((bits += 6) >= 8) der.push_back(static_cast<unsigned char>(acc >> (bits -= 8)));
  }
  if (der.size() != sizeof kSpkiHead + 64 || std::memcmp(der.data(), kSpkiHead, sizeof kSpkiHead) != 0)
    return false;
  std::memcpy(point, der.data() + sizeof kSpkiHead, 64);
  return true;
}

Status LoadPublicKeyFile(const fs::path& file, uint8_t point[64]) {
  std::vector<unsigned char> bytes;
  Status s = ReadWholeFile(file, &bytes, 4096);
  if (!s.ok()) return s;
  const std::string text(bytes.begin(), bytes.end());
  if (text.find('\0') != std::string::npos ||
      (!klupdate::ParsePublicKeyText(text.c_str(), point) && !ParsePublicKeyPem(text, point)))
    return Status::Input(Quote(PathToUtf8(file), 200) +
                         ": not a public key (update-key.pub or update-key.pub.pem of \"klpack keygen\")");
  if (!PublicPointIsValid(point))
    return Status::Input(Quote(PathToUtf8(file), 200) + ": not a point of the P-256 curve");
  return Status::Ok();
}

Status FindKeySlot(const std::vector<unsigned char>& bytes, const std::string& name, size_t* at) {
  return FindKeySlot(bytes.data(), bytes.size(), name, at);
}

Status FindKeySlot(const unsigned char* bytes, size_t size, const std::string& name, size_t* at) {
  const char* marker = MarkerBytes();
  const size_t n = klupdate::kKeySlotMarkerBytes;
  size_t found = 0;
  for (size_t i = 0; i + klupdate::kKeySlotBytes <= size; ++i) {
    if (bytes[i] != static_cast<unsigned char>(marker[0]) || std::memcmp(bytes + i, marker, n) != 0)
      continue;
    if (found++) *at = SIZE_MAX;
    else *at = i;
  }
  if (found == 0)
    return Status::Input(Quote(name, 200) +
                         ": has no update key slot; --update-key needs the setup.exe of this "
                         "release (an older or foreign stub cannot carry the key)");
  if (found > 1)
    return Status::Input(Quote(name, 200) + ": holds the update key slot's marker " +
                         std::to_string(found) + " times; klpack writes only into a single slot");
  return Status::Ok();
}

Status WriteKeySlot(std::vector<unsigned char>* stub, const std::string& name,
                    const uint8_t point[64]) {
  size_t at = 0;
  Status s = FindKeySlot(*stub, name, &at);
  if (!s.ok()) return s;
  unsigned char* slot = stub->data() + at + klupdate::kKeySlotMarkerBytes;
  slot[0] = 0x04;
  std::memcpy(slot + 1, point, 64);
  return Status::Ok();
}

std::string ReadKeySlot(const unsigned char* data, size_t size, bool* hasSlot) {
  size_t at = 0;
  const bool found = FindKeySlot(data, size, "", &at).ok();
  if (hasSlot) *hasSlot = found;
  if (!found) return "";
  const unsigned char* p = data + at + klupdate::kKeySlotMarkerBytes;
  bool any = false;
  for (size_t i = 0; i < klupdate::kKeySlotPointBytes; ++i) any = any || p[i] != 0;
  return any ? klupdate::HexText(p, klupdate::kKeySlotPointBytes) : "";
}

}  // namespace klpack
