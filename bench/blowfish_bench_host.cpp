// Deciphering speed of the package cipher: BlowfishDecryptBlocks over a 4 MB
// buffer against one BlowfishDecryptBlock call per block and OpenSSL's
// Blowfish-ECB on the same data in the same run. The contenders take turns
// within each repetition, so a busy machine slows them alike; prints MB/s as
// best and median of the repetitions, and the ratios. Before timing, ours and
// OpenSSL are checked to agree (OpenSSL reads halves big-endian, so the bytes
// of each half are reversed around its calls).
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
constexpr int kRepetitions = 15;

struct Rate {
  const char* name;
  std::vector<double> mbps;
  double Best() const { return *std::max_element(mbps.begin(), mbps.end()); }
  double Median() const {
    std::vector<double> v = mbps;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
};

template <typename Fn>
void Time(Rate& rate, Fn&& fn) {
  const auto t0 = std::chrono::steady_clock::now();
  fn();
  const auto t1 = std::chrono::steady_clock::now();
  rate.mbps.push_back(kBytes / std::chrono::duration<double>(t1 - t0).count() / 1e6);
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

  Rate bulk{"BlowfishDecryptBlocks", {}};
  Rate single{"BlowfishDecryptBlock loop", {}};
  std::vector<Rate*> rates = {&bulk, &single};

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
  Rate ssl{"OpenSSL BF_ecb_encrypt", {}};
  rates.push_back(&ssl);
#endif

  for (int i = 0; i < kRepetitions; ++i) {
    Time(bulk, [&] {
      BlowfishDecryptBlocks(&ctx, data.data(), kBytes / 8);
      sink = sink ^ data[kBytes / 2];
    });
    Time(single, [&] {
      unsigned char* p = data.data();
      for (size_t j = 0; j < kBytes; j += 8) BlowfishDecryptBlock(&ctx, p + j);
      sink = sink ^ data[kBytes / 2];
    });
#ifdef KL_HAVE_OPENSSL
    Time(ssl, [&] {
      unsigned char* p = data.data();
      for (size_t j = 0; j < kBytes; j += 8) BF_ecb_encrypt(p + j, p + j, &key, BF_DECRYPT);
      sink = sink ^ data[kBytes / 2];
    });
#endif
  }

  for (const Rate* r : rates)
    std::printf("%-26s %8.1f MB/s best, %8.1f MB/s median (%d runs)\n", r->name, r->Best(),
                r->Median(), kRepetitions);
  std::printf("ratio bulk / single blocks %8.2f best, %8.2f median\n", bulk.Best() / single.Best(),
              bulk.Median() / single.Median());
#ifdef KL_HAVE_OPENSSL
  std::printf("ratio bulk / OpenSSL       %8.2f best, %8.2f median\n", bulk.Best() / ssl.Best(),
              bulk.Median() / ssl.Median());
#else
  std::printf("OpenSSL not available: no comparison\n");
#endif
  return 0;
}
