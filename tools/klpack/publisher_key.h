// The publisher key of signed update lists (ECDSA over NIST P-256 with
// SHA-256): making one, reading it back, signing a list and the SHA-256 of
// each published file.
//
// The private key is a PEM file in the form OpenSSL writes and reads
// ("PRIVATE KEY", PKCS#8; "EC PRIVATE KEY" is read too), the public key the
// uncompressed point as "04" and 128 hexadecimal digits, the form
// "klpack build --update-key" (and the setup's KL_UPDATE_PUBLIC_KEY) takes.
// The host build does the arithmetic with OpenSSL, the Windows build with
// CNG; the file formats are the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "klpack.h"

namespace klpack {

struct PublisherKey {
  uint8_t secret[32] = {};
  uint8_t point[64] = {};  // X || Y
};

// klpack keygen -o DIR (made when missing, its parent must exist):
// DIR/update-key.pem (private), DIR/update-key.pub (the public key text) and
// DIR/update-key.pub.pem (SubjectPublicKeyInfo, for openssl); none is ever
// replaced. The report names them and the build option.
Status MakePublisherKey(const fs::path& dir, std::string* report);
// Reads a private key file; only P-256 keys that carry their public point.
Status LoadPublisherKey(const fs::path& pem, PublisherKey* key);
// "04" + hex of the point.
std::string PublicKeyText(const PublisherKey& key);

// The PKCS#8 form of a key, its PEM text, and the key from PEM text.
std::vector<unsigned char> PrivateKeyDer(const PublisherKey& key);
std::string PrivateKeyPem(const PublisherKey& key);
bool ParsePrivateKeyPem(const std::string& text, PublisherKey* key);

// The platform's part.
Status GeneratePublisherKey(PublisherKey* key);
// The DER signature of data, checked against the key's own point before it
// is returned (a key file whose halves do not belong together is refused).
Status SignWithPublisherKey(const PublisherKey& key, const std::vector<unsigned char>& data,
                            std::vector<unsigned char>* der);
bool Sha256Of(const std::vector<unsigned char>& data, uint8_t out[32]);

}  // namespace klpack
