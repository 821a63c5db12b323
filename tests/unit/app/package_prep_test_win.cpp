// Splitting the program's own file into the bare program and its package,
// on synthetic files made from a real executable.
#include "app/package_prep_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app_test_util_win.h"
#include "base/text.h"
#include "package/pe_layout.h"
#include "sys/fsutil_win.h"

namespace {

class PackageSplit : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = apptest::FreshFolder(L"kl startup split");
    kl::Copy(g_launch->workFolder, work_.c_str());
    input_ = work_ + L"input setup.exe";
    kl::Copy(g_launch->modulePath, input_.c_str());
    ASSERT_TRUE(apptest::ReadAll(apptest::ThisExe(), &exe_));
    ASSERT_GT(exe_.size(), 4096u);
  }
  void TearDown() override { apptest::RemoveTree(work_); }

  // The executable with loaderFlags written and extra bytes appended.
  void MakeInput(uint32_t loaderFlags, const std::vector<unsigned char>& appended) {
    std::vector<unsigned char> data = exe_;
    ASSERT_TRUE(WritePackageOffset(data.data(), data.size(), loaderFlags));
    data.insert(data.end(), appended.begin(), appended.end());
    ASSERT_TRUE(apptest::WriteAll(input_, data));
  }
  std::wstring Tmp() const { return work_ + L"klinstallbaseexe.tmp"; }
  std::wstring Cab() const { return work_ + L"klinstallbaseexe.cab"; }
  std::wstring Unstall() const { return work_ + L"unstall.exe"; }

  apptest::RecordsScope records_;
  std::wstring work_, input_;
  std::vector<unsigned char> exe_;
};

std::vector<unsigned char> Pattern(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + 3);
  return v;
}

TEST_F(PackageSplit, ValidOffsetGivesProgramAndPackage) {
  std::vector<unsigned char> package = Pattern(10007);
  MakeInput(static_cast<uint32_t>(exe_.size()), package);
  ASSERT_TRUE(PrepareInstallPackage());

  EXPECT_EQ(std::wstring(g_launch->sourcePath), input_);  // read in place, not copied
  EXPECT_EQ(std::wstring(g_launch->packagePath), Cab());
  EXPECT_EQ(std::wstring(g_launch->programCopyPath), Unstall());
  EXPECT_FALSE(apptest::Exists(Tmp()));

  std::vector<unsigned char> program, cab;
  ASSERT_TRUE(apptest::ReadAll(Unstall(), &program));
  ASSERT_TRUE(apptest::ReadAll(Cab(), &cab));
  EXPECT_EQ(cab, package);
  // The bare program is the executable with the package offset written in.
  ASSERT_EQ(program.size(), exe_.size());
  EXPECT_EQ(ReadPackageOffset(program.data(), program.size()), exe_.size());
  std::vector<unsigned char> expected = exe_;
  WritePackageOffset(expected.data(), expected.size(), static_cast<uint32_t>(exe_.size()));
  EXPECT_TRUE(program == expected);
  // The user's file is untouched.
  EXPECT_TRUE(apptest::Exists(input_));
}

TEST_F(PackageSplit, NoPackageFailsAndTemporaryCopyIsDeleted) {
  MakeInput(0, Pattern(100));
  EXPECT_FALSE(PrepareInstallPackage());
  EXPECT_FALSE(apptest::Exists(Tmp()));
  EXPECT_FALSE(apptest::Exists(Cab()));
  EXPECT_FALSE(apptest::Exists(Unstall()));
  EXPECT_TRUE(apptest::Exists(input_));
}

TEST_F(PackageSplit, OffsetBeyondFileFails) {
  MakeInput(static_cast<uint32_t>(exe_.size() + 101), Pattern(100));
  EXPECT_FALSE(PrepareInstallPackage());
  EXPECT_FALSE(apptest::Exists(Tmp()));
  EXPECT_FALSE(apptest::Exists(Cab()));
}

TEST_F(PackageSplit, OffsetAtEndLeavesNoPackageAndFails) {
  // An empty package file cannot be made; whatever was started of it is
  // left for the work-folder removal.
  MakeInput(static_cast<uint32_t>(exe_.size()), {});
  EXPECT_FALSE(PrepareInstallPackage());
  EXPECT_FALSE(apptest::Exists(Tmp()));
}

TEST_F(PackageSplit, MissingWorkFolderFailsWithoutCopying) {
  MakeInput(static_cast<uint32_t>(exe_.size()), Pattern(64));
  std::wstring missing = work_ + L"missing\\";
  kl::Copy(g_launch->workFolder, missing.c_str());
  EXPECT_FALSE(PrepareInstallPackage());
  EXPECT_FALSE(apptest::Exists(missing));
}

TEST_F(PackageSplit, UnreadableSourceFails) {
  // modulePath names nothing: the copy fails.
  kl::Copy(g_launch->modulePath, (work_ + L"no such setup.exe").c_str());
  EXPECT_FALSE(PrepareInstallPackage());
  EXPECT_FALSE(apptest::Exists(Cab()));
}

