#include "package/blowfish.h"

#include "base/le.h"

#include <cstring>

namespace {

#include "package/blowfish_tables.inc"

using kl::Load32;
using kl::Store32;

inline uint32_t F(const uint32_t (*S)[256], uint32_t x) {
  return ((S[0][x >> 24] + S[1][(x >> 16) & 0xFF]) ^ S[2][(x >> 8) & 0xFF]) + S[3][x & 0xFF];
}

// The two halves through the 16 rounds, forward.
inline void Encipher(const BlowfishContext* ctx, uint32_t& left, uint32_t& right) {
  const uint32_t* P = ctx->P;
  const uint32_t (*S)[256] = ctx->S;
  uint32_t a = left ^ P[0];
  uint32_t b = right ^ F(S, a) ^ P[1];
  a ^= F(S, b) ^ P[2];
  b ^= F(S, a) ^ P[3];
  a ^= F(S, b) ^ P[4];
  b ^= F(S, a) ^ P[5];
  a ^= F(S, b) ^ P[6];
  b ^= F(S, a) ^ P[7];
  a ^= F(S, b) ^ P[8];
  b ^= F(S, a) ^ P[9];
  a ^= F(S, b) ^ P[10];
  b ^= F(S, a) ^ P[11];
  a ^= F(S, b) ^ P[12];
  b ^= F(S, a) ^ P[13];
  a ^= F(S, b) ^ P[14];
  b ^= F(S, a) ^ P[15];
  left = b ^ P[17];
  right = a ^ F(S, b) ^ P[16];
}

// The same with the P-array in reverse.
inline void Decipher(const BlowfishContext* ctx, uint32_t& left, uint32_t& right) {
  const uint32_t* P = ctx->P;
  const uint32_t (*S)[256] = ctx->S;
  uint32_t a = left ^ P[17];
  uint32_t b = right ^ F(S, a) ^ P[16];
  a ^= F(S, b) ^ P[15];
  b ^= F(S, a) ^ P[14];
  a ^= F(S, b) ^ P[13];
  b ^= F(S, a) ^ P[12];
  a ^= F(S, b) ^ P[11];
  b ^= F(S, a) ^ P[10];
  a ^= F(S, b) ^ P[9];
  b ^= F(S, a) ^ P[8];
  a ^= F(S, b) ^ P[7];
  b ^= F(S, a) ^ P[6];
  a ^= F(S, b) ^ P[5];
  b ^= F(S, a) ^ P[4];
  a ^= F(S, b) ^ P[3];
  b ^= F(S, a) ^ P[2];
  left = b ^ P[0];
  right = a ^ F(S, b) ^ P[1];
}

}  // namespace

const unsigned char kPackageKey[kPackageKeyLength] = {'K', 'e', 'l', 'o', 'I', 'M',
                                                      'E', '2', '0', '1', '2'};

int BlowfishSetKeyBytes(BlowfishContext* ctx, const unsigned char* key, size_t keyLength) {
  ctx->keyed = 0;
  if (keyLength == 0 || key == nullptr) return 0;
  std::memcpy(ctx->P, kInitialP, sizeof ctx->P);
  std::memcpy(ctx->S, kInitialS, sizeof ctx->S);

  size_t j = 0;
  for (int i = 0; i < 18; ++i) {
    uint32_t word = 0;
    for (int k = 0; k < 4; ++k) {
      word = (word << 8) | key[j];
      if (++j == keyLength) j = 0;
    }
    ctx->P[i] ^= word;
  }

  uint32_t left = 0, right = 0;
  for (int i = 0; i < 18; i += 2) {
    Encipher(ctx, left, right);
    ctx->P[i] = left;
    ctx->P[i + 1] = right;
  }
  for (int box = 0; box < 4; ++box) {
    for (int i = 0; i < 256; i += 2) {
      Encipher(ctx, left, right);
      ctx->S[box][i] = left;
      ctx->S[box][i + 1] = right;
    }
  }
  ctx->keyed = 1;
  return 1;
}

int BlowfishSetKey(BlowfishContext* ctx, size_t keyLength) {
  ctx->keyed = 0;
  if (keyLength == 0) return 0;
  if (keyLength <= kPackageKeyLength) return BlowfishSetKeyBytes(ctx, kPackageKey, keyLength);
  // Longer than the constant: byte j of the key stream is the constant's
  // byte (j mod keyLength) mod 11, i.e. the constant repeated out to
  // keyLength bytes. The schedule consumes only 72 bytes (18 words), so
  // that stream is built once and handed to the common schedule.
  unsigned char cycled[72];
  for (size_t j = 0; j < sizeof cycled; ++j) cycled[j] = kPackageKey[(j % keyLength) % kPackageKeyLength];
  return BlowfishSetKeyBytes(ctx, cycled, sizeof cycled);
}

