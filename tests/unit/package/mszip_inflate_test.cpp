// The MSZIP inflater against streams zlib makes (every kind of deflate block,
// history from earlier blocks, streams cut at flush points) and against
// hand-made hostile blocks.
#include "package/mszip_inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Text(size_t n, unsigned seed) {
  static const char* kWords[] = {"input ", "method ", "setup ", "kelo ", "table ", "skin ",
                                 "driver ", "\xE8\xBE\x93\xE5\x85\xA5 ", "\n", "0123 "};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const char* w = kWords[rng() % 10];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(n);
  return b;
}

Bytes Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

// One raw deflate stream of `data`, with `dict` as the history before it.
Bytes Deflate(const Bytes& data, int level, int strategy, const Bytes& dict = Bytes(),
              int flush = Z_FINISH) {
  z_stream z = {};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  if (!dict.empty()) deflateSetDictionary(&z, dict.data(), static_cast<uInt>(dict.size()));
  Bytes out(data.size() + data.size() / 8 + 1024);
  z.next_in = const_cast<unsigned char*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, flush);
  EXPECT_EQ(rc, flush == Z_FINISH ? Z_STREAM_END : Z_OK);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

struct Inflated {
  bool ok;
  Bytes data;
};

// Decodes into a buffer that holds `history` before the output.
Inflated Decode(const Bytes& in, size_t size, const Bytes& history = Bytes()) {
  auto inflater = std::make_unique<cab::MsZipInflater>();
  Bytes buf(history);
  buf.resize(history.size() + size, 0xEE);
  // An exact-size copy of the input, so that a read past it is caught.
  std::unique_ptr<unsigned char[]> copy(new unsigned char[in.size()]);
  if (!in.empty()) std::memcpy(copy.get(), in.data(), in.size());
  bool ok = inflater->Inflate(copy.get(), in.size(), buf.data() + history.size(), size,
                              history.size());
  return {ok, Bytes(buf.begin() + static_cast<long>(history.size()), buf.end())};
}

// Deflate bits, least significant first.
struct BitWriter {
  Bytes out;
  unsigned used = 0;
  void Put(uint32_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
      if (used % 8 == 0) out.push_back(0);
      if ((v >> i) & 1) out.back() |= static_cast<unsigned char>(1u << (used % 8));
      ++used;
    }
  }
  // A Huffman code goes most significant bit first.
  void Code(uint32_t code, unsigned n) {
    for (unsigned i = n; i-- > 0;) Put((code >> i) & 1, 1);
  }
};

// Fixed-code literal/length symbol.
void Fixed(BitWriter& w, unsigned sym) {
  if (sym < 144) w.Code(0x30 + sym, 8);
  else if (sym < 256) w.Code(0x190 + sym - 144, 9);
  else if (sym < 280) w.Code(sym - 256, 7);
  else w.Code(0xC0 + sym - 280, 8);
}

TEST(MsZipInflater, DecodesEveryKindOfBlockZlibMakes) {
  const struct { int level, strategy; } kinds[] = {
      {0, Z_DEFAULT_STRATEGY}, {1, Z_DEFAULT_STRATEGY}, {6, Z_DEFAULT_STRATEGY},
      {9, Z_DEFAULT_STRATEGY}, {6, Z_FIXED},            {6, Z_HUFFMAN_ONLY}, {6, Z_RLE}};
  const Bytes inputs[] = {Text(32768, 1), Noise(32768, 2), Bytes(32768, 'a'), Text(1, 3),
                          Text(5000, 4), Noise(300, 5)};
  for (const auto& k : kinds) {
    for (const Bytes& data : inputs) {
      Bytes z = Deflate(data, k.level, k.strategy);
      Inflated r = Decode(z, data.size());
      EXPECT_TRUE(r.ok) << k.level << "/" << k.strategy << " size " << data.size();
      EXPECT_TRUE(r.data == data) << k.level << "/" << k.strategy << " size " << data.size();
      // One byte less or more of output than the stream holds fails.
      EXPECT_FALSE(Decode(z, data.size() - 1).ok);
      EXPECT_FALSE(Decode(z, data.size() + 1).ok);
    }
  }
}

TEST(MsZipInflater, ReferencesReachIntoTheHistoryAndNoFurther) {
  Bytes before = Text(32768, 7);
  Bytes data(before.begin() + 1000, before.begin() + 21000);  // all of it seen before
  Bytes z = Deflate(data, 9, Z_DEFAULT_STRATEGY, before);
  EXPECT_LT(z.size(), 200u);
  Inflated r = Decode(z, data.size(), before);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.data == data);
  // Without the history (or with too little of it) the references fail.
  EXPECT_FALSE(Decode(z, data.size()).ok);
  EXPECT_FALSE(Decode(z, data.size(), Bytes(before.end() - 100, before.end())).ok);
}

