// Version resources of real files under Wine: values read, rewritten and
// read back through VerQueryValueW, resources copied between files, and a
// file without version information refused. The files are copies of the
// sample drivers built beside this program.
#include "update/version_res_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testfs_win.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The value through the system's own query of the 080404b0 table.
std::wstring Query(const std::wstring& file, const wchar_t* key) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  Bytes block(size);
  if (!size || !GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return L"<none>";
  void* v = nullptr;
  UINT n = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + key;
  if (!VerQueryValueW(block.data(), path.c_str(), &v, &n) || !v) return L"<missing>";
  return static_cast<const wchar_t*>(v);
}

Bytes Resource(const std::wstring& file, const wchar_t* type, WORD id) {
  HMODULE m = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!m) return {};
  Bytes out;
  if (HRSRC r = FindResourceW(m, MAKEINTRESOURCEW(id), type)) {
    const auto* p = static_cast<const unsigned char*>(LockResource(LoadResource(m, r)));
    if (p) out.assign(p, p + SizeofResource(m, r));
  }
  FreeLibrary(m);
  return out;
}

class VersionRes : public ::testing::Test {
 protected:
  void SetUp() override {
    sample_ = testfs::BinFolder() + L"sample\\";
    ASSERT_TRUE(testfs::Exists(sample_ + L"skin.dll")) << "the sample drivers are not built";
    dir_ = testfs::TempFolder() + testfs::Unique(L"klverres") + L"\\";
    CreateDirectoryW(dir_.c_str(), nullptr);
  }
  void TearDown() override { testfs::RemoveTree(dir_); }

  std::wstring Copy(const wchar_t* name, const wchar_t* as) {
    const std::wstring to = dir_ + as;
    EXPECT_TRUE(CopyFileW((sample_ + name).c_str(), to.c_str(), FALSE));
    return to;
  }

  std::wstring sample_, dir_;
};

TEST_F(VersionRes, ReadsRewritesAndReadsBackThroughTheSystem) {
  const std::wstring skin = Copy(L"skin.dll", L"skin.dll");
  wchar_t text[256];
  GetVersionString(skin.c_str(), L"FileDescription", text, 256);
  EXPECT_STREQ(text, L"可乐示例输入法皮肤驱动");
  GetVersionString(skin.c_str(), L"FileDescription", text, 5);
  EXPECT_STREQ(text, L"可乐示例");  // cut to the capacity less one
  EXPECT_EQ(GetFileVersionNumber(skin.c_str()), 0x0001000000000001ull);

  ASSERT_TRUE(SetVersionString(skin.c_str(), L"CompanyName", L"zorbl information technology"));
  EXPECT_EQ(Query(skin, L"CompanyName"), L"zorbl information technology");
  EXPECT_EQ(Query(skin, L"FileVersion"), L"1.0.0.1");
  EXPECT_EQ(Query(skin, L"ProductName"), L"可乐示例输入法");
  ASSERT_TRUE(SetVersionString(skin.c_str(), L"FileDescription", L""));
  EXPECT_EQ(Query(skin, L"FileDescription"), L"");
  EXPECT_EQ(Query(skin, L"CompanyName"), L"zorbl information technology");
  EXPECT_FALSE(SetVersionString(skin.c_str(), L"NoSuchKey", L"x"));
  // The bitmaps are still there after the version rewrites.
  EXPECT_EQ(Resource(skin, RT_BITMAP, 103), Resource(sample_ + L"skin.dll", RT_BITMAP, 103));
}

TEST_F(VersionRes, CopiesResourcesAndRefusesFilesWithoutVersion) {
  const std::wstring mb = Copy(L"mb.dll", L"mb.dll");
  ASSERT_TRUE(Resource(mb, RT_BITMAP, 104).empty());
  ASSERT_TRUE(CopyResource(mb.c_str(), (sample_ + L"skin.dll").c_str(), RT_BITMAP, 104));
  EXPECT_EQ(Resource(mb, RT_BITMAP, 104), Resource(sample_ + L"skin.dll", RT_BITMAP, 104));
  EXPECT_FALSE(CopyResource(mb.c_str(), (sample_ + L"skin.dll").c_str(), RT_BITMAP, 999));

  // Without version information: empty text, version 0, nothing written.
  // A helper program of the tests carries no version resource.
  const std::wstring bare = dir_ + L"bare.exe";
  ASSERT_TRUE(CopyFileW((testfs::BinFolder() + L"hold_open.exe").c_str(), bare.c_str(), FALSE));
  wchar_t text[256] = L"x";
  GetVersionString(bare.c_str(), L"FileDescription", text, 256);
  EXPECT_STREQ(text, L"");
  EXPECT_EQ(GetFileVersionNumber(bare.c_str()), 0u);
  EXPECT_FALSE(SetVersionString(bare.c_str(), L"CompanyName", L"x"));
  EXPECT_FALSE(CopyResource(bare.c_str(), (sample_ + L"skin.dll").c_str(), RT_BITMAP, 103));
  EXPECT_FALSE(WriteVersionResource(bare.c_str(), 0xFFFF, "x", 1));
}

}  // namespace
