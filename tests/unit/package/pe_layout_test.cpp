// PE header access on byte buffers: synthetic PE32 and PE32+ headers, the
// test program's own image, and malformed or truncated headers (every read
// must stay inside the buffer; the host build runs this under ASan).
#include "package/pe_layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

void Put16(std::vector<unsigned char>& b, size_t at, uint16_t v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}

void Put32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t Get32(const std::vector<unsigned char>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A DOS header, "PE\0\0", a file header and a whole optional header
// (224 bytes for PE32, 240 for PE32+), padded to `total` bytes.
std::vector<unsigned char> MakePe(uint16_t magic, uint32_t lfanew = 0x100, size_t total = 0x400) {
  std::vector<unsigned char> b(total, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 60, lfanew);
  std::memcpy(&b[lfanew], "PE\0\0", 4);
  Put16(b, lfanew + 4, magic == kPeMagic64 ? 0x8664 : 0x14c);          // machine
  Put16(b, lfanew + 4 + 16, magic == kPeMagic64 ? 240 : 224);          // optional header size
  Put16(b, lfanew + 24, magic);
  // Neighbours of LoaderFlags get values, so an off-by-four would show.
  const size_t flags = lfanew + (magic == kPeMagic64 ? kLoaderFlagsPe64 : kLoaderFlagsPe32);
  Put32(b, flags - 4, 0x11111111);
  Put32(b, flags + 4, 16);  // NumberOfRvaAndSizes
  return b;
}

// An exact-size heap copy, so that any read past `size` is caught by ASan.
std::unique_ptr<unsigned char[]> Exact(const std::vector<unsigned char>& b, size_t size) {
  std::unique_ptr<unsigned char[]> p(new unsigned char[size ? size : 1]);
  if (size) std::memcpy(p.get(), b.data(), size);
  return p;
}

}  // namespace

TEST(PeLayout, Pe32LoaderFlagsAt112) {
  std::vector<unsigned char> pe = MakePe(kPeMagic32);
  Put32(pe, 0x100 + 112, 0x300);
  PeLayout layout;
  ASSERT_TRUE(ReadPeLayout(pe.data(), pe.size(), &layout));
  EXPECT_EQ(0x100u, layout.lfanew);
  EXPECT_EQ(kPeMagic32, layout.magic);
  EXPECT_EQ(0x100u + 112, layout.loaderFlagsOffset);
  EXPECT_EQ(0x300u, layout.loaderFlags);
  EXPECT_EQ(0x300u, ReadPackageOffset(pe.data(), pe.size()));
}

TEST(PeLayout, Pe32PlusLoaderFlagsAt128) {
  std::vector<unsigned char> pe = MakePe(kPeMagic64, 0x80);
  Put32(pe, 0x80 + 128, 0x3F0);
  PeLayout layout;
  ASSERT_TRUE(ReadPeLayout(pe.data(), pe.size(), &layout));
  EXPECT_EQ(0x80u, layout.lfanew);
  EXPECT_EQ(kPeMagic64, layout.magic);
  EXPECT_EQ(0x80u + 128, layout.loaderFlagsOffset);
  EXPECT_EQ(0x3F0u, ReadPackageOffset(pe.data(), pe.size()));
}

TEST(PeLayout, PackageOffsetZeroOrBeyondTheFileMeansNoPackage) {
  std::vector<unsigned char> pe = MakePe(kPeMagic32);
  EXPECT_EQ(0u, ReadPackageOffset(pe.data(), pe.size()));  // LoaderFlags 0
  Put32(pe, 0x100 + 112, static_cast<uint32_t>(pe.size()) + 1);
  EXPECT_EQ(0u, ReadPackageOffset(pe.data(), pe.size()));
  Put32(pe, 0x100 + 112, 0xFFFFFFFF);
  EXPECT_EQ(0u, ReadPackageOffset(pe.data(), pe.size()));
  Put32(pe, 0x100 + 112, static_cast<uint32_t>(pe.size()));  // an empty package still locates
  EXPECT_EQ(pe.size(), ReadPackageOffset(pe.data(), pe.size()));
}

