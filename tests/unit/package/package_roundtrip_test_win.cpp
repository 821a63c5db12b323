// The package's whole way in one process: a setup executable is made from a
// copy of the program with an enciphered cabinet appended, then split,
// extracted and found again exactly as start-up does it in install mode.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/package_prep_win.h"
#include "base/text.h"
#include "package/blowfish.h"
#include "package/cab_writer.h"
#include "package/cryp_layer.h"
#include "package/pe_layout.h"
#include "state/records.h"
#include "testfs_win.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testfs::Exists;
using testfs::ReadAll;
using testfs::RemoveTree;
using testfs::WriteAll;

// Every file under dir, by relative path.
void Collect(const std::wstring& dir, const std::wstring& rel, std::map<std::wstring, Bytes>* out) {
  WIN32_FIND_DATAW fd;
  HANDLE f = ::FindFirstFileW((dir + rel + L"*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring n = fd.cFileName;
    if (n == L"." || n == L"..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      Collect(dir, rel + n + L"\\", out);
    } else {
      Bytes b;
      ReadAll(dir + rel + n, &b);
      (*out)[rel + n] = b;
    }
  } while (::FindNextFileW(f, &fd));
  ::FindClose(f);
}

std::vector<std::wstring> List(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE f = ::FindFirstFileW((dir + L"*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring n = fd.cFileName;
    if (n != L"." && n != L"..") names.push_back(n);
  } while (::FindNextFileW(f, &fd));
  ::FindClose(f);
  std::sort(names.begin(), names.end());
  return names;
}

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n);
  uint32_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<unsigned char>(i % 3 ? (x >> 16) : 'k');
  }
  return b;
}

// The fixture product: InstallInfo.kif first, then a file in a subfolder and
// one with a name outside the ANSI code page.
std::vector<cab::Entry> Fixture() {
  std::vector<cab::Entry> e(4);
  e[0].name = "InstallInfo.kif";
  e[0].data = Pattern(kPackageHeaderSize, 11);
  std::memcpy(e[0].data.data(), u"RoundTrip", 18);
  e[1].name = "$system32$\\rt_helper.dll";
  e[1].data = Pattern(70000, 12);
  e[2].name = "skins\\default\\\xE7\x9A\xAE\xE8\x82\xA4.png";  // 皮肤.png
  e[2].data = Pattern(5000, 13);
  e[3].name = "readme.txt";
  e[3].data = Bytes(400, 'r');
  return e;
}

class PackageRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testfs::TempFolder() + testfs::Unique(L"kl_rt_") + L"\\";
    RemoveTree(root_);
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
    work_ = root_ + L"work\\";
    ASSERT_TRUE(::CreateDirectoryW(work_.c_str(), nullptr));

    // The program to carry the package: setup.exe beside this test program.
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    dir.resize(dir.rfind(L'\\') + 1);
    if (!ReadAll(dir + L"setup.exe", &stub_)) ReadAll(self, &stub_);  // any PE will do
    ASSERT_GT(stub_.size(), 1024u);
    ASSERT_EQ(ReadPackageOffset(stub_.data(), stub_.size()), 0u);

    saved_ = g_launch;
    std::memset(&launch_, 0, sizeof launch_);
    g_launch = &launch_;
  }
  void TearDown() override {
    g_launch = saved_;
    RemoveTree(root_);
  }

  // stub + package, with E written into LoaderFlags.
  std::wstring MakeSetup(const Bytes& package, uint32_t e) {
    Bytes exe = stub_;
    exe.insert(exe.end(), package.begin(), package.end());
    EXPECT_TRUE(WritePackageOffset(exe.data(), exe.size(), e));
    std::wstring path = root_ + L"KeloSetup.exe";
    EXPECT_TRUE(WriteAll(path, exe));
    kl::Copy(launch_.modulePath, path.c_str());
    kl::Copy(launch_.workFolder, work_.c_str());
    return path;
  }

  static Bytes Container(const std::vector<cab::Entry>& entries, const BlowfishContext* key) {
    Bytes cabinet = cab::BuildCabinet(entries);
    EncipherContainer(key, cabinet);
    return cabinet;
  }

  // The work folder's contents beside the extraction folder must be just
  // what the split made; nothing may appear beside the work folder.
  void ExpectNothingOutsideWork() {
    std::vector<std::wstring> top = List(root_);
    EXPECT_EQ(top, (std::vector<std::wstring>{L"KeloSetup.exe", L"work"}));
    for (const std::wstring& n : List(work_))
      EXPECT_TRUE(n == L"unstall.exe" || n == L"klinstallbaseexe.cab" || n == L"KL_INSTALL")
          << kl::ToUtf8(n);
  }

  std::wstring root_, work_;
  Bytes stub_;
  LaunchInfo launch_;
  LaunchInfo* saved_ = nullptr;
};

