// File placement: the four token folders, fonts and their registry values,
// the uninstaller copy, and a target that is in use.
#include <gtest/gtest.h>

#include "install/placement_win.h"
#include "install_test_util_win.h"

namespace {

using insttest::Exists;
using insttest::ReadValue;
using insttest::Records;

// The pending restart replacements as (source, target) pairs in one list.
std::vector<std::wstring> PendingRenames() {
  std::vector<std::wstring> out;
  ui::RegKey k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, insttest::kSessionManager, 0, KEY_QUERY_VALUE, k.out()) !=
      ERROR_SUCCESS)
    return out;
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(k.get(), L"PendingFileRenameOperations", nullptr, &type, nullptr,
                       &bytes) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ)
    return out;
  std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, 0);
  if (RegQueryValueExW(k.get(), L"PendingFileRenameOperations", nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS)
    return out;
  const size_t n = bytes / sizeof(wchar_t);
  for (size_t i = 0; i < n && data[i];) {
    std::wstring from(&data[i]);
    i += from.size() + 1;
    std::wstring to(i < n ? &data[i] : L"");
    i += to.size() + 1;
    out.push_back(from);
    out.push_back(to);
  }
  return out;
}

// A path of the list without its "!" (replace) and "\??\" prefixes.
std::wstring Unprefixed(std::wstring path) {
  if (!path.empty() && path[0] == L'!') path.erase(0, 1);
  if (path.rfind(L"\\??\\", 0) == 0) path.erase(0, 4);
  return path;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

TEST(FontValueName, TrueTypeAndCollections) {
  wchar_t name[64];
  ASSERT_TRUE(FontValueName(L"Alpha.ttf", name));
  EXPECT_STREQ(name, L"Alpha(TrueType)");
  ASSERT_TRUE(FontValueName(L"Beta.ttc", name));
  EXPECT_STREQ(name, L"Beta.ttc(TrueType-C)");
  ASSERT_TRUE(FontValueName(L"Two.ttf.ttc", name));  // ".ttf" wins, cut at its first place
  EXPECT_STREQ(name, L"Two(TrueType)");
  EXPECT_FALSE(FontValueName(L"GAMMA.TTF", name));
  EXPECT_FALSE(FontValueName(L"readme.txt", name));
  // 63 characters at most, suffix included.
  const std::wstring longName = std::wstring(70, L'x') + L".ttf";
  ASSERT_TRUE(FontValueName(longName.c_str(), name));
  EXPECT_EQ(std::wstring(name), std::wstring(63, L'x'));
  const std::wstring stem60 = std::wstring(60, L'y') + L".ttf";
  ASSERT_TRUE(FontValueName(stem60.c_str(), name));
  EXPECT_EQ(std::wstring(name), std::wstring(60, L'y') + L"(Tr");
}

class Fonts : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = insttest::TempFolder() + L"KlFontTest\\";
    insttest::RemoveTree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    fonts = insttest::ShellFolder(CSIDL_FONTS);
  }
  void TearDown() override {
    for (const wchar_t* f : {L"KlTestAlpha.ttf", L"KlTestBeta.ttc", L"KLTESTGAMMA.TTF"}) {
      RemoveFontResourceW((fonts + f).c_str());
      DeleteFileW((fonts + f).c_str());
    }
    for (const wchar_t* v : {L"KlTestAlpha(TrueType)", L"KlTestBeta.ttc(TrueType-C)",
                             L"KLTESTGAMMA(TrueType)", L"KLTESTGAMMA.TTF(TrueType)"})
      insttest::DeleteValue(HKEY_LOCAL_MACHINE, insttest::kFontsKey, v);
    insttest::RemoveTree(folder);
  }
  std::wstring folder, fonts;
};

TEST_F(Fonts, InstallsAndRegistersOnlyLowerCaseFontNames) {
  std::vector<unsigned char> font;
  const std::wstring dejavu = L"Z:\\usr\\share\\fonts\\truetype\\dejavu\\DejaVuSans.ttf";
  std::string bytes = "not really a font";
  if (insttest::ReadAll(dejavu, &font)) bytes.assign(font.begin(), font.end());
  ASSERT_TRUE(insttest::WriteAll(folder + L"KlTestAlpha.ttf", bytes));
  ASSERT_TRUE(insttest::WriteAll(folder + L"KlTestBeta.ttc", bytes));
  ASSERT_TRUE(insttest::WriteAll(folder + L"KLTESTGAMMA.TTF", bytes));
  ASSERT_TRUE(insttest::WriteAll(folder + L"notes.txt", "x"));

  EXPECT_TRUE(InstallFonts(folder.c_str()));

  EXPECT_TRUE(Exists(fonts + L"KlTestAlpha.ttf"));
  EXPECT_TRUE(Exists(fonts + L"KlTestBeta.ttc"));
  EXPECT_FALSE(Exists(fonts + L"KLTESTGAMMA.TTF"));
  EXPECT_FALSE(Exists(fonts + L"notes.txt"));
  auto alpha = ReadValue(HKEY_LOCAL_MACHINE, insttest::kFontsKey, L"KlTestAlpha(TrueType)");
  ASSERT_TRUE(alpha.found);
  EXPECT_EQ(alpha.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(alpha.text, L"KlTestAlpha.ttf");
  EXPECT_EQ(alpha.bytes, (alpha.text.size() + 1) * 2);
  auto beta = ReadValue(HKEY_LOCAL_MACHINE, insttest::kFontsKey, L"KlTestBeta.ttc(TrueType-C)");
  ASSERT_TRUE(beta.found);
  EXPECT_EQ(beta.text, L"KlTestBeta.ttc");
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, insttest::kFontsKey, L"KLTESTGAMMA(TrueType)").found);
  EXPECT_FALSE(
      ReadValue(HKEY_LOCAL_MACHINE, insttest::kFontsKey, L"KLTESTGAMMA.TTF(TrueType)").found);
}