TEST(PeLayout, WriteThenReadBack) {
  for (uint16_t magic : {kPeMagic32, kPeMagic64}) {
    SCOPED_TRACE(magic);
    std::vector<unsigned char> pe = MakePe(magic);
    const std::vector<unsigned char> before = pe;
    ASSERT_TRUE(WritePackageOffset(pe.data(), pe.size(), 0x200));
    EXPECT_EQ(0x200u, ReadPackageOffset(pe.data(), pe.size()));
    const size_t at = 0x100 + (magic == kPeMagic64 ? 128 : 112);
    EXPECT_EQ(0x200u, Get32(pe, at));
    // Nothing but the four LoaderFlags bytes changed.
    for (size_t i = 0; i < pe.size(); ++i) {
      if (i < at || i >= at + 4) {
        ASSERT_EQ(before[i], pe[i]) << i;
      }
    }
  }
}

TEST(PeLayout, NotAPeIsRefusedAndNotWritten) {
  std::vector<unsigned char> pe = MakePe(kPeMagic32);
  PeLayout layout;

  std::vector<unsigned char> bad = pe;
  bad[0] = 'Z';  // no "MZ"
  EXPECT_FALSE(ReadPeLayout(bad.data(), bad.size(), &layout));
  bad = pe;
  bad[0x101] = 'X';  // no "PE\0\0"
  EXPECT_FALSE(ReadPeLayout(bad.data(), bad.size(), &layout));
  bad = pe;
  bad[0x103] = 1;
  EXPECT_FALSE(ReadPeLayout(bad.data(), bad.size(), &layout));
  bad = pe;
  Put16(bad, 0x100 + 24, 0x107);  // ROM image magic
  EXPECT_FALSE(ReadPeLayout(bad.data(), bad.size(), &layout));
  const std::vector<unsigned char> before = bad;
  EXPECT_FALSE(WritePackageOffset(bad.data(), bad.size(), 0x200));
  EXPECT_EQ(before, bad);
  EXPECT_EQ(0u, ReadPackageOffset(bad.data(), bad.size()));

  EXPECT_FALSE(ReadPeLayout(nullptr, 0, &layout));
  EXPECT_FALSE(ReadPeLayout(pe.data(), pe.size(), nullptr));
}

TEST(PeLayout, HugeOrWrappingLfanewIsRefused) {
  const std::vector<unsigned char> pe = MakePe(kPeMagic32);
  for (uint32_t lfanew : {0x400u, 0x3FFu, 0x3E0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u,
                          0xFFFFFFFCu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(lfanew);
    std::vector<unsigned char> bad = pe;
    Put32(bad, 60, lfanew);
    auto exact = Exact(bad, bad.size());
    PeLayout layout;
    EXPECT_FALSE(ReadPeLayout(exact.get(), bad.size(), &layout));
    EXPECT_EQ(0u, ReadPackageOffset(exact.get(), bad.size()));
    EXPECT_FALSE(WritePackageOffset(exact.get(), bad.size(), 1));
  }
}

TEST(PeLayout, EveryTruncationIsRefusedWithoutReadingPastTheEnd) {
  for (uint16_t magic : {kPeMagic32, kPeMagic64}) {
    SCOPED_TRACE(magic);
    const std::vector<unsigned char> pe = MakePe(magic);
    const size_t needed = 0x100 + (magic == kPeMagic64 ? 128u : 112u) + 4;
    for (size_t size = 0; size <= needed; ++size) {
      auto exact = Exact(pe, size);
      PeLayout layout;
      EXPECT_EQ(size == needed, ReadPeLayout(exact.get(), size, &layout)) << size;
      EXPECT_EQ(size == needed, WritePackageOffset(exact.get(), size, 0)) << size;
    }
  }
}

// The running test program itself: a real PE from the toolchain on Windows,
// an ELF file (not a PE) on the host.
TEST(PeLayout, OwnExecutable) {
#ifdef _WIN32
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  FILE* f = _wfopen(path, L"rb");
#else
  FILE* f = std::fopen("/proc/self/exe", "rb");
#endif
  ASSERT_NE(nullptr, f);
  std::vector<unsigned char> image;
  unsigned char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) image.insert(image.end(), chunk, chunk + n);
  std::fclose(f);
  ASSERT_GT(image.size(), 1024u);

  PeLayout layout;
#ifdef _WIN32
  ASSERT_TRUE(ReadPeLayout(image.data(), image.size(), &layout));
  EXPECT_EQ(Get32(image, 60), layout.lfanew);
  EXPECT_EQ(sizeof(void*) == 8 ? kPeMagic64 : kPeMagic32, layout.magic);
  EXPECT_EQ(0u, layout.loaderFlags);  // a linker never sets it
  EXPECT_EQ(0u, ReadPackageOffset(image.data(), image.size()));
  // The field just past LoaderFlags is NumberOfRvaAndSizes, 16 in every image.
  EXPECT_EQ(16u, Get32(image, layout.loaderFlagsOffset + 4));
  ASSERT_TRUE(WritePackageOffset(image.data(), image.size(), static_cast<uint32_t>(image.size())));
  EXPECT_EQ(image.size(), ReadPackageOffset(image.data(), image.size()));
#else
  EXPECT_FALSE(ReadPeLayout(image.data(), image.size(), &layout));
  EXPECT_EQ(0u, ReadPackageOffset(image.data(), image.size()));
#endif
}

