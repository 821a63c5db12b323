// CopyFolder moving files by renaming them (keep-source 0) and the Users
// grant with its once-per-process look-up, read back from the real files
// under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <string>
#include <thread>
#include <vector>

#include "fsutil_test_util_win.h"
#include "sys/fsutil_win.h"

namespace {

using namespace fstest;
using testfs::DaclText;

// The DACL (as SDDL text) that GrantUsersAccess builds from path's current
// one, built in memory with the same core; "" on failure.
std::wstring WithUsersGrant(const std::wstring& path) {
  std::vector<BYTE> sd = testfs::FileDacl(path);
  if (sd.empty()) return L"";
  BOOL present = FALSE, defaulted = FALSE;
  PACL old = nullptr;
  if (!GetSecurityDescriptorDacl(sd.data(), &present, &old, &defaulted)) return L"";
  BYTE users[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(users);
  if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &sidSize)) return L"";
  ui::HeapBlock acl;
  if (!BuildUsersAcl(present ? old : nullptr, users, acl)) return L"";
  SECURITY_DESCRIPTOR built;
  if (!InitializeSecurityDescriptor(&built, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&built, TRUE, static_cast<PACL>(acl.get()), FALSE))
    return L"";
  return testfs::DaclSddl(&built);
}

class MoveFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = TempFolder() + Unique(L"kl_mv_");
    src_ = root_ + L"\\src";
    dst_ = root_ + L"\\dst";
    ASSERT_TRUE(CreateDirectoryPath((src_ + L"\\sub\\").c_str()));
    ASSERT_TRUE(CreateDirectoryPath((dst_ + L"\\sub\\").c_str()));
  }
  void TearDown() override { RemoveTree(root_); }
  std::wstring root_, src_, dst_;
};

TEST_F(MoveFolderTest, RenamesOverExistingTargetsAndLeavesNoSourceFile) {
  Put(src_ + L"\\a.txt", "new A");
  Put(src_ + L"\\sub\\b.txt", "new B");
  Put(dst_ + L"\\a.txt", "old contents that are longer");
  Put(dst_ + L"\\sub\\b.txt", "old B");
  Put(dst_ + L"\\kept.txt", "not in the package");
  bool restart = false;
  EXPECT_EQ(CopyFolder(src_.c_str(), dst_.c_str(), 0, &restart), 1);
  EXPECT_FALSE(restart);
  EXPECT_EQ(Get(dst_ + L"\\a.txt"), "new A");
  EXPECT_EQ(Get(dst_ + L"\\sub\\b.txt"), "new B");
  EXPECT_EQ(Get(dst_ + L"\\kept.txt"), "not in the package");
  EXPECT_FALSE(IsFile(src_ + L"\\a.txt"));
  EXPECT_FALSE(IsFile(src_ + L"\\sub\\b.txt"));
}

