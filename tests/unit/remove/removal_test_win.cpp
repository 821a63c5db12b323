// Taking the input method out of the system, window-less: which layouts
// belong to a module, the preload and control-set entries one layout loses,
// and the removal step's "nothing of ours" answer.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "../install/install_test_util_win.h"
#include "install/ime_win.h"
#include "remove/uninstall_win.h"

namespace {

using insttest::KeyExists;
using insttest::ReadValue;

constexpr wchar_t kSets[2][64] = {L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\",
                                  L"SYSTEM\\ControlSet001\\Control\\Keyboard Layouts\\"};
constexpr wchar_t kPreload[] = L"Keyboard Layout\\Preload";
constexpr wchar_t kOurs[] = L"E0FE0804";
constexpr wchar_t kOther[] = L"E0FD0804";

void SetString(HKEY hive, const std::wstring& key, const wchar_t* name, const wchar_t* data) {
  ui::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(hive, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.out(),
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                 static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t)));
}

// Two registered layouts (ours names the module in another letter case and
// with a full path, as some systems store it) and a preload list holding
// ours twice; everything is put back as it was afterwards.
class LayoutRemoval : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* set : kSets) {
      SetString(HKEY_LOCAL_MACHINE, std::wstring(set) + kOurs, L"Ime File",
                L"C:\\windows\\system32\\KLRMTEST.KELO.IME");
      SetString(HKEY_LOCAL_MACHINE, std::wstring(set) + kOther, L"Ime File", L"other.kelo.ime");
    }
    SetString(HKEY_CURRENT_USER, kPreload, L"90", L"e0fe0804");
    SetString(HKEY_CURRENT_USER, kPreload, L"91", kOurs);
    SetString(HKEY_CURRENT_USER, kPreload, L"92", kOther);
    module_ = insttest::SystemDir() + L"KlRmTest.kelo.ime";
  }
  void TearDown() override {
    for (const wchar_t* set : kSets)
      for (const wchar_t* id : {kOurs, kOther, L"E0FC0804"})
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(set) + id).c_str());
    for (const wchar_t* v : {L"90", L"91", L"92"})
      insttest::DeleteValue(HKEY_CURRENT_USER, kPreload, v);
    DeleteFileW(module_.c_str());
  }
  std::wstring module_;
};

TEST_F(LayoutRemoval, OneLayoutLosesItsFirstPreloadValueAndBothKeys) {
  const auto ids = LayoutsUsingModule(L"KlRmTest.kelo.ime");
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0], kOurs);

  RemoveLayoutById(L"e0fe0804");
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kPreload, L"90").found);
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kPreload, L"91").text, kOurs);  // only the first goes
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kPreload, L"92").text, kOther);
  for (const wchar_t* set : kSets) {
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(set) + kOurs)) << set;
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(set) + kOther)) << set;
  }
  EXPECT_TRUE(LayoutsUsingModule(L"KlRmTest.kelo.ime").empty());
}

TEST_F(LayoutRemoval, UninstallStepRemovesEveryLayoutOfTheModuleThenTheModule) {
  // A second registration of the same module, as a repeated install leaves.
  SetString(HKEY_LOCAL_MACHINE, std::wstring(kSets[0]) + L"E0FC0804", L"Ime File",
            L"klrmtest.kelo.ime");
  ASSERT_TRUE(insttest::WriteAll(module_, "module"));
  InstallSession session = {};
  kl::Copy(session.imeName, L"KlRmTest");
  UninstallContext context = {};
  context.session = &session;

  EXPECT_EQ(RemoveInputMethod(context), 1);
  EXPECT_TRUE(LayoutsUsingModule(L"KlRmTest.kelo.ime").empty());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kSets[0]) + L"E0FC0804"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kSets[0]) + kOther));
  EXPECT_FALSE(insttest::Exists(module_));

  // Nothing of the module left: the step answers 0 and leaves a module
  // file alone.
  ASSERT_TRUE(insttest::WriteAll(module_, "module"));
  EXPECT_EQ(RemoveInputMethod(context), 0);
  EXPECT_TRUE(insttest::Exists(module_));
}

}  // namespace
