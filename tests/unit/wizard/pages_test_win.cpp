// The wizard pages' own rules: the install folder composed from a base and
// the key name (an over-long one refused, never cut), what counts as a full
// folder path, and which licence address the licence dialog navigates to.
#include <windows.h>
#include <ole2.h>
#include <exdisp.h>

#include <gtest/gtest.h>

#include <string>

#include "base/format_win.h"
#include "ui/owners_win.h"
#include "wizard/pages_win.h"
#include "wizard/wizard_win.h"

namespace {

std::wstring Temp() {
  wchar_t t[MAX_PATH];
  GetTempPathW(MAX_PATH, t);
  return t;
}

bool Write(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

TEST(InstallFolder, KeyNameAndBackslashAreAppended) {
  wchar_t out[kPathChars] = L"unchanged";
  ASSERT_TRUE(CKL_Install_SelectDir::ComposeFolder(L"C:\\Program Files", L"Kelo", out));
  EXPECT_STREQ(out, L"C:\\Program Files\\Kelo\\");
  ASSERT_TRUE(CKL_Install_SelectDir::ComposeFolder(L"D:\\", L"Kelo", out));
  EXPECT_STREQ(out, L"D:\\Kelo\\");
}

TEST(InstallFolder, OverLongResultIsRefusedAndTheOldValueKept) {
  wchar_t out[kPathChars] = L"c:\\";
  // 250 characters of base + "\" + "KeloSample" + "\" > 259.
  std::wstring base = L"C:\\" + std::wstring(247, L'a');
  EXPECT_FALSE(CKL_Install_SelectDir::ComposeFolder(base.c_str(), L"KeloSample", out));
  EXPECT_STREQ(out, L"c:\\");
  // Exactly 259 characters still fits.
  std::wstring fits = L"C:\\" + std::wstring(259 - 3 - 1 - 10 - 1, L'b');
  ASSERT_TRUE(CKL_Install_SelectDir::ComposeFolder(fits.c_str(), L"KeloSample", out));
  EXPECT_EQ(std::wstring(out).size(), 259u);
  EXPECT_EQ(out[258], L'\\');
  EXPECT_FALSE(CKL_Install_SelectDir::ComposeFolder(L"", L"Kelo", out));
  EXPECT_FALSE(CKL_Install_SelectDir::ComposeFolder(nullptr, L"Kelo", out));
}

TEST(InstallFolder, OnlyFullPathsCount) {
  EXPECT_TRUE(IsFullFolderPath(L"C:\\Program Files\\Kelo\\"));
  EXPECT_TRUE(IsFullFolderPath(L"z:\\"));
  EXPECT_TRUE(IsFullFolderPath(L"\\\\server\\share\\Kelo"));
  EXPECT_FALSE(IsFullFolderPath(L""));
  EXPECT_FALSE(IsFullFolderPath(nullptr));
  EXPECT_FALSE(IsFullFolderPath(L"C:"));
  EXPECT_FALSE(IsFullFolderPath(L"C:relative"));
  EXPECT_FALSE(IsFullFolderPath(L"relative\\dir"));
  EXPECT_FALSE(IsFullFolderPath(L"\\rooted"));
  EXPECT_FALSE(IsFullFolderPath(L"\\\\?\\C:\\x"));
  EXPECT_FALSE(IsFullFolderPath(L"\\\\.\\pipe"));
}

class LicenceAddress : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = Temp() + L"kl licence test\\";
    CreateDirectoryW(folder_.c_str(), nullptr);
    DeleteFileW((folder_ + L"License.html").c_str());
    DeleteFileW((folder_ + L"main.chm").c_str());
  }
  void TearDown() override {
    DeleteFileW((folder_ + L"License.html").c_str());
    DeleteFileW((folder_ + L"main.chm").c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  std::wstring Address() {
    wchar_t out[kPathChars + 40] = L"stale";
    CKL_Install_Licence::LicenceAddress(folder_.c_str(), out);
    return out;
  }
  std::wstring folder_;
};

TEST_F(LicenceAddress, NoFilesNoAddress) { EXPECT_EQ(Address(), L""); }

TEST_F(LicenceAddress, HelpFileGivesThePageInsideIt) {
  ASSERT_TRUE(Write(folder_ + L"main.chm"));
  EXPECT_EQ(Address(), L"mk:@MSITStore:" + folder_ + L"main.chm::/License.html");
}

TEST_F(LicenceAddress, LicenceFileWinsOverTheHelpFile) {
  ASSERT_TRUE(Write(folder_ + L"main.chm"));
  ASSERT_TRUE(Write(folder_ + L"License.html"));
  EXPECT_EQ(Address(), folder_ + L"License.html");
}

TEST(LicenceAddressInput, EmptyOrMissingFolderGivesNothing) {
  wchar_t out[kPathChars + 40] = L"stale";
  CKL_Install_Licence::LicenceAddress(L"", out);
  EXPECT_STREQ(out, L"");
  CKL_Install_Licence::LicenceAddress(nullptr, out);
  EXPECT_STREQ(out, L"");
}

// The start-up registers the host class and the licence dialog asks again:
// both must succeed, and the class must make a web-browser control.
TEST(ActiveXHosting, RepeatedEnablingWorksAndHostsTheBrowser) {
  ASSERT_TRUE(EnableActiveXHosting());
  ASSERT_TRUE(EnableActiveXHosting());
  ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
  HWND parent = CreateWindowExW(0, L"STATIC", L"host test", WS_OVERLAPPEDWINDOW, 0, 0, 300, 300,
                                nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(parent, nullptr);
  HWND host = CreateWindowExW(0, L"AtlAxWin", KL_BROWSER_CLSID_TEXT, WS_CHILD | WS_VISIBLE, 0, 0,
                              200, 200, parent, reinterpret_cast<HMENU>(IDC_BROWSER),
                              GetModuleHandleW(nullptr), nullptr);
  EXPECT_NE(host, nullptr);
  if (host) {
    using GetControl = HRESULT(WINAPI*)(HWND, IUnknown**);
    auto get = reinterpret_cast<GetControl>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"atl.dll"), "AtlAxGetControl")));
    ASSERT_NE(get, nullptr);
    ui::ComPtr<IUnknown> control;
    ui::ComPtr<IWebBrowser2> browser;
    ASSERT_TRUE(SUCCEEDED(get(host, control.out())));
    EXPECT_TRUE(SUCCEEDED(control->QueryInterface(IID_IWebBrowser2, browser.out_void())));
  }
  DestroyWindow(parent);
  OleUninitialize();
}

}  // namespace
