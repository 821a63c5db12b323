// The packager reads cabinets through the product's own engine; libmspack,
// an independent reader, must agree on every cabinet the engine accepts, and
// the engine alone refuses what the setup refuses (overlapping file ranges,
// versions other than 1.3, lengths outside the file).
#ifndef _WIN32
#include <mspack.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "klpack.h"
#include "package/cab_writer.h"

namespace {

using Bytes = std::vector<unsigned char>;

// libmspack over a cabinet in memory; output files collected in memory.
struct MemSys {
  mspack_system base;
  const Bytes* in;
  Bytes out;
};
struct MemFile {
  MemSys* sys;
  bool input;
  size_t pos;
};
MemSys* Sys(mspack_system* s) { return reinterpret_cast<MemSys*>(s); }
MemFile* F(mspack_file* f) { return reinterpret_cast<MemFile*>(f); }

mspack_file* Open(mspack_system* s, const char* name, int mode) {
  return reinterpret_cast<mspack_file*>(
      new MemFile{Sys(s), std::strcmp(name, "in") == 0 && mode == MSPACK_SYS_OPEN_READ, 0});
}
void Close(mspack_file* f) { delete F(f); }
int Read(mspack_file* f, void* b, int n) {
  MemFile* m = F(f);
  if (!m->input) return -1;
  size_t k = std::min<size_t>(static_cast<size_t>(n), m->sys->in->size() - std::min(m->pos, m->sys->in->size()));
  std::memcpy(b, m->sys->in->data() + m->pos, k);
  m->pos += k;
  return static_cast<int>(k);
}
int Write(mspack_file* f, void* b, int n) {
  const auto* p = static_cast<const unsigned char*>(b);
  F(f)->sys->out.insert(F(f)->sys->out.end(), p, p + n);
  return n;
}
int Seek(mspack_file* f, off_t off, int mode) {
  MemFile* m = F(f);
  off_t base = mode == MSPACK_SYS_SEEK_START ? 0
               : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(m->pos)
                                             : static_cast<off_t>(m->sys->in->size());
  if (base + off < 0 || base + off > static_cast<off_t>(m->sys->in->size())) return -1;
  m->pos = static_cast<size_t>(base + off);
  return 0;
}
off_t Tell(mspack_file* f) { return static_cast<off_t>(F(f)->pos); }
void Message(mspack_file*, const char*, ...) {}
void* Alloc(mspack_system*, size_t n) { return std::malloc(n); }
void Free(void* p) { std::free(p); }
void Copy(void* s, void* d, size_t n) { std::memmove(d, s, n); }

// Names (as stored) and bytes of every file, or false when libmspack refuses.
bool MspackRead(const Bytes& cab, std::vector<std::pair<std::string, Bytes>>* files) {
  MemSys sys{{Open, Close, Read, Write, Seek, Tell, Message, Alloc, Free, Copy, nullptr}, &cab, {}};
  mscab_decompressor* d = mspack_create_cab_decompressor(&sys.base);
  if (!d) return false;
  bool ok = false;
  if (mscabd_cabinet* c = d->open(d, "in")) {
    ok = true;
    for (mscabd_file* f = c->files; f && ok; f = f->next) {
      sys.out.clear();
      ok = d->extract(d, f, "out") == MSPACK_ERR_OK;
      files->push_back({f->filename, sys.out});
    }
    d->close(d, c);
  }
  mspack_destroy_cab_decompressor(d);
  return ok;
}

bool EngineRead(const Bytes& cab, std::vector<std::pair<std::string, Bytes>>* files) {
  klpack::CabSource src;
  src.memory = &cab;
  klpack::CabListing l;
  std::vector<klpack::MemoryFile> out;
  if (!klpack::ExtractCabinetToMemory(src, &l, &out).ok()) return false;
  for (auto& f : out) files->push_back({f.info.name, f.data});
  return true;
}

Bytes Noise(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(g() % 7);  // compressible, not trivial
  return b;
}

TEST(MspackCrossCheck, BothReadersAgreeOnGoodCabinets) {
  for (auto c : {cab::Compression::MsZip, cab::Compression::Stored}) {
    Bytes bytes = cab::BuildCabinet({{"InstallInfo.kif", Noise(2668, 1)},
                                     {"a\\b.bin", Noise(200000, 2)},
                                     {"empty", {}},
                                     {"z.txt", Noise(5, 3)}},
                                    c, 9);
    std::vector<std::pair<std::string, Bytes>> a, b;
    ASSERT_TRUE(EngineRead(bytes, &a));
    ASSERT_TRUE(MspackRead(bytes, &b));
    EXPECT_EQ(a, b);
  }
}

TEST(MspackCrossCheck, TheEngineRefusesWhatTheSetupRefuses) {
  Bytes good = cab::BuildCabinet({{"a.txt", Noise(3000, 4)}, {"b.txt", Noise(3000, 5)}},
                                 cab::Compression::Stored);
  auto put32 = [](Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  const uint32_t coffFiles = good[16] | good[17] << 8;
  std::vector<std::pair<std::string, Bytes>> cases;
  Bytes c = good;
  put32(c, coffFiles + 16 + 6 + 4, 1000);  // b.txt starts inside a.txt
  cases.push_back({"overlap", c});
  c = good;
  c[24] = 0;
  c[25] = 0;
  cases.push_back({"version 0.0", c});
  c = good;
  put32(c, 8, 0xFFFFFFFF);
  cases.push_back({"length past the file", c});
  c = good;
  put32(c, 8, 0);
  cases.push_back({"length 0", c});
  for (auto& [what, bytes] : cases) {
    std::vector<std::pair<std::string, Bytes>> files;
    EXPECT_FALSE(EngineRead(bytes, &files)) << what;
  }
  // libmspack reads the overlapping one: the reason it is only a cross-check.
  std::vector<std::pair<std::string, Bytes>> files;
  EXPECT_TRUE(MspackRead(cases[0].second, &files));
}

}  // namespace
#endif  // !_WIN32
