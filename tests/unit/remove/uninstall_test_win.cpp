// The uninstall sequence's registry step, run window-less on a made-up
// product: the product's keys under the machine-wide and the per-user vendor
// key and its uninstall record go; another product of the vendor keeps its
// key, and the vendor key goes with the last product in it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "../install/install_test_util_win.h"
#include "install/install_record_win.h"
#include "remove/uninstall_win.h"
#include "robot_win.h"
#include "update_server_win.h"

namespace {

using insttest::KeyExists;

constexpr wchar_t kKey[] = L"KlUninstKeys";
constexpr wchar_t kVendorRoot[] = L"Software\\zorbl";
const std::wstring kVendor = std::wstring(kVendorRoot) + L"\\" + kKey;
const std::wstring kSibling = std::wstring(kVendorRoot) + L"\\KlUninstSibling";
const std::wstring kRecord = std::wstring(insttest::kUninstallRoot) + kKey;

// The names of the vendor key's subkeys in hive.
std::vector<std::wstring> VendorProducts(HKEY hive) {
  std::vector<std::wstring> names;
  ui::RegKey k;
  if (RegOpenKeyExW(hive, kVendorRoot, 0, KEY_READ, k.out()) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD n = 256;
    if (RegEnumKeyExW(k.get(), i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.push_back(name);
  }
  return names;
}

class UninstallKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    dir_ = insttest::TempFolder() + testfs::Unique(L"kluninst") + L"\\";
    CreateDirectoryW(dir_.c_str(), nullptr);
    kl::Copy(records_.session.imeName, kKey);
    kl::Copy(records_.session.installDir, dir_.c_str());
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
      ASSERT_TRUE(robot::SetRegistryString(hive, kVendor, L"KMEInstallPath", dir_));
    ASSERT_TRUE(robot::SetRegistryString(HKEY_LOCAL_MACHINE, kRecord, L"DisplayName", L"x"));
  }
  void TearDown() override {
    Clean();
    insttest::RemoveTree(dir_);
  }
  void Clean() {
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
      RegDeleteTreeW(hive, kVendor.c_str());
      RegDeleteTreeW(hive, kSibling.c_str());
      RegDeleteKeyW(hive, kVendorRoot);  // only when empty
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRecord.c_str());
  }
  void Uninstall() {
    UninstallContext context = InitUninstallContext(nullptr);
    EXPECT_EQ(RunUninstall(context), 1);
  }

  insttest::Records records_;
  std::wstring dir_;
};

TEST_F(UninstallKeys, TheProductsKeysGoAndAnotherProductsStays) {
  ASSERT_TRUE(robot::SetRegistryString(HKEY_LOCAL_MACHINE, kSibling, L"KMEInstallPath", L"C:\\x\\"));
  Uninstall();
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kVendor)) << "the machine-wide vendor key stayed";
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kVendor)) << "the per-user vendor key stayed";
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kRecord)) << "the uninstall record stayed";
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kSibling));
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, kSibling, L"KMEInstallPath").text, L"C:\\x\\");
  EXPECT_FALSE(testfs::Exists(dir_));  // no record: the folder went whole
}

TEST_F(UninstallKeys, TheVendorKeyGoesWithItsLastProduct) {
  const std::vector<std::wstring> ours = {kKey};
  if (VendorProducts(HKEY_LOCAL_MACHINE) != ours || VendorProducts(HKEY_CURRENT_USER) != ours)
    GTEST_SKIP() << "another product of the vendor is registered on this machine";
  Uninstall();
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kVendorRoot));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kVendorRoot));
}

// A folder of the product that a user swapped for a link to elsewhere: the
// recorded file "in" it is not removed through the link, while the files of
// the folders before it and after it still go.
TEST_F(UninstallKeys, RecordedFilesAreNeverRemovedThroughAFolderLink) {
  const std::wstring outside = insttest::TempFolder() + testfs::Unique(L"kloutside") + L"\\";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  ASSERT_TRUE(testfs::WriteAll(outside + L"y.txt", std::string("keep")));
  for (const wchar_t* sub : {L"a", L"a\\deep", L"c"})
    ASSERT_TRUE(CreateDirectoryW((dir_ + sub).c_str(), nullptr));
  kl::InstallJournal journal;
  for (const wchar_t* file : {L"a\\x.txt", L"a\\deep\\z.txt", L"b\\y.txt", L"c\\w.txt"}) {
    if (file[0] != L'b') ASSERT_TRUE(testfs::WriteAll(dir_ + file, std::string("x")));
    journal.AddPath(kl::UndoKind::kPlacedFile, (dir_ + file).c_str());
  }
  ASSERT_TRUE(testsrv::MakeUnixLink(outside.substr(0, outside.size() - 1), dir_ + L"b"));
  ASSERT_TRUE(WriteRemovalRecord(kKey, journal));

  Uninstall();
  EXPECT_TRUE(testfs::ReadText(outside + L"y.txt") == "keep") << "removed through the link";
  for (const wchar_t* file : {L"a\\x.txt", L"a\\deep\\z.txt", L"c\\w.txt"})
    EXPECT_FALSE(testfs::Exists(dir_ + file)) << kl::ToUtf8(file);
  testsrv::RemoveUnixTree(dir_);
  insttest::RemoveTree(outside);
}

}  // namespace
