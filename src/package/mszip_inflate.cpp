#include "package/mszip_inflate.h"

#include <cstring>

namespace cab {
namespace {

// Entry kinds.
enum : uint32_t { kLiteral = 0, kLength = 1, kEnd = 2, kLink = 3, kDistance = 4, kInvalid = 5 };

constexpr uint32_t Entry(uint32_t bits, uint32_t kind, uint32_t extra, uint32_t value) {
  return bits | kind << 8 | extra << 12 | value << 16;
}
inline unsigned Bits(uint32_t e) { return e & 0xFF; }
inline uint32_t Kind(uint32_t e) { return (e >> 8) & 0xF; }
inline unsigned Extra(uint32_t e) { return (e >> 12) & 0xF; }
inline uint32_t Value(uint32_t e) { return e >> 16; }

constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kLitSymbols = 288;  // 286 and 287 have codes but mean nothing
constexpr unsigned kDistSymbols = 32;  // 30 and 31 likewise
constexpr unsigned kLenSymbols = 19;   // the code-length code
constexpr unsigned kLenBits = 7;       // ... whose codes are at most 7 bits: one level

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                1025, 1537, 2049, 3073, 4097, 6145,  8193,  12289, 16385, 24577};
const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t kLenOrder[kLenSymbols] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What symbol s of each code means, without its bit count.
uint32_t LitMeaning(unsigned s) {
  if (s < 256) return Entry(0, kLiteral, 0, s);
  if (s == 256) return Entry(0, kEnd, 0, 0);
  if (s < 286) return Entry(0, kLength, kLengthExtra[s - 257], kLengthBase[s - 257]);
  return Entry(0, kInvalid, 0, 0);
}
uint32_t DistMeaning(unsigned s) {
  if (s < 30) return Entry(0, kDistance, kDistExtra[s], kDistBase[s]);
  return Entry(0, kInvalid, 0, 0);
}
uint32_t LenMeaning(unsigned s) { return Entry(0, kLiteral, 0, s); }

// Builds the decoding table of a canonical Huffman code given its code
// lengths: a first level indexed by `root` bits (least significant first, as
// deflate packs them), and for longer codes sub-tables reached through link
// entries. False for an over-subscribed code, for an incomplete one (except a
// single code of one bit, or no code at all: every entry then invalid), and
// when the tables would not fit in `size` entries.
bool Build(const uint8_t* lengths, unsigned n, uint32_t (*meaning)(unsigned), unsigned root,
           uint32_t* table, size_t size) {
  unsigned count[kMaxCodeBits + 1] = {};
  for (unsigned s = 0; s < n; ++s) count[lengths[s]]++;
  count[0] = 0;
  unsigned max = kMaxCodeBits;
  while (max > 0 && count[max] == 0) --max;
  const uint32_t invalid = Entry(1, kInvalid, 0, 0);
  if (size < (size_t(1) << root)) return false;
  if (max == 0) {
    for (size_t i = 0; i < (size_t(1) << root); ++i) table[i] = invalid;
    return true;
  }
  int left = 1;
  for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
    left <<= 1;
    left -= static_cast<int>(count[len]);
    if (left < 0) return false;  // over-subscribed
  }
  if (left > 0 && max != 1) return false;  // incomplete
  if (left > 0) {
    for (size_t i = 0; i < (size_t(1) << root); ++i) table[i] = invalid;
  }
  // Symbols sorted by code length, then by value: the canonical order.
  uint16_t offs[kMaxCodeBits + 2];
  offs[1] = 0;
  for (unsigned len = 1; len <= kMaxCodeBits; ++len) offs[len + 1] = static_cast<uint16_t>(offs[len] + count[len]);
  uint16_t sorted[kLitSymbols];
  for (unsigned s = 0; s < n; ++s)
    if (lengths[s]) sorted[offs[lengths[s]]++] = static_cast<uint16_t>(s);

