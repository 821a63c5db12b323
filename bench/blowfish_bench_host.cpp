// Deciphering speed of the package cipher: BlowfishDecryptBlocks over a 4 MB
// buffer against OpenSSL's Blowfish-ECB on the same data in the same run.
// Prints MB/s (best of several repetitions) and the ratio. Before timing, the
// two are checked to agree (OpenSSL reads halves big-endian, so the bytes of
// each half are reversed around its calls).
#include "package/blowfish.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef KL_HAVE_OPENSSL
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#endif

namespace {

constexpr size_t kBytes = 4u << 20;
constexpr int kRepetitions = 9;

template <typename Fn>
double BestMBps(Fn&& fn) {
  double best = 0;
  for (int i = 0; i < kRepetitions; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const auto t1 = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(t1 - t0).count();
    best = std::max(best, kBytes / s / 1e6);
  }
  return best;
}

void SwapHalves(unsigned char* data, size_t size) {
  for (size_t i = 0; i + 4 <= size; i += 4) {
    std::swap(data[i], data[i + 3]);
    std::swap(data[i + 1], data[i + 2]);
  }
}

}  // namespace

int main() {
  std::vector<unsigned char> data(kBytes);
  uint32_t x = 12345;
  for (auto& b : data) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);

  BlowfishContext ctx;
  BlowfishSetKey(&ctx, kPackageKeyLength);
  volatile unsigned char sink = 0;

  const double ours = BestMBps([&] {
    BlowfishDecryptBlocks(&ctx, data.data(), kBytes / 8);
    sink = sink ^ data[kBytes / 2];
  });
  std::printf("BlowfishDecryptBlocks      %8.1f MB/s\n", ours);

#ifdef KL_HAVE_OPENSSL
  BF_KEY key;
  BF_set_key(&key, static_cast<int>(kPackageKeyLength), kPackageKey);

  // Agreement: ours enciphers, OpenSSL deciphers (in its byte order).
  std::vector<unsigned char> plain(data.begin(), data.begin() + 4096);
  std::vector<unsigned char> check = plain;
  BlowfishEncryptBlocks(&ctx, check.data(), check.size() / 8);
  SwapHalves(check.data(), check.size());
  for (size_t i = 0; i < check.size(); i += 8) BF_ecb_encrypt(&check[i], &check[i], &key, BF_DECRYPT);
  SwapHalves(check.data(), check.size());
  if (check != plain) {
    std::printf("MISMATCH between BlowfishEncryptBlocks and OpenSSL BF_ecb_encrypt\n");
    return 1;
  }
  std::printf("agreement with OpenSSL     ok (4096 bytes)\n");

  const double ssl = BestMBps([&] {
    unsigned char* p = data.data();
    for (size_t i = 0; i < kBytes; i += 8) BF_ecb_encrypt(p + i, p + i, &key, BF_DECRYPT);
    sink = sink ^ data[kBytes / 2];
  });
  std::printf("OpenSSL BF_ecb_encrypt     %8.1f MB/s\n", ssl);
  std::printf("ratio (ours / OpenSSL)     %8.2f\n", ours / ssl);
#else
  std::printf("OpenSSL not available: no comparison\n");
#endif
  return 0;
}
