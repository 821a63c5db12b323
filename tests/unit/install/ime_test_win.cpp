// IME registration against the real input-method manager: the module is
// moved into the system directory, a keyboard layout uses it, and the layout
// registrations are removed again so that runs repeat.
#include <windows.h>
#include <imm.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "install/ime_win.h"
#include "install_test_util_win.h"

namespace {

constexpr wchar_t kKey[] = L"KlImeTest";
constexpr wchar_t kModuleName[] = L"KlImeTest.kelo.ime";
// A second input method whose layout must outlive the removal of the first.
constexpr wchar_t kOtherKey[] = L"KlImeTestKeep";
constexpr wchar_t kOtherModuleName[] = L"KlImeTestKeep.kelo.ime";
constexpr wchar_t kLayoutsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";

using insttest::BinFolder;
using insttest::Exists;
using insttest::SystemDir;

std::vector<unsigned char> Bytes(const std::wstring& path) {
  std::vector<unsigned char> data;
  insttest::ReadAll(path, &data);
  return data;
}

std::wstring ImeFileOf(HKL layout) {
  wchar_t name[MAX_PATH] = {};
  ImmGetIMEFileNameW(layout, name, MAX_PATH);
  std::wstring s(name);
  return s.substr(s.find_last_of(L'\\') + 1);
}

std::vector<HKL> LoadedLayouts() {
  std::vector<HKL> list(static_cast<size_t>(GetKeyboardLayoutList(0, nullptr)));
  list.resize(static_cast<size_t>(
      GetKeyboardLayoutList(static_cast<int>(list.size()), list.data())));
  return list;
}

// "<layout id>=<Ime File>" of every registered keyboard layout whose module
// (file-name part) is not moduleName, in registry order.
std::vector<std::wstring> RegisteredLayoutsNotOf(const wchar_t* moduleName) {
  std::vector<std::wstring> out;
  ui::RegKey root;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLayoutsKey, 0, KEY_READ, root.out()) != ERROR_SUCCESS)
    return out;
  for (DWORD i = 0;; ++i) {
    wchar_t id[64];
    DWORD chars = 64;
    if (RegEnumKeyExW(root.get(), i, id, &chars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    ui::RegKey layout;
    wchar_t file[MAX_PATH] = {};
    DWORD bytes = sizeof(file) - sizeof(wchar_t);
    if (RegOpenKeyExW(root.get(), id, 0, KEY_READ, layout.out()) == ERROR_SUCCESS)
      RegQueryValueExW(layout.get(), L"Ime File", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(file), &bytes);
    // Some systems keep a full path: the file-name part counts.
    const wchar_t* name = wcsrchr(file, L'\\') ? wcsrchr(file, L'\\') + 1 : file;
    if (_wcsicmp(name, moduleName) != 0) out.push_back(std::wstring(id) + L"=" + file);
  }
  return out;
}

class RegisterImeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kl::Copy(header_.imeName, kKey);
    kl::Copy(header_.layoutText, L"中文 (简体) - 可乐注册测试");
    installDir_ = BinFolder() + L"ime_test_install\\";
    CreateDirectoryW(installDir_.c_str(), nullptr);
    target_ = SystemDir() + kModuleName;
    Cleanup();
    context_ = InitInstallContext(page_.page(), &header_);
    kl::Copy(context_.installDir, installDir_.c_str());
    // A real IME module: the sample product's, built beside this program.
    module_ = BinFolder() + L"sample\\KeloSample.ime";
    ASSERT_TRUE(Exists(module_)) << "the sample IME module (target sample_ime) is not built";
  }
  void TearDown() override {
    Cleanup();
    RemoveDirectoryW(installDir_.c_str());
  }
  void Cleanup() {
    for (const wchar_t* module : {kModuleName, kOtherModuleName}) {
      RemoveImeLayouts(module);
      DeleteFileW((SystemDir() + module).c_str());
    }
    DeleteFileW(Source().c_str());
    DeleteFileW((installDir_ + kOtherKey + L".ime").c_str());
  }
  std::wstring Source() const { return installDir_ + kKey + L".ime"; }
  bool PlaceSource() { return CopyFileW(module_.c_str(), Source().c_str(), FALSE) != 0; }

  insttest::OwnerPage page_;
  PackageHeader header_ = {};
  InstallContext context_ = {};
  std::wstring installDir_, target_, module_;
};

TEST_F(RegisterImeTest, MovesModuleIntoSystemDirectoryAndRegistersLayout) {
  ASSERT_TRUE(PlaceSource());
  wchar_t path[MAX_PATH];
  ASSERT_TRUE(MakeImeSystemPath(kKey, path));
  EXPECT_EQ(target_, path);
  EXPECT_EQ(std::wstring::npos, std::wstring(path).find(L"\\\\"));

  ASSERT_TRUE(RegisterIme(context_));
  EXPECT_FALSE(Exists(Source())) << "the module stays only in the system directory";
  ASSERT_TRUE(Exists(target_));
  EXPECT_EQ(Bytes(module_), Bytes(target_));
  EXPECT_TRUE(page_.Lines().empty());

  HKL layout = FindLayoutByImeFile(kModuleName);
  ASSERT_NE(nullptr, layout);
  EXPECT_EQ(0, _wcsicmp(kModuleName, ImeFileOf(layout).c_str()));
  EXPECT_EQ(layout, FindLayoutByImeFile(L"klimetest.KELO.IME")) << "letter case must not matter";
  EXPECT_EQ(nullptr, FindLayoutByImeFile(L"KlImeTest.ime"));

  // The registration under the layout's identifier names the module and the text.
  wchar_t id[20];
  kl::Format(id, L"%X", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(layout)));
  ui::RegKey key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                         (std::wstring(kLayoutsKey) + L"\\" + id).c_str(), 0,
                                         KEY_READ, key.out()));
  wchar_t text[64] = {};
  DWORD bytes = sizeof(text) - 2;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key.get(), L"Layout Text", nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(text), &bytes));
  EXPECT_STREQ(L"中文 (简体) - 可乐注册测试", text);
  key.reset();

  EXPECT_GE(RemoveImeLayouts(kModuleName), 1);
  EXPECT_EQ(nullptr, FindLayoutByImeFile(kModuleName));
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                         (std::wstring(kLayoutsKey) + L"\\" + id).c_str(), 0,
                                         KEY_READ, key.out()));
}