  const uint32_t rootMask = (uint32_t(1) << root) - 1;
  uint32_t code = 0;              // canonical code, most significant bit first
  size_t used = size_t(1) << root;
  uint32_t subPrefix = ~uint32_t(0);
  size_t subAt = 0;
  unsigned subBits = 0;
  unsigned remaining[kMaxCodeBits + 1];
  for (unsigned len = 0; len <= kMaxCodeBits; ++len) remaining[len] = count[len];
  unsigned idx = 0;
  for (unsigned len = 1; len <= max; ++len) {
    for (unsigned k = 0; k < count[len]; ++k, ++idx) {
      const unsigned sym = sorted[idx];
      // The code reversed: deflate sends its first bit first.
      uint32_t rev = 0;
      for (unsigned b = 0; b < len; ++b) rev |= ((code >> b) & 1u) << (len - 1 - b);
      const uint32_t m = meaning(sym);
      if (len <= root) {
        const uint32_t e = m | len;
        for (uint32_t i = rev; i <= rootMask; i += uint32_t(1) << len) table[i] = e;
      } else {
        const uint32_t prefix = rev & rootMask;
        if (prefix != subPrefix) {
          // A new sub-table, as wide as the codes that share this prefix need.
          unsigned bits = len - root;
          int room = 1 << bits;
          while (bits + root < max) {
            room -= static_cast<int>(remaining[bits + root]);
            if (room <= 0) break;
            ++bits;
            room <<= 1;
          }
          if (used + (size_t(1) << bits) > size) return false;
          subPrefix = prefix;
          subAt = used;
          subBits = bits;
          used += size_t(1) << bits;
          for (size_t i = 0; i < (size_t(1) << bits); ++i) table[subAt + i] = invalid;
          table[prefix] = Entry(root, kLink, bits, static_cast<uint32_t>(subAt));
        }
        const unsigned rest = len - root;
        if (rest > subBits) return false;
        const uint32_t e = m | rest;
        for (uint32_t i = rev >> root; i < (uint32_t(1) << subBits); i += uint32_t(1) << rest)
          table[subAt + i] = e;
      }
      --remaining[len];
      ++code;
    }
    code <<= 1;
  }
  return true;
}

inline uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

constexpr size_t kMaxPhantom = 16;

}  // namespace

// The bit reader: at least 56 bits in bitbuf_ after a refill. Past the end of
// the input it feeds zero bytes, counted in phantom_; a block whose decoding
// uses them fails at its next boundary (and a run of them ends it at once).
#define KL_REFILL()                                                            \
  do {                                                                         \
    if (iend_ - ip_ >= 8) {                                                    \
      bitbuf_ |= Load64(ip_) << bitcount_;                                     \
      ip_ += (63 - bitcount_) >> 3;                                            \
      bitcount_ |= 56;                                                         \
    } else {                                                                   \
      while (bitcount_ <= 56) {                                                \
        if (ip_ < iend_) {                                                     \
          bitbuf_ |= uint64_t(*ip_++) << bitcount_;                            \
        } else if (++phantom_ > kMaxPhantom) {                                 \
          return Fail(Error::kInputEnd);                                       \
        }                                                                      \
        bitcount_ += 8;                                                        \
      }                                                                        \
    }                                                                          \
  } while (0)

#define KL_DROP(n)      \
  do {                  \
    bitbuf_ >>= (n);    \
    bitcount_ -= (n);   \
  } while (0)

namespace {
inline uint32_t Low(uint64_t b, unsigned n) { return static_cast<uint32_t>(b) & ((uint32_t(1) << n) - 1); }
}  // namespace

