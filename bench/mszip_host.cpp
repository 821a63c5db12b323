// MSZIP decoding in memory: the setup's own inflater against zlib's inflate
// on the same blocks (32 KiB each, every one referring back into the blocks
// before it, as the cabinet format allows), best of N passes each.
//   bench_mszip_host [MB] [passes]
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "package/mszip_inflate.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// Text-like data with some incompressible stretches, like a product's files.
Bytes Product(size_t n) {
  static const char* kWords[] = {"input ", "method ", "setup ", "kelo ", "table ",  "skin ",
                                 "driver ", "config ", "\n",    "0123 ", "\xE8\xBE\x93 "};
  std::mt19937 rng(1);
  Bytes b;
  b.reserve(n);
  while (b.size() < n) {
    if (rng() % 1000 == 0) {
      for (int i = 0; i < 2000; ++i) b.push_back(static_cast<unsigned char>(rng()));
    } else {
      const char* w = kWords[rng() % 11];
      b.insert(b.end(), w, w + std::strlen(w));
    }
  }
  b.resize(n);
  return b;
}

struct Block {
  Bytes z;
  size_t size;
};

std::vector<Block> Compress(const Bytes& data) {
  std::vector<Block> out;
  z_stream z = {};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  for (size_t at = 0; at < data.size(); at += 32768) {
    const size_t n = std::min<size_t>(32768, data.size() - at);
    deflateReset(&z);
    if (at) deflateSetDictionary(&z, data.data() + at - 32768, 32768);
    Bytes buf(n + 1024);
    z.next_in = const_cast<unsigned char*>(data.data() + at);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = buf.data();
    z.avail_out = static_cast<uInt>(buf.size());
    deflate(&z, Z_FINISH);
    buf.resize(buf.size() - z.avail_out);
    out.push_back({buf, n});
  }
  deflateEnd(&z);
  return out;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const int passes = argc > 2 ? std::atoi(argv[2]) : 7;
  const Bytes data = Product(mb << 20);
  const std::vector<Block> blocks = Compress(data);
  size_t packed = 0;
  for (const Block& b : blocks) packed += b.z.size();
  Bytes out(data.size());

  double bestOurs = 1e9, bestZlib = 1e9;
  auto inflater = std::make_unique<cab::MsZipInflater>();
  for (int p = 0; p < passes; ++p) {
    // Ours: straight into the output, the earlier blocks as the history.
    auto t0 = Clock::now();
    size_t at = 0;
    for (const Block& b : blocks) {
      if (!inflater->Inflate(b.z.data(), b.z.size(), out.data() + at, b.size, at)) {
        std::printf("ours: block at %zu failed\n", at);
        return 1;
      }
      at += b.size;
    }
    auto t1 = Clock::now();
    if (out != data) {
      std::printf("ours: wrong output\n");
      return 1;
    }
    bestOurs = std::min(bestOurs, Seconds(t0, t1));

    // zlib: one stream whose window carries from block to block.
    std::memset(out.data(), 0, out.size());
    z_stream z = {};
    inflateInit2(&z, -15);
    t0 = Clock::now();
    at = 0;
    for (const Block& b : blocks) {
      if (at) inflateResetKeep(&z);
      z.next_in = const_cast<unsigned char*>(b.z.data());
      z.avail_in = static_cast<uInt>(b.z.size());
      z.next_out = out.data() + at;
      z.avail_out = static_cast<uInt>(b.size);
      if (inflate(&z, Z_NO_FLUSH) != Z_STREAM_END) {
        std::printf("zlib: block at %zu failed\n", at);
        return 1;
      }
      at += b.size;
    }
    t1 = Clock::now();
    inflateEnd(&z);
    if (out != data) {
      std::printf("zlib: wrong output\n");
      return 1;
    }
    bestZlib = std::min(bestZlib, Seconds(t0, t1));
  }
  const double size = data.size() / 1048576.0;
  std::printf("MSZIP in memory: %.1f MB out of %.1f MB in %zu blocks, best of %d\n", size,
              packed / 1048576.0, blocks.size(), passes);
  std::printf("ours: %.1f ms = %.0f MB/s\n", bestOurs * 1e3, size / bestOurs);
  std::printf("zlib: %.1f ms = %.0f MB/s\n", bestZlib * 1e3, size / bestZlib);
  std::printf("ratio ours/zlib throughput: %.2f\n", bestZlib / bestOurs);
  return 0;
}