TEST_F(MoveFolderTest, ReadOnlySourceFileIsMovedLikeACopy) {
  // The same read-only file once copied (keep-source 1) and once moved.
  ASSERT_TRUE(CreateDirectoryPath((root_ + L"\\other\\").c_str()));
  for (const std::wstring& dir : {src_, root_ + L"\\other"}) {
    Put(dir + L"\\ro.dat", "read only");
    ASSERT_TRUE(SetFileAttributesW((dir + L"\\ro.dat").c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  }
  WIN32_FILE_ATTRIBUTE_DATA before;
  ASSERT_TRUE(GetFileAttributesExW((src_ + L"\\ro.dat").c_str(), GetFileExInfoStandard, &before));
  const std::wstring copyDst = root_ + L"\\copy";
  ASSERT_EQ(CopyFolder((root_ + L"\\other").c_str(), copyDst.c_str(), 1), 1);
  EXPECT_EQ(CopyFolder(src_.c_str(), dst_.c_str(), 0), 1);

  EXPECT_EQ(Get(dst_ + L"\\ro.dat"), "read only");
  EXPECT_FALSE(IsFile(src_ + L"\\ro.dat"));  // the copy and delete left it behind
  WIN32_FILE_ATTRIBUTE_DATA moved, copied;
  ASSERT_TRUE(GetFileAttributesExW((dst_ + L"\\ro.dat").c_str(), GetFileExInfoStandard, &moved));
  ASSERT_TRUE(GetFileAttributesExW((copyDst + L"\\ro.dat").c_str(), GetFileExInfoStandard, &copied));
  EXPECT_EQ(moved.dwFileAttributes & FILE_ATTRIBUTE_READONLY,
            copied.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
  // Like a copy, the placed file keeps the time it was last written.
  EXPECT_EQ(CompareFileTime(&moved.ftLastWriteTime, &before.ftLastWriteTime), 0);
}

TEST_F(MoveFolderTest, MovedFileGetsTheAccessListOfACopy) {
  // One file placed by the copy (keep-source 1), one by the move; both end up
  // with the access of a file made in the target folder plus the grant: the
  // list our code builds in memory (BuildUsersAcl) from that file's list.
  // (On Windows the moved file would otherwise keep the entries it
  // inherited in the temporary folder.)
  ASSERT_TRUE(CreateDirectoryPath((root_ + L"\\other\\").c_str()));
  Put(root_ + L"\\other\\copied.bin", "c");
  Put(src_ + L"\\moved.bin", "m");
  Put(dst_ + L"\\fresh.bin", "f");  // made in the target folder
  const std::wstring fresh = DaclText(dst_ + L"\\fresh.bin");
  const std::wstring expected = WithUsersGrant(dst_ + L"\\fresh.bin");
  // The built list: the fresh file's own entries but those for Users, one
  // Users entry (modify, inherited by files and folders), then the
  // entries the file inherited.
  ASSERT_FALSE(fresh.empty());
  std::wstring own, inherited;
  for (size_t open = fresh.find(L'('); open != std::wstring::npos;
       open = fresh.find(L'(', open + 1)) {
    const std::wstring ace = fresh.substr(open, fresh.find(L')', open) + 1 - open);
    const size_t flags = ace.find(L';') + 1;
    if (ace.substr(flags, ace.find(L';', flags) - flags).find(L"ID") != std::wstring::npos)
      inherited += ace;
    else if (ace.size() < 5 || ace.compare(ace.size() - 4, 4, L";BU)") != 0)
      own += ace;
  }
  EXPECT_EQ(expected, fresh.substr(0, fresh.find(L'(')) + own + L"(A;OICI;0x1301bf;;;BU)" + inherited);

  ASSERT_EQ(CopyFolder((root_ + L"\\other").c_str(), dst_.c_str(), 1), 1);
  ASSERT_EQ(CopyFolder(src_.c_str(), dst_.c_str(), 0), 1);
  EXPECT_EQ(Get(dst_ + L"\\copied.bin"), "c");
  EXPECT_EQ(Get(dst_ + L"\\moved.bin"), "m");
  EXPECT_FALSE(IsFile(src_ + L"\\moved.bin"));

  // Where files keep the list written to them, both placed files read it
  // back. (Wine keeps none and reports one made from the Unix file mode, the
  // same for every file: there only the list built in memory is checked.)
  ASSERT_EQ(GrantUsersAccess((dst_ + L"\\fresh.bin").c_str()), 1);
  if (DaclText(dst_ + L"\\fresh.bin") == expected) {
    EXPECT_EQ(DaclText(dst_ + L"\\copied.bin"), expected);
    EXPECT_EQ(DaclText(dst_ + L"\\moved.bin"), expected);
  }
}

TEST_F(MoveFolderTest, EveryFileMovedIntoAFolderGetsTheListOfItsFirst) {
  // The first file moved into a folder gets its list from the system; the
  // others get that list written as it is. All read back alike, and like a
  // file given the grant in place.
  for (const wchar_t* n : {L"\\a.bin", L"\\b.bin", L"\\c.bin", L"\\sub\\d.bin", L"\\sub\\e.bin"})
    Put(src_ + n, "x");
  Put(dst_ + L"\\fresh.bin", "f");
  Put(dst_ + L"\\sub\\fresh.bin", "f");
  ASSERT_EQ(GrantUsersAccess((dst_ + L"\\fresh.bin").c_str()), 1);
  ASSERT_EQ(GrantUsersAccess((dst_ + L"\\sub\\fresh.bin").c_str()), 1);
  ASSERT_EQ(CopyFolder(src_.c_str(), dst_.c_str(), 0), 1);
  for (const std::wstring& dir : {dst_, dst_ + L"\\sub"}) {
    const std::wstring expected = DaclText(dir + L"\\fresh.bin");
    ASSERT_FALSE(expected.empty());
    for (const wchar_t* n : {L"\\a.bin", L"\\b.bin", L"\\c.bin", L"\\d.bin", L"\\e.bin"}) {
      if (!IsFile(dir + n)) continue;
      EXPECT_EQ(DaclText(dir + n), expected) << std::string(n, n + wcslen(n));
    }
  }
  for (const wchar_t* n : {L"\\a.bin", L"\\b.bin", L"\\c.bin"}) EXPECT_TRUE(IsFile(dst_ + n));
  for (const wchar_t* n : {L"\\d.bin", L"\\e.bin"}) EXPECT_TRUE(IsFile(dst_ + L"\\sub" + n));
  EXPECT_FALSE(IsFile(src_ + L"\\a.bin"));
  EXPECT_FALSE(IsFile(src_ + L"\\sub\\e.bin"));
}

TEST(GrantUsersAccessOnce, ManyFilesFromSeveralThreadsAllSucceed) {
  const std::wstring root = TempFolder() + Unique(L"kl_grant_");
  ASSERT_TRUE(CreateDirectoryPath((root + L"\\").c_str()));
  std::vector<std::wstring> files;
  for (int i = 0; i < 24; ++i) {
    files.push_back(root + L"\\f" + std::to_wstring(i) + L".txt");
    Put(files.back(), "x");
  }
  std::vector<int> results(files.size(), -1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = static_cast<size_t>(t); i < files.size(); i += 4)
        results[i] = GrantUsersAccess(files[i].c_str());
    });
  }
  for (auto& th : threads) th.join();
  for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(results[i], 1) << i;
  // A missing file still fails on its own step after the cached look-up.
  EXPECT_EQ(GrantUsersAccess((root + L"\\missing.txt").c_str()), 0);
  RemoveTree(root);
}

}  // namespace