TEST_F(PackageSplit, HeaderFileIsLookedUpInExtractFolder) {
  std::wstring extract = work_ + L"KL_INSTALL\\";
  kl::Copy(g_launch->extractFolder, extract.c_str());
  wchar_t path[kPathChars];
  EXPECT_FALSE(FindPackageHeaderFile(path));
  EXPECT_EQ(std::wstring(path), extract + L"InstallInfo.kif");
  CreateDirectoryW(extract.c_str(), nullptr);
  ASSERT_TRUE(apptest::WriteAll(extract + L"InstallInfo.kif", Pattern(2668)));
  EXPECT_TRUE(FindPackageHeaderFile(path));
}

}  // namespace

#include "package_maker_win.h"

namespace {

class PackageExtract : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = apptest::FreshFolder(L"kl startup extract");
    kl::Copy(g_launch->workFolder, work_.c_str());
    kl::Copy(g_launch->packagePath, (work_ + L"klinstallbaseexe.cab").c_str());
  }
  void TearDown() override { apptest::RemoveTree(work_); }

  apptest::RecordsScope records_;
  std::wstring work_;
};

TEST_F(PackageExtract, EmptiesTheFolderAndExtractsEveryFile) {
  std::vector<unsigned char> manifest = testpkg::MakeManifest(u"KlTest", u"测试输入法");
  std::vector<unsigned char> font(5000, 0x5a);
  std::vector<cab::Entry> files = {{"InstallInfo.kif", manifest},
                                   {"$fonts$\\kltest.ttf", font},
                                   {"说明.txt", {'o', 'k'}}};
  ASSERT_TRUE(testpkg::WriteFileBytes(g_launch->packagePath, testpkg::MakeContainer(files)));
  // Left over from an earlier run: must be gone afterwards.
  std::wstring extract = work_ + L"KL_INSTALL\\";
  CreateDirectoryW(extract.c_str(), nullptr);
  ASSERT_TRUE(apptest::WriteAll(extract + L"stale.txt", std::vector<unsigned char>{1, 2, 3}));

  ASSERT_TRUE(ExtractPackage(*g_launch));
  EXPECT_EQ(std::wstring(g_launch->extractFolder), extract);
  EXPECT_FALSE(apptest::Exists(extract + L"stale.txt"));
  std::vector<unsigned char> got;
  ASSERT_TRUE(apptest::ReadAll(extract + L"InstallInfo.kif", &got));
  EXPECT_TRUE(got == manifest);
  ASSERT_TRUE(apptest::ReadAll(extract + L"$fonts$\\kltest.ttf", &got));
  EXPECT_TRUE(got == font);
  EXPECT_TRUE(apptest::Exists(extract + L"说明.txt"));
  wchar_t header[kPathChars];
  EXPECT_TRUE(FindPackageHeaderFile(header));
}

// For every file the extraction notes whether it starts like a program,
// which the move into place takes instead of reading the file again (once:
// after that the file is read).
TEST_F(PackageExtract, NotesWhichFilesStartLikeAProgram) {
  std::vector<cab::Entry> files = {{"InstallInfo.kif", testpkg::MakeManifest(u"KlTest", u"测")},
                                   {"prog.dat", {'M', 'Z', 0x90, 0}},
                                   {"words.dat", {'h', 'i'}},
                                   {"m.dat", {'M'}},
                                   {"$dataFiles$\\user.dat", {'M', 'Z'}}};
  ASSERT_TRUE(testpkg::WriteFileBytes(g_launch->packagePath, testpkg::MakeContainer(files)));
  ASSERT_TRUE(ExtractPackage(*g_launch));
  const std::wstring extract = g_launch->extractFolder;

  // The contents turned round: the notes decide, not what is read now.
  ASSERT_TRUE(apptest::WriteAll(extract + L"prog.dat", std::vector<unsigned char>{'o', 'k'}));
  ASSERT_TRUE(apptest::WriteAll(extract + L"words.dat", std::vector<unsigned char>{'M', 'Z'}));
  const auto moved = [&](const std::wstring& name) {
    const std::wstring path = extract + name;
    return UsersMayModifyMoved(path.c_str(), path.c_str());
  };
  EXPECT_FALSE(moved(L"prog.dat"));
  EXPECT_TRUE(moved(L"WORDS.DAT"));  // letter case does not count
  EXPECT_TRUE(moved(L"m.dat"));
  EXPECT_FALSE(moved(L"$dataFiles$/user.dat"));
  EXPECT_FALSE(moved(L"words.dat"));  // the note was taken: read, "MZ"
  EXPECT_TRUE(moved(L"prog.dat"));
}

TEST_F(PackageExtract, PlainCabinetIsRefusedAndPackageKept) {
  std::vector<unsigned char> plain =
      cab::BuildCabinet({{"InstallInfo.kif", testpkg::MakeManifest(u"A", u"B")}});
  ASSERT_TRUE(testpkg::WriteFileBytes(g_launch->packagePath, plain));
  EXPECT_FALSE(ExtractPackage(*g_launch));
  std::vector<unsigned char> after;
  ASSERT_TRUE(apptest::ReadAll(g_launch->packagePath, &after));
  EXPECT_TRUE(after == plain);
  wchar_t header[kPathChars];
  EXPECT_FALSE(FindPackageHeaderFile(header));
}

TEST_F(PackageExtract, MissingPackageFails) {
  EXPECT_FALSE(ExtractPackage(*g_launch));
}

}  // namespace