TEST_F(PackageRoundTrip, SplitExtractAndFindGiveTheTreeBack) {
  BlowfishContext key;
  BlowfishSetKey(&key, kPackageKeyLength);
  auto entries = Fixture();
  Bytes package = Container(entries, &key);
  MakeSetup(package, static_cast<uint32_t>(stub_.size()));

  ASSERT_TRUE(PrepareInstallPackage());
  EXPECT_FALSE(Exists(work_ + L"klinstallbaseexe.tmp"));
  Bytes program, split;
  ASSERT_TRUE(ReadAll(launch_.programCopyPath, &program));
  ASSERT_TRUE(ReadAll(launch_.packagePath, &split));
  EXPECT_EQ(program.size(), stub_.size());
  EXPECT_TRUE(split == package);

  ASSERT_TRUE(ExtractPackage(launch_));
  EXPECT_EQ(std::wstring(launch_.extractFolder), work_ + L"KL_INSTALL\\");
  wchar_t kif[kPathChars];
  ASSERT_TRUE(FindPackageHeaderFile(kif));
  EXPECT_EQ(std::wstring(kif), work_ + L"KL_INSTALL\\InstallInfo.kif");

  std::map<std::wstring, Bytes> got;
  Collect(launch_.extractFolder, L"", &got);
  ASSERT_EQ(got.size(), entries.size());
  for (const cab::Entry& e : entries) {
    auto it = got.find(kl::FromUtf8(e.name));
    ASSERT_NE(it, got.end()) << e.name;
    EXPECT_TRUE(it->second == e.data) << e.name;
  }
  Bytes header;
  ReadAll(kif, &header);
  ASSERT_EQ(header.size(), kPackageHeaderSize);
  EXPECT_EQ(std::memcmp(header.data(), u"RoundTrip", 18), 0);
  ExpectNothingOutsideWork();

  // A second extraction empties the folder first and gives the same tree.
  WriteAll(std::wstring(launch_.extractFolder) + L"stale.txt", Bytes(3, 's'));
  ASSERT_TRUE(ExtractPackage(launch_));
  EXPECT_FALSE(Exists(std::wstring(launch_.extractFolder) + L"stale.txt"));
}

TEST_F(PackageRoundTrip, NoPackageFailsAndTheTemporaryCopyIsDeleted) {
  MakeSetup(Bytes(), 0);  // LoaderFlags 0: a plain program
  EXPECT_FALSE(PrepareInstallPackage());
  EXPECT_FALSE(Exists(work_ + L"klinstallbaseexe.tmp"));
  EXPECT_FALSE(Exists(work_ + L"klinstallbaseexe.cab"));
}

TEST_F(PackageRoundTrip, PackageOffsetBeyondTheFileFails) {
  BlowfishContext key;
  BlowfishSetKey(&key, kPackageKeyLength);
  Bytes package = Container(Fixture(), &key);
  MakeSetup(package, static_cast<uint32_t>(stub_.size() + package.size() + 1));
  EXPECT_FALSE(PrepareInstallPackage());
  EXPECT_FALSE(Exists(work_ + L"klinstallbaseexe.tmp"));
  EXPECT_FALSE(Exists(work_ + L"klinstallbaseexe.cab"));
}

TEST_F(PackageRoundTrip, DamagedPackagesFailWithNothingWrittenOutside) {
  BlowfishContext right, wrong;
  BlowfishSetKey(&right, kPackageKeyLength);
  const unsigned char other[] = "Wrong-Key!!";
  BlowfishSetKeyBytes(&wrong, other, 11);
  Bytes good = Container(Fixture(), &right);

  Bytes truncated(good.begin(), good.begin() + (good.size() * 2 / 3) / 8 * 8);
  Bytes flipped = good;
  flipped[flipped.size() - 200] ^= 0x10;
  const Bytes cases[] = {Container(Fixture(), &wrong), truncated, flipped};
  const char* names[] = {"wrong key", "truncated", "flipped byte"};
  for (int i = 0; i < 3; ++i) {
    MakeSetup(cases[i], static_cast<uint32_t>(stub_.size()));
    ASSERT_TRUE(PrepareInstallPackage()) << names[i];
    EXPECT_FALSE(ExtractPackage(launch_)) << names[i];
    ExpectNothingOutsideWork();
    RemoveTree(work_);
    ASSERT_TRUE(::CreateDirectoryW(work_.c_str(), nullptr));
  }
}

}  // namespace
