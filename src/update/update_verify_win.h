// Trust in what the update server sends: the signature of every list, checked
// against the program's publisher key, and the SHA-256 a
// signed list gives for each file it names. Hashing and verification go
// through the system's CNG (bcrypt.dll); nothing else is needed.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <cstddef>
#include <cstdint>

#include "update/update_signature.h"

// Owners of CNG handles (also used by the packager's signing).
struct CngAlgorithm {
  BCRYPT_ALG_HANDLE h = nullptr;
  explicit CngAlgorithm(const wchar_t* id) {
    if (BCryptOpenAlgorithmProvider(&h, id, nullptr, 0) < 0) h = nullptr;
  }
  ~CngAlgorithm() {
    if (h) BCryptCloseAlgorithmProvider(h, 0);
  }
  CngAlgorithm(const CngAlgorithm&) = delete;
  CngAlgorithm& operator=(const CngAlgorithm&) = delete;
};
struct CngKey {
  BCRYPT_KEY_HANDLE h = nullptr;
  CngKey() = default;
  ~CngKey() {
    if (h) BCryptDestroyKey(h);
  }
  CngKey(const CngKey&) = delete;
  CngKey& operator=(const CngKey&) = delete;
};

// The publisher key text: the key slot's (written by klpack build
// --update-key), else the build's (CMake cache variable KL_UPDATE_PUBLIC_KEY);
// "" when the program takes unsigned lists.
const char* BuiltInUpdateKeyText();
// The key slot's alone, as "04" and 128 hexadecimal digits; "" when empty.
const char* SlotUpdateKeyText();
inline bool UpdateKeyBuiltIn() { return BuiltInUpdateKeyText()[0] != 0; }

// true when the signature file at sigPath (DER, at most 72 bytes) is the
// program's key's ECDSA P-256 signature of the bytes of the list. A key that
// does not parse verifies nothing.
bool VerifyListSignature(const unsigned char* list, size_t size, const wchar_t* sigPath);

// SHA-256 of bytes in memory.
bool Sha256OfBytes(const unsigned char* data, size_t size, uint8_t out[klupdate::kSha256Bytes]);
// SHA-256 of a whole file; false when it cannot be read.
bool Sha256OfFile(const wchar_t* path, uint8_t out[klupdate::kSha256Bytes]);

// A downloaded file against the digest its list line gave: a given digest
// must match, a malformed one never does, and with a key built in a line
// without one fails too (a signed list names every file's digest).
bool DownloadMatchesDigest(const wchar_t* path, const klupdate::Digest& digest);