TEST_F(RegisterImeTest, MissingModuleReportsTheSourcePathAndFails) {
  EXPECT_FALSE(RegisterIme(context_));
  const std::vector<std::wstring> lines = page_.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(L"复制IME文件到系统目录发生错误，复制文件路径：" + Source(), lines[0]);
  EXPECT_FALSE(Exists(target_));
  EXPECT_EQ(nullptr, FindLayoutByImeFile(kModuleName));
}

TEST_F(RegisterImeTest, EmptyKeyNameOrNoProductFailsWithoutTouchingTheSystem) {
  header_.imeName[0] = 0;
  EXPECT_FALSE(RegisterIme(context_));
  ASSERT_EQ(1u, page_.Lines().size());
  EXPECT_FALSE(Exists(SystemDir() + L".kelo.ime"));

  context_.header = nullptr;
  EXPECT_FALSE(RegisterIme(context_));
  EXPECT_EQ(nullptr, FindLayoutByImeFile(nullptr));
  EXPECT_EQ(nullptr, FindLayoutByImeFile(L""));
  EXPECT_EQ(0, RemoveImeLayouts(L""));
}

TEST_F(RegisterImeTest, LayoutOfAnEarlierInstallIsFoundAgain) {
  ASSERT_TRUE(PlaceSource());
  ASSERT_TRUE(RegisterIme(context_));
  HKL first = FindLayoutByImeFile(kModuleName);
  ASSERT_NE(nullptr, first);

  // The install runs again over the standing registration.
  ASSERT_TRUE(PlaceSource());
  EXPECT_TRUE(RegisterIme(context_));
  EXPECT_EQ(first, FindLayoutByImeFile(kModuleName)) << "the first layout in list order";
  EXPECT_FALSE(Exists(Source()));
  EXPECT_TRUE(page_.Lines().empty());

  // A second input method installed beside it.
  PackageHeader otherHeader = header_;
  kl::Copy(otherHeader.imeName, kOtherKey);
  kl::Copy(otherHeader.layoutText, L"中文 (简体) - 可乐保留测试");
  InstallContext other = InitInstallContext(page_.page(), &otherHeader);
  kl::Copy(other.installDir, installDir_.c_str());
  ASSERT_TRUE(CopyFileW(module_.c_str(), (installDir_ + kOtherKey + L".ime").c_str(), FALSE));
  ASSERT_TRUE(RegisterIme(other));
  HKL kept = FindLayoutByImeFile(kOtherModuleName);
  ASSERT_NE(nullptr, kept);

  // Every registration of the module goes; every other layout stays, loaded
  // and registered.
  std::vector<HKL> others;
  for (HKL l : LoadedLayouts())
    if (_wcsicmp(ImeFileOf(l).c_str(), kModuleName) != 0) others.push_back(l);
  const std::vector<std::wstring> otherKeys = RegisteredLayoutsNotOf(kModuleName);
  ASSERT_EQ(1, static_cast<int>(std::count(others.begin(), others.end(), kept)));

  EXPECT_GE(RemoveImeLayouts(kModuleName), 1);
  EXPECT_EQ(nullptr, FindLayoutByImeFile(kModuleName));
  const std::vector<HKL> after = LoadedLayouts();
  for (HKL l : others)
    EXPECT_NE(after.end(), std::find(after.begin(), after.end(), l))
        << "layout " << l << " (" << kl::ToUtf8(ImeFileOf(l).c_str()) << ") was unloaded";
  EXPECT_EQ(otherKeys, RegisteredLayoutsNotOf(kModuleName));
  EXPECT_EQ(kept, FindLayoutByImeFile(kOtherModuleName));
}

TEST_F(RegisterImeTest, RemovalTakesThePreloadValuesOfTheLayoutOnly) {
  ASSERT_TRUE(PlaceSource());
  ASSERT_TRUE(RegisterIme(context_));
  HKL layout = FindLayoutByImeFile(kModuleName);
  ASSERT_NE(nullptr, layout);
  wchar_t id[20];
  kl::Format(id, L"%x", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(layout)));  // lower case

  ui::RegKey preload;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Keyboard Layout\\Preload", 0,
                                           nullptr, 0, KEY_ALL_ACCESS, nullptr, preload.out(),
                                           nullptr));
  auto set = [&](const wchar_t* name, const wchar_t* data) {
    RegSetValueExW(preload.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                   static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t)));
  };
  auto has = [&](const wchar_t* name) {
    return RegQueryValueExW(preload.get(), name, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
  };
  struct DropValues {  // whatever the case leaves, however it ends
    HKEY key;
    ~DropValues() {
      for (const wchar_t* name : {L"kltest97", L"kltest98", L"kltest99"})
        RegDeleteValueW(key, name);
    }
  } drop{preload.get()};
  set(L"kltest98", id);
  set(L"kltest99", id);
  set(L"kltest97", L"00000409");

  EXPECT_GE(RemoveImeLayouts(kModuleName), 1);
  EXPECT_FALSE(has(L"kltest98"));
  EXPECT_FALSE(has(L"kltest99"));
  EXPECT_TRUE(has(L"kltest97"));
}

}  // namespace
