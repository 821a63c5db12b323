// Registry look-ups of the command-line parse, against the real registry.
#include "state/cmdline_win.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

#include "app_test_util_win.h"
#include "base/text.h"
#include "state/setup_log_win.h"
#include "testfs_win.h"

namespace {

constexpr wchar_t kName[] = L"KlStartupTestIme";
constexpr wchar_t kVendorKey[] = L"Software\\zorbl\\KlStartupTestIme";
constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KlStartupTestIme";

bool SetBytes(HKEY root, const wchar_t* key, const wchar_t* value, const void* data,
              DWORD bytes) {
  ui::RegKey k;
  if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE, nullptr, k.out(), nullptr) !=
      ERROR_SUCCESS)
    return false;
  return RegSetValueExW(k.get(), value, 0, REG_SZ, static_cast<const BYTE*>(data), bytes) ==
         ERROR_SUCCESS;
}

bool SetString(HKEY root, const wchar_t* key, const wchar_t* value, const std::wstring& text) {
  return SetBytes(root, key, value, text.c_str(),
                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

class RegistryLookup : public ::testing::Test {
 protected:
  void SetUp() override { CleanKeys(); }
  void TearDown() override { CleanKeys(); }
  static void CleanKeys() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kVendorKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendorKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUninstallKey);
  }
  void Parse(const wchar_t* line) {
    kl::Copy(g_launch->commandLine, line);
    ParseCommandLine();
  }
  apptest::RecordsScope records_;
};

TEST_F(RegistryLookup, OnlyTheMachineVendorKeyNamesTheFolder) {
  // A per-user value never names the folder of -u, -r or -g: it is ignored
  // (and logged) whether or not the machine-wide one exists.
  ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kVendorKey, L"KMEInstallPath", L"C:\\FromUser\\"));
  for (const wchar_t* sw : {L"-u", L"-r", L"-g"}) {
    Parse((std::wstring(sw) + L" name=[KlStartupTestIme]").c_str());
    EXPECT_STREQ(g_session->installDir, L"");
  }
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kVendorKey, L"KMEInstallPath", L"C:\\FromMachine\\"));
  Parse(L"-u name=[KlStartupTestIme] file=C:\\x\\setup.exe");
  EXPECT_EQ(g_launch->mode, kModeUninstall);
  EXPECT_STREQ(g_session->imeName, kName);
  EXPECT_STREQ(g_session->installDir, L"C:\\FromMachine\\");

  // The run's log names the ignored value; an equal one is not worth a line.
  const std::wstring log = testfs::TempFolder() + testfs::Unique(L"klcmdline") + L".log";
  setuplog::Open(log.c_str());
  LogIgnoredUserInstallFolder();
  ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kVendorKey, L"KMEInstallPath", L"c:\\frommachine"));
  Parse(L"-u name=[KlStartupTestIme]");
  LogIgnoredUserInstallFolder();
  setuplog::Close(0);
  const std::string text = testfs::ReadText(log);
  DeleteFileW(log.c_str());
  EXPECT_NE(text.find("the per-user KMEInstallPath (C:\\FromUser\\) is ignored: the install "
                      "folder is the machine-wide one (C:\\FromMachine\\)"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("frommachine"), std::string::npos) << text;
}

TEST_F(RegistryLookup, MachineVendorKeyWhenUserHasNone) {
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kVendorKey, L"KMEInstallPath", L"C:\\FromMachine\\"));
  Parse(L"-g name=[KlStartupTestIme]");
  EXPECT_EQ(g_launch->mode, kModeUpdate);
  EXPECT_STREQ(g_session->installDir, L"C:\\FromMachine\\");
}

TEST_F(RegistryLookup, MachineVendorKeyWhenUserValueIsMissingOrEmpty) {
  // The user's key exists without the value.
  ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kVendorKey, L"Other", L"C:\\Ignored\\"));
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kVendorKey, L"KMEInstallPath", L"C:\\FromMachine\\"));
  Parse(L"-r name=[KlStartupTestIme]");
  EXPECT_STREQ(g_session->installDir, L"C:\\FromMachine\\");

  // An empty value counts as none.
  ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kVendorKey, L"KMEInstallPath", L""));
  Parse(L"-r name=[KlStartupTestIme]");
  EXPECT_STREQ(g_session->installDir, L"C:\\FromMachine\\");
}

TEST_F(RegistryLookup, DisplayNameFromMachineUninstallRecord) {
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName", L"可乐输入法 测试版"));
  Parse(L"-u name=[KlStartupTestIme]");
  EXPECT_STREQ(g_session->displayName, L"可乐输入法 测试版");
  EXPECT_STREQ(g_session->installDir, L"");
}

