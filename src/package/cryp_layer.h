// The enciphered-cabinet ("CRYP") container as arithmetic on buffers: which
// bytes a read must fetch and decipher, and whole-container conversion.
// Bytes 0..55 of a container are plain (bytes 0..3 read "CRYP" instead of
// "MSCF"); from 56 on every 8-byte block is Blowfish-enciphered (ECB).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/blowfish.h"

constexpr uint32_t kCrypPlainBytes = 56;  // bytes 0..55 stay plain

// How a request for count bytes at pos is served: read `length` bytes from
// `alignedStart`, decipher the blocks of that buffer from `plainPrefix` on,
// and hand out buffer[skip .. skip + count).
struct CrypReadPlan {
  int64_t alignedStart;  // A: pos rounded down to a multiple of 8
  uint32_t length;       // L: whole 8-byte blocks covering [pos, pos+count)
  uint32_t skip;         // d = pos - A
  uint32_t plainPrefix;  // c = 56 - A clamped to [0, L]
};

// Largest count a plan covers; larger requests are cut to it. (The
// extractor's 65,536-byte work buffer limits real requests to 65,522.)
constexpr uint32_t kCrypMaxCount = 0xFFFFFFF0u;

// pos >= 0 (negative is taken as 0), 1 <= count <= kCrypMaxCount (0 is
// taken as 1). L is at most count + 14.
CrypReadPlan PlanCrypRead(int64_t pos, uint32_t count);

// Deciphers in place every whole 8-byte block of buf[plan.plainPrefix .. plan.length).
void DecipherCrypSpan(const BlowfishContext* ctx, unsigned char* buf, const CrypReadPlan& plan);

enum class CabSignature { Plain /*"MSCF"*/, Cryp /*"CRYP"*/, Other };
// Other when size < 4.
CabSignature ReadCabSignature(const unsigned char* data, size_t size);

// Pads cab with 0..7 zero bytes to a multiple of 8, enciphers from offset 56
// to the end and writes "CRYP" over bytes 0..3. A cab shorter than 56 bytes
// is padded and gets only its signature changed.
void EncipherContainer(const BlowfishContext* ctx, std::vector<unsigned char>& cab);

// The reverse, in place: requires size % 8 == 0 and "CRYP" at 0; deciphers
// from 56 and writes "MSCF". Returns false (data untouched) on bad input.
bool DecipherContainer(const BlowfishContext* ctx, unsigned char* data, size_t size);
