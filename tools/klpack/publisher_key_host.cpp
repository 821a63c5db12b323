// The publisher key's arithmetic on the host: OpenSSL (libcrypto).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>
#include <memory>

#include "key_slot.h"
#include "publisher_key.h"

namespace klpack {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// The public key of a P-256 point (X || Y); null when OpenSSL refuses it.
Pkey PublicKeyOfPoint(const uint8_t point[64]) {
  unsigned char encoded[65] = {4};
  std::memcpy(encoded + 1, point, 64);
  EVP_PKEY* pub = nullptr;
  EVP_PKEY_CTX* from = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("P-256"), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded),
      OSSL_PARAM_construct_end()};
  const bool made = from && EVP_PKEY_fromdata_init(from) == 1 &&
                    EVP_PKEY_fromdata(from, &pub, EVP_PKEY_PUBLIC_KEY, params) == 1;
  EVP_PKEY_CTX_free(from);
  Pkey owned(pub);
  if (!made) owned.reset();
  return owned;
}

// OpenSSL reads the same PKCS#8 form klpack writes.
Pkey ToOpenSsl(const PublisherKey& key) {
  const std::vector<unsigned char> der = PrivateKeyDer(key);
  const unsigned char* p = der.data();
  return Pkey(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

}  // namespace

Status GeneratePublisherKey(PublisherKey* key) {
  Pkey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  unsigned char point[65];
  size_t pointLen = 0;
  BIGNUM* secret = nullptr;
  if (!pkey ||
      !EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                       &pointLen) ||
      pointLen != 65 || point[0] != 4 ||
      !EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &secret))
    return Status::Input("cannot make a key (OpenSSL)");
  const int ok = BN_bn2binpad(secret, key->secret, 32);
  BN_clear_free(secret);
  if (ok != 32) return Status::Input("cannot make a key (OpenSSL)");
  std::memcpy(key->point, point + 1, 64);
  return Status::Ok();
}

Status SignWithPublisherKey(const PublisherKey& key, const std::vector<unsigned char>& data,
                            std::vector<unsigned char>* der) {
  Pkey pkey = ToOpenSsl(key);
  MdCtx sign(EVP_MD_CTX_new()), verify(EVP_MD_CTX_new());
  size_t len = 0;
  if (!pkey || !sign || !verify ||
      EVP_DigestSignInit(sign.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1 ||
      EVP_DigestSign(sign.get(), nullptr, &len, data.data(), data.size()) != 1)
    return Status::Input("the key cannot sign (OpenSSL)");
  der->resize(len);
  if (EVP_DigestSign(sign.get(), der->data(), &len, data.data(), data.size()) != 1)
    return Status::Input("the key cannot sign (OpenSSL)");
  der->resize(len);
  // OpenSSL signs with the secret half; the check uses the point the file
  // carries, which is what the setup's build takes.
  Pkey pubKey = PublicKeyOfPoint(key.point);
  if (!pubKey || EVP_DigestVerifyInit(verify.get(), nullptr, EVP_sha256(), nullptr, pubKey.get()) != 1 ||
      EVP_DigestVerify(verify.get(), der->data(), der->size(), data.data(), data.size()) != 1)
    return Status::Input("the key file's public key does not belong to its private key");
  return Status::Ok();
}

bool PublicPointIsValid(const uint8_t point[64]) {
  Pkey pub = PublicKeyOfPoint(point);
  if (!pub) return false;
  EVP_PKEY_CTX* check = EVP_PKEY_CTX_new(pub.get(), nullptr);
  const bool ok = check && EVP_PKEY_public_check(check) == 1;
  EVP_PKEY_CTX_free(check);
  return ok;
}

bool Sha256Of(const std::vector<unsigned char>& data, uint8_t out[32]) {
  return SHA256(data.data(), data.size(), out) != nullptr;
}

}  // namespace klpack
