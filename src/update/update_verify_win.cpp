#include "update/update_verify_win.h"

#include <cstring>

#include "ui/owners_win.h"

namespace {

bool Ok(NTSTATUS s) { return s >= 0; }

// SHA-256 of data handed in by feed(hash), which returns false on a failure.
template <class Feed>
bool Sha256(uint8_t out[klupdate::kSha256Bytes], Feed feed) {
  CngAlgorithm alg(BCRYPT_SHA256_ALGORITHM);
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!alg.h || !Ok(BCryptCreateHash(alg.h, &hash, nullptr, 0, nullptr, 0, 0))) return false;
  const bool ok = feed(hash) && Ok(BCryptFinishHash(hash, out, klupdate::kSha256Bytes, 0));
  BCryptDestroyHash(hash);
  return ok;
}

// The signature file, read only up to one byte past the longest signature.
bool ReadSignatureFile(const wchar_t* path, uint8_t* buf, size_t* size) {
  ui::FileHandle f(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  DWORD got = 0;
  if (!ReadFile(f.get(), buf, klupdate::kMaxSignatureFileBytes + 1, &got, nullptr)) return false;
  *size = got;
  return got <= klupdate::kMaxSignatureFileBytes;
}

}  // namespace

bool Sha256OfBytes(const unsigned char* data, size_t size, uint8_t out[32]) {
  return Sha256(out, [&](BCRYPT_HASH_HANDLE hash) {
    for (size_t left = size; left;) {
      const ULONG n = left > 0x10000000 ? 0x10000000 : static_cast<ULONG>(left);
      if (!Ok(BCryptHashData(hash, const_cast<PUCHAR>(data), n, 0))) return false;
      data += n;
      left -= n;
    }
    return true;
  });
}

bool VerifyListSignature(const unsigned char* list, size_t size, const wchar_t* sigPath) {
  uint8_t point[klupdate::kP256PointBytes];
  if (!klupdate::ParsePublicKeyText(BuiltInUpdateKeyText(), point)) return false;
  uint8_t der[klupdate::kMaxSignatureFileBytes + 1];
  size_t derSize = 0;
  uint8_t raw[klupdate::kRawSignatureBytes];
  if (!ReadSignatureFile(sigPath, der, &derSize) || !klupdate::DerSignatureToRaw(der, derSize, raw))
    return false;
  uint8_t digest[klupdate::kSha256Bytes];
  if (!Sha256OfBytes(list, size, digest)) return false;

  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + klupdate::kP256PointBytes];
  BCRYPT_ECCKEY_BLOB head = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &head, sizeof head);
  std::memcpy(blob + sizeof head, point, sizeof point);
  CngAlgorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  CngKey key;
  if (!alg.h ||
      !Ok(BCryptImportKeyPair(alg.h, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key.h, blob, sizeof blob, 0)))
    return false;
  return Ok(BCryptVerifySignature(key.h, nullptr, digest, sizeof digest, raw, sizeof raw, 0));
}

bool Sha256OfFile(const wchar_t* path, uint8_t out[klupdate::kSha256Bytes]) {
  ui::FileHandle f(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  return Sha256(out, [&](BCRYPT_HASH_HANDLE hash) {
    static unsigned char buffer[64 * 1024];  // one check at a time (the worker thread)
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(f.get(), buffer, sizeof buffer, &got, nullptr)) return false;
      if (got == 0) return true;
      if (!Ok(BCryptHashData(hash, buffer, got, 0))) return false;
    }
  });
}

bool DownloadMatchesDigest(const wchar_t* path, const klupdate::Digest& digest) {
  if (digest.state == klupdate::Digest::kNone) return !UpdateKeyBuiltIn();
  if (digest.state != klupdate::Digest::kGiven) return false;
  uint8_t actual[klupdate::kSha256Bytes];
  return Sha256OfFile(path, actual) && std::memcmp(actual, digest.bytes, sizeof actual) == 0;
}
