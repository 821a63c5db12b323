// The wizard pages built from setup.exe's templates inside a test window:
// the install folder proposed or locked by an earlier install, the owner and
// company read from the registry only once, and the progress list's column.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "../install/install_test_util_win.h"
#include "ui/dialog_win.h"
#include "ui/owners_win.h"
#include "wizard/pages_win.h"

namespace {

constexpr wchar_t kKey[] = L"KlWizardPageTest";
constexpr wchar_t kVendor[] = L"Software\\zorbl\\KlWizardPageTest";
constexpr wchar_t kNtKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";

void SetText(HKEY hive, const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  ui::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(hive, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.out(), nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Puts a machine value back as it was (or deletes it) when the scope ends,
// however the case ends.
class RestoreValue {
 public:
  RestoreValue(const wchar_t* key, const wchar_t* name)
      : key_(key), name_(name), old_(insttest::ReadValue(HKEY_LOCAL_MACHINE, key, name)) {}
  ~RestoreValue() {
    if (old_.found) SetText(HKEY_LOCAL_MACHINE, key_, name_, old_.text);
    else insttest::DeleteValue(HKEY_LOCAL_MACHINE, key_, name_);
  }
  RestoreValue(const RestoreValue&) = delete;
  RestoreValue& operator=(const RestoreValue&) = delete;

 private:
  const wchar_t* key_;
  const wchar_t* name_;
  insttest::RegValue old_;
};

class PageInit : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    setup_.reset(LoadLibraryExW((insttest::BinFolder() + L"setup.exe").c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    // The build puts it there: missing, the case fails.
    ASSERT_TRUE(setup_) << "setup.exe (the templates) is not built next to this test";
    ui::SetTemplateModule(setup_.get());
    insttest::FillHeader(records_.header, kKey, L"页面测试");
    parent_ = CreateWindowExW(0, L"STATIC", L"page parent", WS_OVERLAPPEDWINDOW, 0, 0, 500, 400,
                              nullptr, nullptr, nullptr, nullptr);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendor);
  }
  void TearDown() override {
    if (!setup_) return;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendor);
    DestroyWindow(parent_);
    ui::SetTemplateModule(nullptr);
  }

  ui::Module setup_;
  insttest::Records records_;
  HWND parent_ = nullptr;
};

TEST_F(PageInit, FolderIsProposedUnderProgramFiles) {
  CKL_Install_SelectDir page;
  ASSERT_NE(page.Create(parent_), nullptr);
  const std::wstring expected =
      insttest::ShellFolder(CSIDL_PROGRAM_FILES) + kKey + L"\\";
  EXPECT_EQ(page.ItemText(IDC_INSTALL_DIR), expected);
  EXPECT_TRUE(IsWindowEnabled(page.Item(IDC_INSTALL_DIR)));
  EXPECT_FALSE(page.locked());
  EXPECT_EQ(SendMessageW(page.Item(IDC_INSTALL_DIR), EM_GETLIMITTEXT, 0, 0), 259);
}

TEST_F(PageInit, EarlierInstallLocksTheFolder) {
  SetText(HKEY_LOCAL_MACHINE, kVendor, L"KMEInstallPath", L"D:\\Earlier\\Kelo\\");
  CKL_Install_SelectDir page;
  ASSERT_NE(page.Create(parent_), nullptr);
  EXPECT_EQ(page.ItemText(IDC_INSTALL_DIR), L"D:\\Earlier\\Kelo\\");
  EXPECT_FALSE(IsWindowEnabled(page.Item(IDC_INSTALL_DIR)));
  EXPECT_TRUE(page.locked());
}

TEST_F(PageInit, LockValueLongerThanTheReadCountsAsMissing) {
  SetText(HKEY_LOCAL_MACHINE, kVendor, L"KMEInstallPath", L"D:\\" + std::wstring(200, L'x'));
  CKL_Install_SelectDir page;
  ASSERT_NE(page.Create(parent_), nullptr);
  EXPECT_FALSE(page.locked());
  EXPECT_TRUE(IsWindowEnabled(page.Item(IDC_INSTALL_DIR)));
  EXPECT_EQ(page.ItemText(IDC_INSTALL_DIR),
            insttest::ShellFolder(CSIDL_PROGRAM_FILES) + kKey + L"\\");
}

TEST_F(PageInit, OwnerAndCompanyAreReadOnceThenTakenFromTheEdits) {
  const RestoreValue owner(kNtKey, L"RegisteredOwner");
  const RestoreValue company(kNtKey, L"RegisteredOrganization");
  struct ClearBuffers {  // the page's once-read buffers, for the next case
    ~ClearBuffers() {
      g_regOwner[0] = 0;
      g_regCompany[0] = 0;
    }
  } clear;
  SetText(HKEY_LOCAL_MACHINE, kNtKey, L"RegisteredOwner", L"注册用户");
  SetText(HKEY_LOCAL_MACHINE, kNtKey, L"RegisteredOrganization", L"注册公司");
  g_regOwner[0] = 0;
  g_regCompany[0] = 0;
  {
    CKL_Install_User page;
    ASSERT_NE(page.Create(parent_), nullptr);
    EXPECT_EQ(page.ItemText(IDC_OWNER), L"注册用户");
    EXPECT_EQ(page.ItemText(IDC_COMPANY), L"注册公司");
    page.SetItemText(IDC_OWNER, L"改过的用户");
    const wchar_t* owner = nullptr;
    const wchar_t* company = nullptr;
    page.GetUser(&owner, &company);
    EXPECT_STREQ(owner, L"改过的用户");
    EXPECT_STREQ(company, L"注册公司");
  }
  // A second page start keeps the buffers: the registry is not read again.
  SetText(HKEY_LOCAL_MACHINE, kNtKey, L"RegisteredOwner", L"另一个用户");
  {
    CKL_Install_User page;
    ASSERT_NE(page.Create(parent_), nullptr);
    EXPECT_EQ(page.ItemText(IDC_OWNER), L"改过的用户");
  }
}

TEST_F(PageInit, ProgressListHasOneFullRowColumn) {
  CKL_Install_Begain page;
  ASSERT_NE(page.Create(parent_), nullptr);
  HWND list = page.Item(IDC_PROGRESS_LIST);
  wchar_t heading[64] = {};
  LVCOLUMNW column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = heading;
  column.cchTextMax = 64;
  ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, 0, reinterpret_cast<LPARAM>(&column)));
  EXPECT_STREQ(heading, L"安装详细信息");
  EXPECT_EQ(column.cx, 330);
  EXPECT_FALSE(SendMessageW(list, LVM_GETCOLUMNW, 1, reinterpret_cast<LPARAM>(&column)));
  EXPECT_TRUE(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);
}

}  // namespace
