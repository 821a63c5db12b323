// A vendor's own product from klpack alone, under Wine: init, the vendor's
// files, check, build on the stock setup.exe with the publisher key, a
// silent install whose Unstall.exe keeps the key, and the uninstall.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../unit/install/install_test_util_win.h"
#include "robot_win.h"
#include "testfs_win.h"
#include "update/update_key_slot.h"
#include "wizard_robot_win.h"

namespace {

constexpr wchar_t kKey[] = L"KeloVendor";

DWORD RunAndWait(const std::wstring& exe, const std::wstring& args, DWORD timeoutMs = 180000) {
  robot::Process p;
  if (!robot::Start(exe, args, &p)) return ~0u;
  DWORD code = ~0u;
  if (!robot::WaitExit(p, timeoutMs, &code)) return ~0u;
  robot::WaitNoProcess(wizrobot::kWorkingCopyTail, 20000);
  return code;
}

// The key slot's point of a program as lower-case hex; "" when the slot is
// empty, "<none>" when there is no single slot.
std::string SlotKey(const std::wstring& file) {
  std::vector<unsigned char> b;
  if (!testfs::ReadAll(file, &b)) return "<unreadable>";
  size_t at = SIZE_MAX, count = 0;
  for (size_t i = 0; i + klupdate::kKeySlotBytes <= b.size(); ++i)
    if (std::memcmp(&b[i], KL_UPDATE_KEY_SLOT_MARKER, klupdate::kKeySlotMarkerBytes) == 0) {
      at = i;
      ++count;
    }
  if (count != 1) return "<none>";
  std::string hex;
  bool any = false;
  for (size_t i = 0; i < klupdate::kKeySlotPointBytes; ++i) {
    const unsigned char c = b[at + klupdate::kKeySlotMarkerBytes + i];
    any = any || c;
    hex += "0123456789abcdef"[c >> 4];
    hex += "0123456789abcdef"[c & 15];
  }
  return any ? hex : "";
}

TEST(VendorProduct, InitCheckBuildWithKeyInstallAndUninstall) {
  CoInitialize(nullptr);
  const std::wstring bin = testfs::BinFolder();
  const std::wstring klpack = bin + L"klpack.exe";
  const std::wstring work = testfs::TempFolder() + testfs::Unique(L"kl vendor ") + L"\\";
  const std::wstring dir = work + L"ime";
  const std::wstring product = dir + L"\\product\\";
  CreateDirectoryW(work.c_str(), nullptr);
  const std::wstring pubKey =
      L"Z:" + std::wstring(kl::FromUtf8(KL_SOURCE_DIR "/tests/support/update-key/test-update-key.pub"));
  std::string expectKey = testfs::ReadText(pubKey).substr(0, 130);
  for (char& c : expectKey) c = static_cast<char>(tolower(c));

  ASSERT_EQ(RunAndWait(klpack, L"init \"" + dir + L"\" --key KeloVendor --name 维德示例输入法"), 0u);
  const std::wstring manifest = dir + L"\\product.manifest";
  const std::wstring check = L"check \"" + product + L".\" --manifest \"" + manifest + L"\" --strict";
  EXPECT_EQ(RunAndWait(klpack, check), 2u) << "the module and config.exe are still missing";
  // The vendor's files (the sample's binaries under the vendor's names).
  const std::wstring sample = bin + L"sample\\";
  ASSERT_TRUE(CopyFileW((sample + L"KeloSample.ime").c_str(), (product + L"KeloVendor.ime").c_str(), FALSE));
  for (const wchar_t* f : {L"config.exe", L"main.chm"})
    ASSERT_TRUE(CopyFileW((sample + f).c_str(), (product + f).c_str(), FALSE));
  ASSERT_EQ(RunAndWait(klpack, check), 0u) << "check is clean";
  const std::wstring setup = work + L"vendor-setup.exe";
  ASSERT_EQ(RunAndWait(klpack, L"build --manifest \"" + manifest + L"\" --folder \"" + product +
                                   L".\" --stub \"" + bin + L"setup.exe\" -o \"" + setup +
                                   L"\" --update-key \"" + pubKey + L"\" --strict"),
            0u);
  EXPECT_EQ(SlotKey(setup), expectKey);
  EXPECT_EQ(SlotKey(bin + L"setup.exe"), "") << "the stock stub stays without a key";

  const std::wstring installDir = insttest::ShellFolder(CSIDL_PROGRAM_FILES) + kKey + L"\\";
  ASSERT_EQ(RunAndWait(setup, L"-s"), 0u);
  EXPECT_TRUE(testfs::Exists(insttest::SystemDir() + L"KeloVendor.kelo.ime"));
  EXPECT_TRUE(testfs::Exists(installDir + L"License.html"));
  EXPECT_EQ(SlotKey(installDir + L"Unstall.exe"), expectKey) << "the installed program keeps the key";
  EXPECT_EQ(insttest::ReadValue(HKEY_LOCAL_MACHINE, std::wstring(insttest::kUninstallRoot) + kKey,
                                L"DisplayName").text,
            L"维德示例输入法");

  ASSERT_EQ(RunAndWait(installDir + L"Unstall.exe", L"-s -u name=[KeloVendor]"), 0u);
  EXPECT_TRUE(robot::WaitUntil([&] { return !testfs::Exists(installDir); }, 15000));
  EXPECT_FALSE(testfs::Exists(insttest::SystemDir() + L"KeloVendor.kelo.ime"));
  EXPECT_FALSE(insttest::KeyExists(HKEY_LOCAL_MACHINE, std::wstring(insttest::kUninstallRoot) + kKey));
  testfs::RemoveTree(work);
}

}  // namespace