TEST_F(Fonts, MissingFolderInstallsNothingButSucceeds) {
  EXPECT_TRUE(InstallFonts((folder + L"absent\\").c_str()));
}

class Placement : public ::testing::Test {
 protected:
  void SetUp() override {
    insttest::FillHeader(records.header, L"KlPlaceTest", L"放置测试");
    insttest::MakeSmallProduct(records.launch, L"KlPlaceWork", L"KlPlaceTest");
    installDir = insttest::TempFolder() + L"KlPlaceInstall\\";
    insttest::RemoveTree(installDir);
    context = InitInstallContext(nullptr, &records.header);
    kl::Copy(context.installDir, installDir.c_str());
  }
  void TearDown() override {
    // A replacement scheduled for this run's folder, and its copy, go too.
    insttest::RemovePendingRenames(installDir);
    insttest::Uninstall(L"KlPlaceTest", nullptr, installDir, {L"KlPlaceTest_sys.dat"},
                        {L"KlPlaceTest_win.dat"});
    insttest::RemoveTree(records.launch.workFolder);
  }
  Records records;
  InstallContext context = {};
  std::wstring installDir;
};

TEST_F(Placement, TokenFoldersGoToTheirPlacesTheRestToTheInstallDirectory) {
  ASSERT_TRUE(PlaceFiles(context));
  EXPECT_TRUE(Exists(insttest::SystemDir() + L"KlPlaceTest_sys.dat"));
  EXPECT_TRUE(Exists(insttest::WindowsDir() + L"KlPlaceTest_win.dat"));
  wchar_t data[kPathChars];
  ASSERT_TRUE(GetProductDataFolder(L"KlPlaceTest", data));
  EXPECT_TRUE(Exists(std::wstring(data) + L"config.ksc"));
  for (const wchar_t* f : {L"config.exe", L"main.chm", L"KlPlaceTest.ime", L"InstallInfo.kif",
                           L"unstall.exe"})
    EXPECT_TRUE(Exists(installDir + f)) << f;
  for (const wchar_t* f : {L"$system32$", L"$windows$", L"$dataFiles$", L"$fonts$"})
    EXPECT_FALSE(Exists(installDir + f)) << f;
  EXPECT_EQ(context.restartNeeded, 0);
  // The uninstaller is the bare program copy.
  std::vector<unsigned char> a, b;
  ASSERT_TRUE(insttest::ReadAll(records.launch.programCopyPath, &a));
  ASSERT_TRUE(insttest::ReadAll(installDir + L"unstall.exe", &b));
  EXPECT_EQ(a, b);
}

TEST_F(Placement, WithoutAnyUninstallerTheStepFails) {
  DeleteFileW(records.launch.programCopyPath);
  EXPECT_FALSE(PlaceFiles(context));
  EXPECT_FALSE(Exists(installDir + L"unstall.exe"));
  // The rest was placed all the same.
  EXPECT_TRUE(Exists(installDir + L"config.exe"));
}

TEST_F(Placement, UninstallerFromThePackageIsEnoughWithoutAProgramCopy) {
  records.launch.programCopyPath[0] = 0;  // as in a repair
  insttest::WriteAll(std::wstring(records.launch.extractFolder) + L"unstall.exe", "MZ");
  EXPECT_TRUE(PlaceFiles(context));
}

TEST_F(Placement, TargetInUseIsReplacedAtRestart) {
  CreateDirectoryW(installDir.c_str(), nullptr);
  ASSERT_TRUE(insttest::WriteAll(installDir + L"main.chm", "old help"));
  testfs::HeldFile holder(installDir + L"main.chm", 10000);
  ASSERT_TRUE(holder.ok());

  EXPECT_TRUE(PlaceFiles(context));
  EXPECT_EQ(context.restartNeeded, 1);
  holder.Release();

  std::vector<unsigned char> old;
  ASSERT_TRUE(insttest::ReadAll(installDir + L"main.chm", &old));
  EXPECT_EQ(std::string(old.begin(), old.end()), "old help");

  // One pending replacement names this run's target, and its source is a
  // copy of the package's file.
  std::vector<std::wstring> sources;
  const std::vector<std::wstring> entries = PendingRenames();
  for (size_t i = 0; i + 1 < entries.size(); i += 2)
    if (SameFile(Unprefixed(entries[i + 1]), installDir + L"main.chm"))
      sources.push_back(Unprefixed(entries[i]));
  ASSERT_EQ(sources.size(), 1u) << "no single pending replacement of this run's main.chm";
  std::vector<unsigned char> copy;
  ASSERT_TRUE(insttest::ReadAll(sources[0], &copy));
  EXPECT_EQ(std::string(copy.begin(), copy.end()), "help");  // the small product's main.chm
}

}  // namespace
