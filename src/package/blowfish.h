// Blowfish block cipher (16 rounds, ECB on 8-byte blocks) as the package
// container uses it: block halves are little-endian 32-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

struct BlowfishContext {
  uint32_t keyed;      // 0 until a key set-up has completed, then 1
  uint32_t P[18];
  uint32_t S[4][256];
};

constexpr size_t kPackageKeyLength = 11;
// The package key (ASCII, no terminator is part of the key).
extern const unsigned char kPackageKey[kPackageKeyLength];

// Keys ctx with the first keyLength bytes of kPackageKey, cycling when
// keyLength exceeds the constant's length. Returns 1; keyLength 0 returns 0
// and leaves the context unkeyed.
int BlowfishSetKey(BlowfishContext* ctx, size_t keyLength);
// The same key schedule on any key bytes (key[j mod keyLength]). Returns 1,
// or 0 (unkeyed) when keyLength is 0 or key is null.
int BlowfishSetKeyBytes(BlowfishContext* ctx, const unsigned char* key, size_t keyLength);

// One 8-byte block in place; L = bytes 0..3, R = bytes 4..7, little-endian.
void BlowfishEncryptBlock(const BlowfishContext* ctx, unsigned char block[8]);
void BlowfishDecryptBlock(const BlowfishContext* ctx, unsigned char block[8]);

// blockCount consecutive blocks in place (ECB); no allocation.
void BlowfishDecryptBlocks(const BlowfishContext* ctx, unsigned char* data, size_t blockCount);
void BlowfishEncryptBlocks(const BlowfishContext* ctx, unsigned char* data, size_t blockCount);