bool MsZipInflater::Inflate(const unsigned char* in, size_t inLen, unsigned char* out, size_t size,
                            size_t history) {
  in_ = in;
  ip_ = in;
  iend_ = in + inLen;
  bitbuf_ = 0;
  bitcount_ = 0;
  phantom_ = 0;
  op_ = out;
  oend_ = out + size;
  obegin_ = out - (history < kWindow ? history : kWindow);
  error_ = Error::kNone;
  const uint64_t inBits = uint64_t(inLen) * 8;
  // Bits taken so far, the zero bytes past the end included.
  auto consumed = [&]() { return (uint64_t(ip_ - in_) + phantom_) * 8 - bitcount_; };

  for (;;) {
    if (consumed() > inBits) return Fail(Error::kInputEnd);
    // Input used up at a block boundary: a stream cut at a flush point.
    if ((consumed() + 7) / 8 >= inLen) return op_ == oend_ || Fail(Error::kWrongSize);
    KL_REFILL();
    const unsigned last = Low(bitbuf_, 1);
    const unsigned type = Low(bitbuf_ >> 1, 2);
    KL_DROP(3);
    if (type == 0) {
      // Stored: from the next byte boundary, LEN, ~LEN, then LEN bytes.
      KL_DROP(bitcount_ & 7);
      const uint64_t at = consumed() / 8;
      if (consumed() > inBits || at + 4 > inLen) return Fail(Error::kInputEnd);
      const unsigned char* p = in + at;
      const size_t len = p[0] | p[1] << 8;
      const size_t nlen = p[2] | p[3] << 8;
      if ((len ^ 0xFFFF) != nlen) return Fail(Error::kStoredLength);
      if (len > inLen - at - 4) return Fail(Error::kStoredPastInput);
      if (len > static_cast<size_t>(oend_ - op_)) return Fail(Error::kStoredPastOutput);
      std::memcpy(op_, p + 4, len);
      op_ += len;
      ip_ = p + 4 + len;
      bitbuf_ = 0;
      bitcount_ = 0;
      phantom_ = 0;
    } else if (type == 1) {
      // Fixed codes.
      uint8_t lengths[kLitSymbols + kDistSymbols];
      std::memset(lengths, 8, 144);
      std::memset(lengths + 144, 9, 112);
      std::memset(lengths + 256, 7, 24);
      std::memset(lengths + 280, 8, 8);
      std::memset(lengths + kLitSymbols, 5, kDistSymbols);
      if (!Build(lengths, kLitSymbols, LitMeaning, kLitBits, lit_, kLitTable) ||
          !Build(lengths + kLitSymbols, kDistSymbols, DistMeaning, kDistBits, dist_, kDistTable))
        return Fail(Error::kBadCode);
      if (!Codes()) return false;
    } else if (type == 2) {
      if (!Dynamic() || !Codes()) return false;
    } else {
      return Fail(Error::kBlockType);
    }
    if (last) {
      if (consumed() > inBits) return Fail(Error::kInputEnd);
      return op_ == oend_ || Fail(Error::kWrongSize);
    }
  }
}