TEST(PeLayout, SignedSetupsPackageEndsWhereTheCertificateTableStarts) {
  for (uint16_t magic : {kPeMagic32, kPeMagic64}) {
    std::vector<unsigned char> pe = MakePe(magic, 0x100, 0x1000);
    const size_t flags = 0x100 + (magic == kPeMagic64 ? kLoaderFlagsPe64 : kLoaderFlagsPe32);
    const size_t security = flags + 8 + 4 * 8;
    Put32(pe, flags, 0x600);  // E
    PackageExtent x = {};
    ASSERT_TRUE(ReadPackageExtent(pe.data(), pe.size(), &x));
    EXPECT_FALSE(x.isSigned);
    EXPECT_EQ(x.offset, 0x600u);
    EXPECT_EQ(x.size, 0xA00u);

    Put32(pe, security, 0xF00);  // the table: 0xF00..0x1000
    Put32(pe, security + 4, 0x100);
    ASSERT_TRUE(ReadPackageExtent(pe.data(), pe.size(), &x));
    EXPECT_TRUE(x.isSigned);
    EXPECT_EQ(x.size, 0x900u);
    EXPECT_EQ(x.certificateSize, 0x100u);

    // A signer's zero padding up to the 8-aligned table is not the
    // package's; non-zero bytes there are.
    Put32(pe, flags, 0x5FD);
    ASSERT_TRUE(ReadPackageExtent(pe.data(), pe.size(), &x));
    EXPECT_EQ(x.size, 0x900u);
    pe[0xEFF] = 1;
    ASSERT_TRUE(ReadPackageExtent(pe.data(), pe.size(), &x));
    EXPECT_EQ(x.size, 0x903u);
    pe[0xEFF] = 0;
    Put32(pe, flags, 0x600);

    // Damaged: inside the executable part, at E (no package), empty, past
    // the end, or wrapping.
    for (auto [at, n] : std::vector<std::pair<uint32_t, uint32_t>>{
             {0x500, 0x100}, {0x600, 0x100}, {0xF00, 0}, {0xF00, 0x101}, {0xFFFFFF00u, 0x200}}) {
      Put32(pe, security, at);
      Put32(pe, security + 4, n);
      EXPECT_FALSE(ReadPackageExtent(pe.data(), pe.size(), &x)) << std::hex << at << " " << n;
    }

    // The bare program loses the directory; fewer than five directories
    // means there is none to read or clear.
    EXPECT_TRUE(ClearCertificateDirectory(pe.data(), pe.size()));
    EXPECT_EQ(Get32(pe, security), 0u);
    EXPECT_EQ(Get32(pe, security + 4), 0u);
    Put32(pe, security, 0x500);
    Put32(pe, flags + 4, 4);
    ASSERT_TRUE(ReadPackageExtent(pe.data(), pe.size(), &x));
    EXPECT_FALSE(x.isSigned);
    EXPECT_FALSE(ClearCertificateDirectory(pe.data(), pe.size()));
  }
}