TEST(MsZipInflater, AStreamCutAtAFlushPointEndsWithItsInput) {
  Bytes data = Text(20000, 9);
  Bytes z = Deflate(data, 6, Z_DEFAULT_STRATEGY, Bytes(), Z_SYNC_FLUSH);
  Inflated r = Decode(z, data.size());
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.data == data);
  // Cut inside the data: too little output.
  EXPECT_FALSE(Decode(Bytes(z.begin(), z.end() - 8), data.size()).ok);
}

TEST(MsZipInflater, TruncatedAndFlippedStreamsFailOrStayInBounds) {
  Bytes data = Text(32768, 11);
  Bytes z = Deflate(data, 9, Z_DEFAULT_STRATEGY);
  for (size_t n = 0; n < z.size(); ++n)
    EXPECT_FALSE(Decode(Bytes(z.begin(), z.begin() + static_cast<long>(n)), data.size()).ok) << n;
  std::mt19937 rng(12);
  for (int i = 0; i < 3000; ++i) {
    Bytes bad = z;
    bad[rng() % bad.size()] ^= static_cast<unsigned char>(1u << (rng() % 8));
    Decode(bad, data.size(), Text(100, 13));  // the sanitizers watch the bounds
  }
}

TEST(MsZipInflater, HostileBlocksFail) {
  auto fixedWith = [](std::vector<unsigned> syms, std::vector<std::pair<uint32_t, unsigned>> after = {}) {
    BitWriter w;
    w.Put(1, 1);  // final
    w.Put(1, 2);  // fixed codes
    for (unsigned s : syms) Fixed(w, s);
    for (auto& p : after) w.Put(p.first, p.second);
    return w.out;
  };
  // A valid fixed block: "ab", then end.
  Inflated ok = Decode(fixedWith({'a', 'b', 256}), 2);
  EXPECT_TRUE(ok.ok);
  EXPECT_EQ(std::string(ok.data.begin(), ok.data.end()), "ab");
  // Literal/length symbols 286 and 287 mean nothing.
  EXPECT_FALSE(Decode(fixedWith({'a', 286, 256}), 4).ok);
  EXPECT_FALSE(Decode(fixedWith({'a', 287, 256}), 4).ok);
  // Length 3 (257), distance code 30 or 31 (5 bits, most significant first).
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    Fixed(w, 'a');
    Fixed(w, 257);
    w.Code(30, 5);
    Fixed(w, 256);
    EXPECT_FALSE(Decode(w.out, 4).ok);
  }
  // A distance beyond the output written so far.
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    Fixed(w, 'a');
    Fixed(w, 257);
    w.Code(1, 5);  // distance 2
    Fixed(w, 256);
    EXPECT_FALSE(Decode(w.out, 4).ok);
    EXPECT_TRUE(Decode(w.out, 4, Bytes{'z'}).ok);  // one byte of history makes it valid
  }
  // A match longer than the room left.
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    Fixed(w, 'a');
    Fixed(w, 285);  // 258
    w.Code(0, 5);   // distance 1
    Fixed(w, 256);
    EXPECT_TRUE(Decode(w.out, 259).ok);
    EXPECT_FALSE(Decode(w.out, 258).ok);
  }
  // Stored block whose length and its complement disagree, or that runs past the input.
  EXPECT_FALSE(Decode(Bytes{0x01, 0x03, 0x00, 0xFC, 0xFE, 'a', 'b', 'c'}, 3).ok);
  EXPECT_TRUE(Decode(Bytes{0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}, 3).ok);
  EXPECT_FALSE(Decode(Bytes{0x01, 0x04, 0x00, 0xFB, 0xFF, 'a', 'b', 'c'}, 4).ok);
  // Block type 3.
  EXPECT_FALSE(Decode(Bytes{0x07, 0x00}, 1).ok);
  // Dynamic blocks: too many symbols, a repeat with nothing before it, an
  // over-subscribed code, a literal code without the end-of-block symbol.
  auto dynamic = [](unsigned hlit, unsigned hdist, std::vector<unsigned> lenLengths,
                    std::vector<std::pair<uint32_t, unsigned>> rest) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(hlit, 5);
    w.Put(hdist, 5);
    w.Put(static_cast<uint32_t>(lenLengths.size() - 4), 4);
    for (unsigned l : lenLengths) w.Put(l, 3);
    for (auto& p : rest) w.Code(p.first, p.second);
    return w.out;
  };
  EXPECT_FALSE(Decode(dynamic(30, 0, {2, 2, 2, 2}, {}), 1).ok);   // 287 literal/length codes
  EXPECT_FALSE(Decode(dynamic(0, 30, {2, 2, 2, 2}, {}), 1).ok);   // 31 distance codes
  // Code-length code: 16, 17, 18, 0 with two bits each (order 16 17 18 0).
  EXPECT_FALSE(Decode(dynamic(0, 0, {2, 2, 2, 2}, {{1, 2}, {0, 2}}), 1).ok);  // 16 first
  EXPECT_FALSE(Decode(dynamic(0, 0, {1, 1, 1, 0}, {}), 1).ok);    // over-subscribed
  // All 258 lengths zero (18 repeats 138 and 120 more), so no end-of-block code.
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(0, 5);
    w.Put(0, 5);
    w.Put(0, 4);
    for (unsigned l : {1u, 1u, 1u, 1u}) w.Put(l, 3);  // 16 17 18 0, one bit each: over-subscribed
    EXPECT_FALSE(Decode(w.out, 1).ok);
    BitWriter v;
    v.Put(1, 1);
    v.Put(2, 2);
    v.Put(0, 5);
    v.Put(0, 5);
    v.Put(0, 4);
    for (unsigned l : {0u, 0u, 1u, 1u}) v.Put(l, 3);  // 18 -> "0", 0 -> "1"
    v.Code(1, 1);
    v.Put(127, 7);  // 138 zeros
    v.Code(1, 1);
    v.Put(109, 7);  // 120 zeros: 258 in all
    EXPECT_FALSE(Decode(v.out, 1).ok);
  }
  // Empty input, and output expected from a stream that ends at once.
  EXPECT_FALSE(Decode(Bytes(), 1).ok);
  EXPECT_FALSE(Decode(fixedWith({256}), 1).ok);
}