bool MsZipInflater::Dynamic() {
  KL_REFILL();
  const unsigned nlit = Low(bitbuf_, 5) + 257;
  const unsigned ndist = Low(bitbuf_ >> 5, 5) + 1;
  const unsigned nlen = Low(bitbuf_ >> 10, 4) + 4;
  KL_DROP(14);
  if (nlit > 286 || ndist > 30) return Fail(Error::kCodeCounts);
  uint8_t lenLengths[kLenSymbols] = {};
  for (unsigned i = 0; i < nlen; ++i) {
    if (bitcount_ < 3) KL_REFILL();
    lenLengths[kLenOrder[i]] = static_cast<uint8_t>(Low(bitbuf_, 3));
    KL_DROP(3);
  }
  uint32_t lenTable[1u << kLenBits];
  if (!Build(lenLengths, kLenSymbols, LenMeaning, kLenBits, lenTable, 1u << kLenBits))
    return Fail(Error::kBadCode);

  uint8_t lengths[kLitSymbols + kDistSymbols] = {};
  const unsigned want = nlit + ndist;
  unsigned have = 0;
  while (have < want) {
    KL_REFILL();  // a code (7 bits) and its repeat count (7 bits)
    const uint32_t e = lenTable[Low(bitbuf_, kLenBits)];
    if (Kind(e) != kLiteral) return Fail(Error::kBadSymbol);
    KL_DROP(Bits(e));
    const unsigned sym = Value(e);
    if (sym < 16) {
      lengths[have++] = static_cast<uint8_t>(sym);
      continue;
    }
    unsigned repeat;
    uint8_t value = 0;
    if (sym == 16) {
      if (have == 0) return Fail(Error::kRepeatFirst);
      value = lengths[have - 1];
      repeat = 3 + Low(bitbuf_, 2);
      KL_DROP(2);
    } else if (sym == 17) {
      repeat = 3 + Low(bitbuf_, 3);
      KL_DROP(3);
    } else {
      repeat = 11 + Low(bitbuf_, 7);
      KL_DROP(7);
    }
    if (repeat > want - have) return Fail(Error::kRepeatPastEnd);
    std::memset(lengths + have, value, repeat);
    have += repeat;
  }
  if (lengths[256] == 0) return Fail(Error::kNoEndCode);
  // The distance lengths follow the literal/length ones directly.
  uint8_t dist[kDistSymbols] = {};
  std::memcpy(dist, lengths + nlit, ndist);
  uint8_t lit[kLitSymbols] = {};
  std::memcpy(lit, lengths, nlit);
  return (Build(lit, kLitSymbols, LitMeaning, kLitBits, lit_, kLitTable) &&
          Build(dist, kDistSymbols, DistMeaning, kDistBits, dist_, kDistTable)) ||
         Fail(Error::kBadCode);
}

// One block's symbols up to its end-of-block code.
bool MsZipInflater::Codes() {
  const uint32_t litMask = (uint32_t(1) << kLitBits) - 1;
  const uint32_t distMask = (uint32_t(1) << kDistBits) - 1;
  unsigned char* op = op_;
  unsigned char* const oend = oend_;
  for (;;) {
    // One refill covers a whole match: 15 + 5 + 15 + 13 bits.
    KL_REFILL();
    uint32_t e = lit_[bitbuf_ & litMask];
    if (Kind(e) == kLink) {
      KL_DROP(kLitBits);
      e = lit_[Value(e) + Low(bitbuf_, Extra(e))];
    }
    KL_DROP(Bits(e));
    const uint32_t kind = Kind(e);
    if (kind == kLiteral) {
      if (op == oend) return Fail(Error::kOutputFull);
      *op++ = static_cast<unsigned char>(Value(e));
      continue;
    }
    if (kind == kEnd) break;
    if (kind != kLength) return Fail(Error::kBadSymbol);
    size_t len = Value(e) + Low(bitbuf_, Extra(e));
    KL_DROP(Extra(e));
    e = dist_[bitbuf_ & distMask];
    if (Kind(e) == kLink) {
      KL_DROP(kDistBits);
      e = dist_[Value(e) + Low(bitbuf_, Extra(e))];
    }
    KL_DROP(Bits(e));
    if (Kind(e) != kDistance) return Fail(Error::kBadSymbol);
    const size_t d = Value(e) + Low(bitbuf_, Extra(e));
    KL_DROP(Extra(e));
    if (d > static_cast<size_t>(op - obegin_)) return Fail(Error::kDistanceTooFar);
    if (len > static_cast<size_t>(oend - op)) return Fail(Error::kOutputFull);
    const unsigned char* from = op - d;
    if (d >= 8 && static_cast<size_t>(oend - op) >= len + 8) {
      // Whole words; the last may run up to 7 bytes past the match, still
      // inside this block's output, to be written over next.
      unsigned char* to = op;
      unsigned char* const stop = op + len;
      do {
        std::memcpy(to, from, 8);
        to += 8;
        from += 8;
      } while (to < stop);
    } else {
      for (size_t i = 0; i < len; ++i) op[i] = from[i];
    }
    op += len;
  }
  op_ = op;
  return true;
}

#undef KL_REFILL
#undef KL_DROP

}  // namespace cab
