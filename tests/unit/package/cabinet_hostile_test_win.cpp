// Cabinet::CExtract under Wine against cabinets that never end or fill the
// disk: a set whose next cabinet is one already opened, package cabinets of
// a set, and output larger than the target volume's free space.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "package/cab_writer.h"
#include "package/cabinet_win.h"
#include "package/cryp_layer.h"
#include "testfs_win.h"

namespace {

using Bytes = std::vector<unsigned char>;

uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Our writer's cabinet made the first of a set whose next cabinet is `next`.
Bytes WithNext(Bytes c, const std::string& next) {
  std::string names = next + '\0' + "d" + '\0';
  c.insert(c.begin() + 36, names.begin(), names.end());
  const uint32_t k = static_cast<uint32_t>(names.size());
  c[30] |= 0x02;
  Put32(c, 8, Get32(c, 8) + k);
  Put32(c, 16, Get32(c, 16) + k);
  Put32(c, 36 + k, Get32(c, 36 + k) + k);  // the one folder's first block
  return c;
}

// An extractor that reports a volume with little free space.
class SmallVolume : public Cabinet::CExtract {
 public:
  bool FreeBytes(const wchar_t*, uint64_t* bytes) override {
    *bytes = free;
    return true;
  }
  uint64_t free = 0;
};

class CabinetHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testfs::TempFolder() + testfs::Unique(L"kl_cabh_") + L"\\";
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
    dest_ = root_ + L"out\\";
  }
  void TearDown() override {
    testfs::RemoveTree(root_);
    Cabinet::CExtract().ReleaseThreadSlot();
  }
  std::wstring Put(const wchar_t* name, const Bytes& data) {
    EXPECT_TRUE(testfs::WriteAll(root_ + name, data));
    return root_ + name;
  }
  int Run(Cabinet::CExtract& x, const std::wstring& cab, bool keyed) {
    if (keyed) {
      x.SetPackageKey();
      x.CreateWorkBuffer();
    }
    EXPECT_EQ(x.Initialize(), 1);
    int r = x.Extract(cab.c_str(), dest_.c_str());
    x.Destroy();
    x.ReleaseThreadSlot();
    return r;
  }
  std::wstring root_, dest_;
};

TEST_F(CabinetHostile, NextCabinetOpenedBeforeEndsTheExtraction) {
  Bytes c = cab::BuildCabinet({{"a.txt", Bytes(3000, 'a')}}, cab::Compression::Stored);
  // Plain (update) cabinets of a set go to the system library: a chain back
  // to a cabinet already opened, directly or through another, ends.
  std::wstring self = Put(L"self.cab", WithNext(c, "SELF.CAB"));
  Put(L"one.cab", WithNext(c, "two.cab"));
  Put(L"two.cab", WithNext(c, "one.cab"));
  for (const std::wstring& cab : {self, root_ + L"one.cab"}) {
    const auto start = std::chrono::steady_clock::now();
    Cabinet::CExtract x;
    EXPECT_EQ(Run(x, cab, false), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const int code = x.LastError().code;
    EXPECT_EQ(code, Cabinet::kErrorCabinetLoop);
  }
  // A package (keyed) is one cabinet: a set is refused before anything is written.
  testfs::RemoveTree(dest_);
  Bytes keyedCab = WithNext(c, "klinstallbaseexe.cab");
  BlowfishContext ctx;
  BlowfishSetKey(&ctx, kPackageKeyLength);
  EncipherContainer(&ctx, keyedCab);
  std::wstring pkg = Put(L"klinstallbaseexe.cab", keyedCab);
  Cabinet::CExtract x;
  EXPECT_EQ(Run(x, pkg, true), 0);
  EXPECT_EQ(x.LastError().code, Cabinet::kErrorNotSingleCabinet);
  EXPECT_FALSE(testfs::Exists(dest_ + L"a.txt"));
}

TEST_F(CabinetHostile, OutputLargerThanTheFreeSpaceIsRefusedBeforeWriting) {
  Bytes c = cab::BuildCabinet({{"a.txt", Bytes(3000, 'a')}, {"sub\\b.txt", Bytes(2000, 'b')}});
  std::wstring cab = Put(L"u.cab", c);
  SmallVolume x;
  x.free = 4999;
  EXPECT_EQ(Run(x, cab, false), 0);
  EXPECT_EQ(x.LastError().code, Cabinet::kErrorDiskSpace);
  EXPECT_EQ(x.SpaceNeeded(), 5000u);
  EXPECT_EQ(x.SpaceFree(), 4999u);
  EXPECT_FALSE(testfs::Exists(dest_)) << "nothing may be written";
  // Exactly enough is enough; the real volume has room for a few kilobytes.
  SmallVolume y;
  y.free = 5000;
  EXPECT_EQ(Run(y, cab, false), 1);
  EXPECT_TRUE(testfs::Exists(dest_ + L"sub\\b.txt"));
  Cabinet::CExtract z;
  uint64_t real = 0;
  EXPECT_TRUE(z.FreeBytes((root_ + L"not\\yet\\made\\").c_str(), &real));
  EXPECT_GT(real, 5000u);
}

}  // namespace