// A block decoded into `room` bytes that lie between guard bytes in a larger
// buffer: a write past the room shows in the guard even without a sanitizer.
struct Guarded {
  bool ok;
  cab::MsZipInflater::Error error;
  bool guardIntact;
};
Guarded DecodeGuarded(const Bytes& in, size_t room) {
  constexpr size_t kGuard = 64;
  auto inflater = std::make_unique<cab::MsZipInflater>();
  Bytes buf(kGuard + room + kGuard, 0xA5);
  Bytes copy(in);
  copy.resize(in.size() + kGuard, 0);  // input past inLen reads zeros, never the guard
  const bool ok = inflater->Inflate(copy.data(), in.size(), buf.data() + kGuard, room, 0);
  bool intact = true;
  for (size_t i = 0; i < kGuard; ++i)
    intact = intact && buf[i] == 0xA5 && buf[kGuard + room + i] == 0xA5;
  return {ok, inflater->error(), intact};
}

// Code-length code with one-bit codes for 0 (code 0) and 18 (code 1) only;
// then `repeats` runs of zeros by code 18 (11 + the 7-bit count each).
Bytes ZeroRuns(unsigned hlit, unsigned hdist, std::vector<unsigned> repeats) {
  BitWriter w;
  w.Put(1, 1);
  w.Put(2, 2);
  w.Put(hlit, 5);
  w.Put(hdist, 5);
  w.Put(0, 4);                                      // four code-length lengths:
  for (unsigned l : {0u, 0u, 1u, 1u}) w.Put(l, 3);  // 16, 17, 18, 0
  for (unsigned r : repeats) {
    w.Code(1, 1);
    w.Put(r - 11, 7);
  }
  w.Put(0, 16);
  return w.out;
}

TEST(MsZipInflater, FailuresNameTheirReasonAndWriteNothingPastTheRoom) {
  using E = cab::MsZipInflater::Error;
  // A stored block one byte longer than the output room: refused as such,
  // with nothing written past the room.
  const Bytes stored4 = {0x01, 0x04, 0x00, 0xFB, 0xFF, 'a', 'b', 'c', 'd'};
  Guarded g = DecodeGuarded(stored4, 3);
  EXPECT_FALSE(g.ok);
  EXPECT_EQ(g.error, E::kStoredPastOutput);
  EXPECT_TRUE(g.guardIntact);
  g = DecodeGuarded(stored4, 4);
  EXPECT_TRUE(g.ok);
  EXPECT_EQ(g.error, E::kNone);
  // ... longer than the input left, or LEN and NLEN that disagree.
  EXPECT_EQ(DecodeGuarded(Bytes(stored4.begin(), stored4.end() - 1), 4).error,
            E::kStoredPastInput);
  EXPECT_EQ(DecodeGuarded({0x01, 0x04, 0x00, 0xFB, 0xFE, 'a', 'b', 'c', 'd'}, 4).error,
            E::kStoredLength);

  // Code-length repeats: 258 lengths are declared (257 + 1). 138 + 120
  // zeros fill them exactly (and leave no end-of-block code); 138 + 121
  // run one past the end, which is refused before anything is written.
  g = DecodeGuarded(ZeroRuns(0, 0, {138, 120}), 1);
  EXPECT_EQ(g.error, E::kNoEndCode);
  g = DecodeGuarded(ZeroRuns(0, 0, {138, 121}), 1);
  EXPECT_FALSE(g.ok);
  EXPECT_EQ(g.error, E::kRepeatPastEnd);
  // The longest declaration (286 + 30) overrun by a whole run of 138.
  EXPECT_EQ(DecodeGuarded(ZeroRuns(29, 29, {138, 138, 138}), 1).error, E::kRepeatPastEnd);

  // The other reasons, each from its smallest block.
  EXPECT_EQ(DecodeGuarded({0x07, 0x00}, 1).error, E::kBlockType);
  EXPECT_EQ(DecodeGuarded(Bytes(), 1).error, E::kWrongSize);
}

}  // namespace