void BlowfishEncryptBlock(const BlowfishContext* ctx, unsigned char block[8]) {
  uint32_t l = Load32(block), r = Load32(block + 4);
  Encipher(ctx, l, r);
  Store32(block, l);
  Store32(block + 4, r);
}

void BlowfishDecryptBlock(const BlowfishContext* ctx, unsigned char block[8]) {
  uint32_t l = Load32(block), r = Load32(block + 4);
  Decipher(ctx, l, r);
  Store32(block, l);
  Store32(block + 4, r);
}

namespace {

// Bulk ECB. A single block is bound by the load-to-use chain of its rounds:
// each F needs the previous round's result before its S-box loads can
// start. Blocks are independent, so kLanes of them go through the rounds
// side by side and the loads of one overlap the others'. Five lanes
// measured best on x86-64 (about 2.6 times one block at a time, four lanes
// about 10% less): the halves of all five still fit in registers, and beyond
// that the S-box loads themselves are the limit, so more lanes only spill.
// The lane loops below are unrolled by request: at -O2 (this file's level in
// the Windows builds) the compiler leaves them as loops over arrays in
// memory, which measured 3.7 times slower than the unrolled form.
constexpr size_t kLanes = 5;

// x ^= F(y) ^ p in every lane.
template <size_t N>
inline void RoundLanes(const uint32_t (*S)[256], uint32_t p, uint32_t (&x)[N],
                       const uint32_t (&y)[N]) {
#pragma GCC unroll 8
  for (size_t k = 0; k < N; ++k) x[k] ^= F(S, y[k]) ^ p;
}

// N consecutive blocks through the 16 rounds, with P already in the order
// of the direction (P[0..17] forward, P[17..0] backward).
template <size_t N>
inline void CipherLanes(const uint32_t* P, const uint32_t (*S)[256], unsigned char* __restrict data) {
  uint32_t a[N], b[N];
#pragma GCC unroll 8
  for (size_t k = 0; k < N; ++k) {
    a[k] = Load32(data + 8 * k) ^ P[0];
    b[k] = Load32(data + 8 * k + 4);
  }
  RoundLanes(S, P[1], b, a);
  RoundLanes(S, P[2], a, b);
  RoundLanes(S, P[3], b, a);
  RoundLanes(S, P[4], a, b);
  RoundLanes(S, P[5], b, a);
  RoundLanes(S, P[6], a, b);
  RoundLanes(S, P[7], b, a);
  RoundLanes(S, P[8], a, b);
  RoundLanes(S, P[9], b, a);
  RoundLanes(S, P[10], a, b);
  RoundLanes(S, P[11], b, a);
  RoundLanes(S, P[12], a, b);
  RoundLanes(S, P[13], b, a);
  RoundLanes(S, P[14], a, b);
  RoundLanes(S, P[15], b, a);
  RoundLanes(S, P[16], a, b);
#pragma GCC unroll 8
  for (size_t k = 0; k < N; ++k) {
    Store32(data + 8 * k, b[k] ^ P[17]);
    Store32(data + 8 * k + 4, a[k]);
  }
}

// The P-array is copied into a local in the order of the direction (from
// P[kFirst] by kStep), so that stores through the byte pointer cannot make
// the compiler reload it from the context.
template <int kFirst, int kStep>
void CipherBlocks(const BlowfishContext* ctx, unsigned char* __restrict data, size_t blockCount) {
  uint32_t P[18];
  for (int i = 0; i < 18; ++i) P[i] = ctx->P[kFirst + kStep * i];
  const uint32_t (*S)[256] = ctx->S;
  for (; blockCount >= kLanes; blockCount -= kLanes, data += 8 * kLanes) CipherLanes<kLanes>(P, S, data);
  for (; blockCount > 0; --blockCount, data += 8) CipherLanes<1>(P, S, data);
}

}  // namespace

void BlowfishDecryptBlocks(const BlowfishContext* ctx, unsigned char* data, size_t blockCount) {
  CipherBlocks<17, -1>(ctx, data, blockCount);
}

void BlowfishEncryptBlocks(const BlowfishContext* ctx, unsigned char* data, size_t blockCount) {
  CipherBlocks<0, 1>(ctx, data, blockCount);
}
