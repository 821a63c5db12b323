// The setup program's key slot (update/update_key_slot.h) from the packager's
// side: reading a public key file, writing the key into a stub copy, reading
// it back from a setup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "klpack.h"

namespace klpack {

// A public key file as "klpack keygen" writes it: update-key.pub ("04" and
// 128 hexadecimal digits) or update-key.pub.pem (SubjectPublicKeyInfo). The
// point must lie on P-256. point: X || Y.
Status LoadPublicKeyFile(const fs::path& file, uint8_t point[64]);
// The SubjectPublicKeyInfo PEM text of a point (update-key.pub.pem).
std::string PublicKeyPem(const uint8_t point[64]);
bool ParsePublicKeyPem(const std::string& text, uint8_t point[64]);

// Where the slot's marker is in bytes: its offset, or an error when it is
// not there (an older stub) or there more than once (name: the stub file in
// messages).
Status FindKeySlot(const std::vector<unsigned char>& bytes, const std::string& name, size_t* at);
Status FindKeySlot(const unsigned char* bytes, size_t size, const std::string& name, size_t* at);
// Writes the point into the slot of a stub copy.
Status WriteKeySlot(std::vector<unsigned char>* stub, const std::string& name, const uint8_t point[64]);
// The slot's key of a program part as "04..." text; "" when the slot is
// empty or missing (*hasSlot tells which, when given).
std::string ReadKeySlot(const unsigned char* data, size_t size, bool* hasSlot = nullptr);

// The platform's part: the point lies on P-256.
bool PublicPointIsValid(const uint8_t point[64]);

}  // namespace klpack
