// The publisher key's arithmetic on Windows: the system's CNG.
#include <cstring>

#include "key_slot.h"
#include "publisher_key.h"
#include "update/update_signature.h"
#include "update/update_verify_win.h"

namespace klpack {

namespace {

bool Ok(NTSTATUS s) { return s >= 0; }

// BCRYPT_ECCKEY_BLOB followed by X, Y and, for a private blob, the secret.
std::vector<unsigned char> Blob(ULONG magic, const PublisherKey& key, bool withSecret) {
  const BCRYPT_ECCKEY_BLOB head = {magic, 32};
  std::vector<unsigned char> b(sizeof head + 64 + (withSecret ? 32 : 0));
  std::memcpy(b.data(), &head, sizeof head);
  std::memcpy(b.data() + sizeof head, key.point, 64);
  if (withSecret) std::memcpy(b.data() + sizeof head + 64, key.secret, 32);
  return b;
}

}  // namespace

Status GeneratePublisherKey(PublisherKey* key) {
  CngAlgorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  CngKey k;
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
  ULONG got = 0;
  if (!alg.h || !Ok(BCryptGenerateKeyPair(alg.h, &k.h, 256, 0)) ||
      !Ok(BCryptFinalizeKeyPair(k.h, 0)) ||
      !Ok(BCryptExportKey(k.h, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &got, 0)) ||
      got != sizeof blob)
    return Status::Input("cannot make a key (CNG)");
  std::memcpy(key->point, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
  std::memcpy(key->secret, blob + sizeof(BCRYPT_ECCKEY_BLOB) + 64, 32);
  SecureZeroMemory(blob, sizeof blob);
  return Status::Ok();
}

Status SignWithPublisherKey(const PublisherKey& key, const std::vector<unsigned char>& data,
                            std::vector<unsigned char>* der) {
  uint8_t digest[32];
  if (!Sha256Of(data, digest)) return Status::Input("cannot hash (CNG)");
  CngAlgorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  CngKey priv, pub;
  std::vector<unsigned char> privBlob = Blob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, key, true);
  std::vector<unsigned char> pubBlob = Blob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, key, false);
  uint8_t raw[64];
  ULONG got = 0;
  const bool signedOk =
      alg.h &&
      Ok(BCryptImportKeyPair(alg.h, nullptr, BCRYPT_ECCPRIVATE_BLOB, &priv.h, privBlob.data(),
                             static_cast<ULONG>(privBlob.size()), 0)) &&
      Ok(BCryptSignHash(priv.h, nullptr, digest, sizeof digest, raw, sizeof raw, &got, 0)) &&
      got == sizeof raw;
  SecureZeroMemory(privBlob.data(), privBlob.size());
  if (!signedOk) return Status::Input("the key cannot sign (CNG)");
  if (!Ok(BCryptImportKeyPair(alg.h, nullptr, BCRYPT_ECCPUBLIC_BLOB, &pub.h, pubBlob.data(),
                              static_cast<ULONG>(pubBlob.size()), 0)) ||
      !Ok(BCryptVerifySignature(pub.h, nullptr, digest, sizeof digest, raw, sizeof raw, 0)))
    return Status::Input("the key file's public key does not belong to its private key");
  *der = klupdate::RawSignatureToDer(raw);
  return Status::Ok();
}

bool Sha256Of(const std::vector<unsigned char>& data, uint8_t out[32]) {
  return Sha256OfBytes(data.data(), data.size(), out);
}

bool PublicPointIsValid(const uint8_t point[64]) {
  PublisherKey key;
  std::memcpy(key.point, point, 64);
  const std::vector<unsigned char> blob = Blob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, key, false);
  CngAlgorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  CngKey pub;
  return alg.h && Ok(BCryptImportKeyPair(alg.h, nullptr, BCRYPT_ECCPUBLIC_BLOB, &pub.h,
                                         const_cast<PUCHAR>(blob.data()),
                                         static_cast<ULONG>(blob.size()), 0));
}

}  // namespace klpack