TEST_F(RegistryLookup, NoVendorKeyLeavesInstallDirEmpty) {
  Parse(L"-u name=[KlStartupTestIme]");
  EXPECT_EQ(g_launch->mode, kModeUninstall);
  EXPECT_STREQ(g_session->installDir, L"");
  EXPECT_STREQ(g_session->displayName, L"");
}

TEST_F(RegistryLookup, InstallModeLooksUpNothingUseful) {
  Parse(L"-x");
  EXPECT_EQ(g_launch->mode, kModeInstall);
  EXPECT_STREQ(g_session->imeName, L"");
  EXPECT_STREQ(g_session->installDir, L"");
}

TEST_F(RegistryLookup, NameThatIsNotAPlainKeyNameLooksUpNothing) {
  // Keys that exist under names the switch must not reach.
  const std::wstring names[] = {L"KlStartupTestIme.", L"KlStartupTestImeWithAVeryLongNam"};
  for (const std::wstring& n : names) {
    const std::wstring key = L"Software\\zorbl\\" + n;
    ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, key.c_str(), L"KMEInstallPath", L"C:\\Bad\\"));
    for (const wchar_t* sw : {L"-u", L"-r", L"/G"}) {
      Parse((std::wstring(sw) + L" name=[" + n + L"]").c_str());
      EXPECT_NE(g_launch->mode, kModeInstall) << n;
      EXPECT_STREQ(g_session->imeName, L"") << n;
      EXPECT_STREQ(g_session->installDir, L"") << n;
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
  }
  // Path syntax, a bracket, a device: dropped the same way.
  for (const wchar_t* line : {L"-u name=[..\\..\\x]", L"-u name=[a]b -g x]", L"-u name=[CON]",
                              L"-u name=[C:x]", L"-u name=[a/b]"}) {
    Parse(line);
    EXPECT_STREQ(g_session->imeName, L"") << line;
  }
}

TEST_F(RegistryLookup, OversizedMachineValueLeavesTheFolderEmpty) {
  // 300 characters do not fit the 520-byte limit: the read fails and the
  // field stays empty; a per-user value does not stand in.
  std::wstring tooLong = L"C:\\" + std::wstring(300, L'd') + L"\\";
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kVendorKey, L"KMEInstallPath", tooLong));
  ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kVendorKey, L"KMEInstallPath", L"C:\\FromUser\\"));
  Parse(L"-u name=[KlStartupTestIme]");
  EXPECT_STREQ(g_session->installDir, L"");
}

TEST_F(RegistryLookup, UnterminatedFullValueStaysWithinItsField) {
  // Exactly 520 bytes without a terminator. Depending on the system the read
  // succeeds (the value is cut to 259 characters) or fails (empty field);
  // either way the field is terminated within its size.
  std::wstring full(260, L'p');
  ASSERT_TRUE(SetBytes(HKEY_LOCAL_MACHINE, kVendorKey, L"KMEInstallPath", full.c_str(), 520));
  // The same for 160 bytes of display name.
  std::wstring name(80, L'n');
  ASSERT_TRUE(SetBytes(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName", name.c_str(), 160));
  Parse(L"-u name=[KlStartupTestIme]");
  size_t dirLength = kl::StrLen(g_session->installDir, kPathChars);
  EXPECT_TRUE(dirLength == 0 || dirLength == 259) << dirLength;
  EXPECT_EQ(std::wstring(g_session->installDir), std::wstring(dirLength, L'p'));
  size_t nameLength = kl::StrLen(g_session->displayName, 80);
  EXPECT_TRUE(nameLength == 0 || nameLength == 79) << nameLength;
  EXPECT_EQ(std::wstring(g_session->displayName), std::wstring(nameLength, L'n'));
}

TEST(ProductDataFolder, CommonAppDataThenKeloImesAndName) {
  wchar_t common[MAX_PATH];
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common)));
  wchar_t path[kPathChars];
  ASSERT_TRUE(GetProductDataFolder(L"Alpha", path));
  EXPECT_EQ(std::wstring(path), std::wstring(common) + L"\\KeloIMEs\\Alpha\\");
  // Not created.
  EXPECT_FALSE(apptest::Exists(path));
}

TEST(ProductDataFolder, LongNameIsCutTo259Characters) {
  wchar_t path[kPathChars];
  ASSERT_TRUE(GetProductDataFolder(std::wstring(300, L'z').c_str(), path));
  EXPECT_EQ(kl::StrLen(path), kPathChars - 1);
}

}  // namespace
