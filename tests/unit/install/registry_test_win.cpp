// The uninstall record and the vendor key, read back from the registry.
#include <gtest/gtest.h>

#include "install/registry_win.h"
#include "install_test_util_win.h"

namespace {

using insttest::ReadValue;
using insttest::Records;

constexpr wchar_t kKey[] = L"KlRegTest";

class RegistryRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    insttest::FillHeader(records.header, kKey, L"注册测试输入法");
    context = InitInstallContext(nullptr, &records.header);
    kl::Copy(context.installDir, L"C:\\Program Files\\KlRegTest\\");
    kl::Copy(records.launch.modulePath, L"C:\\windows\\temp\\___kelo_install_base___.exe");
  }
  void TearDown() override { insttest::Uninstall(kKey, nullptr, L""); }

  std::wstring UninstallKey() const { return std::wstring(insttest::kUninstallRoot) + kKey; }

  Records records;
  InstallContext context = {};
};

TEST_F(RegistryRecords, VendorKeyUnderBothHives) {
  WriteVendorKey(context);
  for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    auto v = ReadValue(hive, L"Software\\zorbl\\KlRegTest", L"KMEInstallPath");
    ASSERT_TRUE(v.found);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.text, L"C:\\Program Files\\KlRegTest\\");
    EXPECT_EQ(v.bytes, (v.text.size() + 1) * 2);
  }
}

TEST_F(RegistryRecords, SixteenValuesExact) {
  // As the relaunch writes it: the started file's unquoted path comes last.
  kl::Copy(records.launch.commandLine, L" file=D:\\下载\\setup[1].exe");
  EXPECT_TRUE(WriteUninstallRecord(context, L"用户", L"公司"));
  const std::wstring dir = L"C:\\Program Files\\KlRegTest\\";
  const std::pair<const wchar_t*, std::wstring> expected[] = {
      {L"RegOwner", L"用户"},
      {L"RegCompany", L"公司"},
      {L"DisplayName", L"注册测试输入法"},
      {L"Comments", L"测试用输入法"},
      {L"DisplayVersion", L"1.0.0.1"},
      {L"DisplayIcon", dir + L"unstall.exe"},
      {L"Contact", L"support"},
      {L"Publisher", L"zorbl"},
      {L"URLInfoAbout", L"http://127.0.0.1/about/"},
      {L"URLUpdateInfo", L"http://127.0.0.1/update/"},
      {L"HelpLink", dir + L"main.chm"},
      {L"HelpTelephone", L"010-1234"},
      {L"UninstallString", L"\"C:\\Program Files\\KlRegTest\\Unstall.exe\" -u name=[KlRegTest]"},
      {L"InstallLocation", dir},
      {L"InstallSource", L"D:\\下载\\setup[1].exe"},
      {L"ModifyPath", L"\"C:\\Program Files\\KlRegTest\\Unstall.exe\" -r name=[KlRegTest]"},
  };
  for (const auto& e : expected) {
    auto v = ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), e.first);
    ASSERT_TRUE(v.found) << e.first;
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ)) << e.first;
    EXPECT_EQ(v.text, e.second) << e.first;
    EXPECT_EQ(v.bytes, (e.second.size() + 1) * 2) << e.first;
  }
  EXPECT_STREQ(records.launch.commandLine, L" file=D:\\下载\\setup[1].exe");  // left as it was
}

TEST_F(RegistryRecords, HelpLinkAndInstallSourceAlternatives) {
  kl::Copy(records.header.helpLink, L"http://127.0.0.1/help/");
  kl::Copy(records.launch.commandLine, L"-x file=E:\\dl\\setup.exe");
  WriteUninstallRecord(context, L"", L"");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"HelpLink").text,
            L"http://127.0.0.1/help/");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"InstallSource").text,
            L"E:\\dl\\setup.exe");
  auto owner = ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"RegOwner");
  EXPECT_TRUE(owner.found);
  EXPECT_EQ(owner.bytes, 2u);  // an empty text still has its NUL

  // Without "file=" the running module is the source.
  records.launch.commandLine[0] = 0;
  WriteUninstallRecord(context, L"", L"");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"InstallSource").text,
            L"C:\\windows\\temp\\___kelo_install_base___.exe");
}

TEST_F(RegistryRecords, RewriteOverwritesAndKeepsForeignValues) {
  WriteUninstallRecord(context, L"old", L"old");
  {
    ui::RegKey k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, UninstallKey().c_str(), 0, KEY_SET_VALUE, k.out()),
              ERROR_SUCCESS);
    SetStringValue(k.get(), L"EstimatedSizeText", L"keep");
  }
  kl::Copy(records.header.displayVersion, L"2.0.0.0");
  WriteUninstallRecord(context, L"new", L"new");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"RegOwner").text, L"new");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"DisplayVersion").text, L"2.0.0.0");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"EstimatedSizeText").text, L"keep");
}

TEST_F(RegistryRecords, FullHeaderFieldsStayInsideTheirArrays) {
  // A display name that fills its array to the last unit, with no NUL.
  for (auto& c : records.header.displayName) c = L'名';
  for (auto& c : records.header.comments) c = L'c';
  WriteUninstallRecord(context, L"", L"");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"DisplayName").text,
            std::wstring(44, L'名'));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, UninstallKey(), L"Comments").text,
            std::wstring(20, L'c'));
}

}  // namespace
