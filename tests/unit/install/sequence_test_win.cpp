// The install sequence end to end: the sample package extracted the way
// start-up does it and installed from a page whose list and bar are read
// back; failing steps; the repair entry; a target in use.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <shobjidl.h>

#include "app/package_prep_win.h"
#include "install/sequence_win.h"
#include "install_test_util_win.h"
#include "machine_snapshot_win.h"
#include "package/pe_layout.h"

namespace {

using insttest::Exists;
using insttest::Link;
using insttest::LinksIn;
using insttest::OwnerPage;
using insttest::ReadLink;
using insttest::ReadValue;
using insttest::Records;

const wchar_t kVerify[] = L"验证安装信息....";
const wchar_t kStart[] = L"开始安装....";
const wchar_t kStep1[] = L"  1.创建文件系统....";
const wchar_t kStep2[] = L"  2.设置软件运行环境...";
const wchar_t kStep3[] = L"  3.写入卸载信息...";
const wchar_t kStep4[] = L"  4.备份安装数据...";
const wchar_t kStep5[] = L"  5.创建开始菜单及桌面快捷方式...";
const wchar_t kStep6[] = L"  6.清除安装程序创建的临时文件...";
const wchar_t kDone[] = L"安装程序已经完成所有工作!";
const wchar_t kDoneRestart[] = L"安装程序已经完成所有工作,但部分设置在重新启动以后方能生效!";
const wchar_t kFailed[] = L"安装程序发生错误，所做操作已经撤销!";

using Lines = std::vector<std::wstring>;
const std::vector<int> kSuccessPositions = {0, 1, 2, 42, 72, 82, 82, 95, 100};

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return n && n < MAX_PATH ? full : path;
}

// The one link of folder whose name ends with suffix.
std::wstring FindLink(const std::wstring& folder, const std::wstring& suffix) {
  for (const auto& n : LinksIn(folder))
    if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
      return folder + n;
  return L"";
}

std::wstring SampleSetup() { return FullPath(insttest::BinFolder() + L"..\\sample-setup.exe"); }

// A run of the sequence on a worker thread, this thread pumping for the page.
bool InstallPumping(OwnerPage& page, const std::wstring& dir, const wchar_t* user = L"测试用户",
                    const wchar_t* company = L"测试公司") {
  bool ok = false;
  insttest::RunPumping(
      [&] { ok = InstallFromWizard(page.page(), dir.c_str(), user, company); });
  return ok;
}

// ---- the sample package, all the way --------------------------------------------

class SampleInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    setup = SampleSetup();
    // The build makes it (scripts/pack-sample.sh): missing, the case fails.
    ASSERT_TRUE(Exists(setup)) << "no sample package at " << kl::ToUtf8(setup.c_str())
                               << " (make it with scripts/pack-sample.sh)";
    CoInitialize(nullptr);
    work = insttest::TempFolder() + L"KlSeqSampleWork\\";
    installDir = insttest::ShellFolder(CSIDL_PROGRAM_FILES) + L"KeloSample";  // no backslash
    Clean();
    CreateDirectoryW(work.c_str(), nullptr);
    LaunchInfo& l = records.launch;
    kl::Copy(l.modulePath, setup.c_str());
    kl::Copy(l.workFolder, work.c_str());
    // The working copy's arguments as the relaunch writes them (no other
    // arguments): " file=<the setup the user started>".
    kl::Format(l.commandLine, L" file=%s", setup.c_str());
    ASSERT_TRUE(PrepareInstallPackage());
    ASSERT_TRUE(ExtractPackage(l));
    std::vector<unsigned char> kif;
    ASSERT_TRUE(insttest::ReadAll(std::wstring(l.extractFolder) + L"InstallInfo.kif", &kif));
    ASSERT_GE(kif.size(), kPackageHeaderSize);
    memcpy(&records.header, kif.data(), kPackageHeaderSize);
    ASSERT_STREQ(records.header.imeName, L"KeloSample");
  }
  void TearDown() override {
    if (setup.empty() || !Exists(setup)) return;
    Clean();
    CoUninitialize();
  }
  void Clean() {
    insttest::Uninstall(L"KeloSample", L"可乐示例输入法", installDir + L"\\",
                        {L"KeloSample_sys.dll"}, {L"KeloSample_win.dat"}, {L"KeloSampleSans.ttf"},
                        {L"KeloSampleSans(TrueType)"});
    insttest::RemoveTree(work);
  }

  Records records;
  std::wstring setup, work, installDir;
};

TEST_F(SampleInstall, FullRunPlacesRegistersAndReportsEverything) {
  OwnerPage page;
  ASSERT_TRUE(InstallPumping(page, installDir));
  const std::wstring dir = installDir + L"\\";
  const PackageHeader& h = records.header;

  // Progress: every line in order, every position.
  const Lines lines = {kVerify, kStart, kStep1, kStep2, kStep3, kStep4, kStep5, kStep6, kDone};
  EXPECT_EQ(page.Lines(), lines);
  EXPECT_EQ(page.positions(), kSuccessPositions);
  EXPECT_EQ(page.barPos(), 100);

  // Files.
  for (const wchar_t* f : {L"config.exe", L"main.chm", L"mb.dll", L"skin.dll", L"License.html",
                           L"ITF\\Interface.dll", L"prismic\\classic.zip", L"prismic\\ocean.zip",
                           L"unstall.exe", L"_backup_.dat"})
    EXPECT_TRUE(Exists(dir + f)) << kl::ToUtf8(f);
  for (const wchar_t* f : {L"InstallInfo.kif", L"KeloSample.ime", L"$system32$", L"$windows$",
                           L"$fonts$", L"$dataFiles$"})
    EXPECT_FALSE(Exists(dir + f)) << kl::ToUtf8(f);
  EXPECT_FALSE(Exists(work));
  EXPECT_TRUE(Exists(insttest::SystemDir() + L"KeloSample_sys.dll"));
  EXPECT_TRUE(Exists(insttest::SystemDir() + L"KeloSample.kelo.ime"));
  EXPECT_TRUE(Exists(insttest::WindowsDir() + L"KeloSample_win.dat"));
  EXPECT_TRUE(Exists(insttest::ShellFolder(CSIDL_FONTS) + L"KeloSampleSans.ttf"));
  auto font = ReadValue(HKEY_LOCAL_MACHINE, insttest::kFontsKey, L"KeloSampleSans(TrueType)");
  EXPECT_EQ(font.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(font.text, L"KeloSampleSans.ttf");
  EXPECT_EQ(font.bytes, (font.text.size() + 1) * 2);
  wchar_t data[kPathChars];
  ASSERT_TRUE(GetProductDataFolder(L"KeloSample", data));
  EXPECT_TRUE(Exists(std::wstring(data) + L"config.ksc"));
  const bool userWords = Exists(std::wstring(data) + L"danzi.kmi");
  EXPECT_TRUE(userWords);

  // The uninstaller is the bare program; the backup is the package part.
  std::vector<unsigned char> setupBytes, backup, uninstaller;
  ASSERT_TRUE(insttest::ReadAll(setup, &setupBytes));
  const uint32_t programSize = ReadPackageOffset(setupBytes.data(), setupBytes.size());
  ASSERT_GT(programSize, 0u);
  ASSERT_TRUE(insttest::ReadAll(dir + L"_backup_.dat", &backup));
  EXPECT_TRUE(backup == std::vector<unsigned char>(setupBytes.begin() + programSize,
                                                  setupBytes.end()));
  ASSERT_TRUE(insttest::ReadAll(dir + L"unstall.exe", &uninstaller));
  EXPECT_TRUE(uninstaller == std::vector<unsigned char>(setupBytes.begin(),
                                                       setupBytes.begin() + programSize));

  // Registry records.
  for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    auto v = ReadValue(hive, L"Software\\zorbl\\KeloSample", L"KMEInstallPath");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.text, dir);
    EXPECT_EQ(v.bytes, (dir.size() + 1) * 2);
  }
  const std::wstring key = std::wstring(insttest::kUninstallRoot) + L"KeloSample";
  const std::pair<const wchar_t*, std::wstring> values[] = {
      {L"RegOwner", L"测试用户"},
      {L"RegCompany", L"测试公司"},
      {L"DisplayName", h.displayName},
      {L"Comments", h.comments},
      {L"DisplayVersion", h.displayVersion},
      {L"DisplayIcon", dir + L"unstall.exe"},
      {L"Contact", h.contact},
      {L"Publisher", h.publisher},
      {L"URLInfoAbout", h.urlInfoAbout},
      {L"URLUpdateInfo", h.urlUpdateInfo},
      {L"HelpLink", L"http://127.0.0.1/kelosample/help.html"},
      {L"HelpTelephone", h.helpTelephone},
      {L"UninstallString", L"\"" + dir + L"Unstall.exe\" -u name=[KeloSample]"},
      {L"InstallLocation", dir},
      {L"InstallSource", setup},
      {L"ModifyPath", L"\"" + dir + L"Unstall.exe\" -r name=[KeloSample]"},
  };
  for (const auto& e : values) {
    auto v = ReadValue(HKEY_LOCAL_MACHINE, key, e.first);
    ASSERT_TRUE(v.found) << kl::ToUtf8(e.first);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ)) << kl::ToUtf8(e.first);
    EXPECT_EQ(v.text, e.second) << kl::ToUtf8(e.first);
    EXPECT_EQ(v.bytes, (e.second.size() + 1) * 2) << kl::ToUtf8(e.first);
  }
  EXPECT_EQ(std::wstring(h.displayName), L"可乐示例输入法");

  // The input method.
  EXPECT_NE(FindLayoutByImeFile(L"KeloSample.kelo.ime"), nullptr);

  // Links: the tools folder holds five (the user-word data file exists).
  const std::wstring programs = insttest::ShellFolder(CSIDL_COMMON_PROGRAMS);
  const std::wstring product = programs + L"可乐示例输入法\\";
  const std::wstring tools = product + L"更多工具\\";
  EXPECT_EQ(LinksIn(tools).size(), userWords ? 5u : 4u);
  EXPECT_EQ(LinksIn(product).size(), 3u);
  struct Expected {
    std::wstring folder, suffix, target, arguments, description;
    int icon;
  };
  const Expected links[] = {
      {product, L"系统设置.lnk", dir + L"config.exe", L"/n 'KeloSample'",
       L"可乐示例输入法 的使用习惯更改和设定", 0},
      {product, L"使用帮助.lnk", dir + L"main.chm", L"", L"查看 可乐示例输入法 的详细帮助文档", 0},
      {product, L"检查更新.lnk", dir + L"Unstall.exe", L"-g name=[KeloSample]",
       L"检查 可乐示例输入法 的最新服务器版本", 0},
      {tools, L"码表查询.lnk", dir + L"config.exe", L"/n 'KeloSample' /do mabiaochaxun",
       L"查询 可乐示例输入法 中的编码定义", 2},
      {tools, L"按键功能.lnk", dir + L"config.exe", L"/n 'KeloSample' /do anjianshezhi",
       L"更改或定义 可乐示例输入法 按键功能", 3},
      {tools, L"添加用户词.lnk", dir + L"config.exe", L"/n 'KeloSample' /do tianjiayonghuci",
       L"可乐示例输入法 用户词添加操作", 6},
      {tools, L"修复安装.lnk", dir + L"Unstall.exe", L"-r name=[KeloSample]",
       L"修复 可乐示例输入法 至新安装状态", 0},
      {tools, L"卸载软件.lnk", dir + L"Unstall.exe", L"-u name=[KeloSample]",
       L"卸载 可乐示例输入法 程序", 0},
  };
  for (const Expected& e : links) {
    const std::wstring path = FindLink(e.folder, e.suffix);
    ASSERT_FALSE(path.empty()) << kl::ToUtf8(e.suffix.c_str());
    Link l = ReadLink(path);
    ASSERT_TRUE(l.loaded) << kl::ToUtf8(path.c_str());
    EXPECT_EQ(_wcsicmp(l.target.c_str(), e.target.c_str()), 0) << kl::ToUtf8(l.target.c_str());
    EXPECT_EQ(l.arguments, e.arguments);
    EXPECT_EQ(l.description, e.description);
    EXPECT_EQ(l.iconIndex, e.icon);
    EXPECT_EQ(l.workingDir, dir);
  }

  // A backup that is another product's repairs nothing.
  CreateDirectoryW(work.c_str(), nullptr);
  kl::Copy(records.session.installDir, dir.c_str());
  kl::Copy(records.session.imeName, L"KeloOther");
  records.launch.programCopyPath[0] = 0;
  DeleteFileW((dir + L"config.exe").c_str());
  {
    OwnerPage otherPage;
    InstallContext other = InitInstallContext(otherPage.page(), nullptr);
    RunRepairInstall(other, L"测试用户", L"测试公司");
    EXPECT_TRUE(otherPage.Lines().empty());
    EXPECT_FALSE(Exists(dir + L"config.exe"));
  }

  // A repair reinstalls from the backup and leaves it as it is.
  CreateDirectoryW(work.c_str(), nullptr);
  kl::Copy(records.session.imeName, L"KeloSample");
  OwnerPage repairPage;
  InstallContext repair = InitInstallContext(repairPage.page(), nullptr);
  RunRepairInstall(repair, L"测试用户", L"测试公司");
  EXPECT_EQ(repair.header, nullptr);
  EXPECT_EQ(repairPage.Lines(), lines);
  EXPECT_EQ(repairPage.positions(), kSuccessPositions);
  EXPECT_TRUE(Exists(dir + L"config.exe"));
  std::vector<unsigned char> after;
  ASSERT_TRUE(insttest::ReadAll(dir + L"_backup_.dat", &after));
  EXPECT_TRUE(after == backup);
  EXPECT_EQ(std::wstring(records.launch.packagePath), dir + L"_backup_.dat");
  EXPECT_FALSE(Exists(work));
}

// ---- a failed run takes back what it created, and only that ---------------------

TEST_F(SampleInstall, FailedRunLeavesTheMachineAsItWas) {
  const insttest::MachineSnapshot before({installDir});
  // Step 4 cannot copy a package that is not there: files in every
  // destination, the font, both vendor keys, the layout and the uninstall
  // record exist by then.
  kl::Copy(records.launch.packagePath, L"C:\\no such folder\\package.cab");
  OwnerPage page;
  EXPECT_FALSE(InstallPumping(page, installDir));
  EXPECT_EQ(page.Lines().back(), kFailed);
  EXPECT_EQ(page.barPos(), 82);
  EXPECT_EQ(before.Diff(insttest::MachineSnapshot({installDir})), L"");
  EXPECT_EQ(FindLayoutByImeFile(L"KeloSample.kelo.ime"), nullptr);
}

TEST_F(SampleInstall, FailedRunOverAnInstallKeepsTheInstalledProduct) {
  OwnerPage first;
  ASSERT_TRUE(InstallPumping(first, installDir));
  // The first run used up the extraction: unpack the package again.
  CreateDirectoryW(work.c_str(), nullptr);
  ASSERT_TRUE(PrepareInstallPackage());
  ASSERT_TRUE(ExtractPackage(records.launch));
  DeleteFileW((installDir + L"\\mb.dll").c_str());  // a file the second run puts back

  const insttest::MachineSnapshot before({installDir});
  kl::Copy(records.launch.packagePath, L"C:\\no such folder\\package.cab");
  OwnerPage second;
  EXPECT_FALSE(InstallPumping(second, installDir));
  EXPECT_EQ(second.Lines().back(), kFailed);
  // Everything the first install made stays, with the same data; what the
  // second run added (mb.dll, a second layout on some systems) is gone.
  EXPECT_EQ(before.Diff(insttest::MachineSnapshot({installDir})), L"");
  EXPECT_NE(FindLayoutByImeFile(L"KeloSample.kelo.ime"), nullptr);
  EXPECT_FALSE(Exists(installDir + L"\\mb.dll"));
}

TEST_F(SampleInstall, SetupWhosePathHoldsABracketIsTheWholeInstallSource) {
  // A browser saves a second download as "setup[1].exe".
  const std::wstring folder = insttest::TempFolder() + L"KlSeq download\\";
  struct RemoveFolder {
    std::wstring path;
    ~RemoveFolder() { insttest::RemoveTree(path); }
  } removeFolder{folder};
  insttest::RemoveTree(folder);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring started = folder + L"setup[1].exe";
  ASSERT_TRUE(CopyFileW(setup.c_str(), started.c_str(), FALSE));
  kl::Format(records.launch.commandLine, L" file=%s", started.c_str());

  OwnerPage page;
  ASSERT_TRUE(InstallPumping(page, installDir));
  const std::wstring key = std::wstring(insttest::kUninstallRoot) + L"KeloSample";
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, key, L"InstallSource").text, started);
}

// ---- small products: failures and edge cases ------------------------------------

class SmallInstall : public ::testing::Test {
 protected:
  void Prepare(const wchar_t* key, const wchar_t* display) {
    key_ = key;
    display_ = display;
    CoInitialize(nullptr);
    insttest::FillHeader(records.header, key, display);
    installDir = insttest::TempFolder() + L"KlSeqInstall_" + key;  // no backslash
    Clean();
    insttest::MakeSmallProduct(records.launch, std::wstring(L"KlSeqWork_") + key, key);
  }
  void TearDown() override {
    if (key_.empty()) return;
    Clean();
    insttest::RemoveTree(records.launch.workFolder);
    CoUninitialize();
  }
  void Clean() {
    insttest::Uninstall(key_.c_str(), display_.c_str(), installDir + L"\\",
                        {key_ + L"_sys.dat"}, {key_ + L"_win.dat"});
  }

  Records records;
  std::wstring key_, display_, installDir;
};

TEST_F(SmallInstall, WithoutAnUninstallerStepOneFails) {
  Prepare(L"KlSeqFail1", L"失败一");
  DeleteFileW(records.launch.programCopyPath);
  OwnerPage page;
  EXPECT_FALSE(InstallPumping(page, installDir));
  EXPECT_EQ(page.Lines(), (Lines{kVerify, kStart, kStep1, kFailed}));
  EXPECT_EQ(page.positions(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(page.barPos(), 2);
  EXPECT_FALSE(Exists(records.launch.workFolder));
  EXPECT_FALSE(Exists(installDir + L"\\InstallInfo.kif"));
  // Nothing of the later steps happened.
  EXPECT_FALSE(insttest::KeyExists(HKEY_CURRENT_USER, L"Software\\zorbl\\KlSeqFail1"));
}

TEST_F(SmallInstall, ModuleThatCannotBeCopiedFailsStepTwoWithItsLine) {
  Prepare(L"KlSeqFail2", L"失败二");
  DeleteFileW((std::wstring(records.launch.extractFolder) + L"KlSeqFail2.ime").c_str());
  OwnerPage page;
  EXPECT_FALSE(InstallPumping(page, installDir));
  const std::wstring copyLine =
      L"复制IME文件到系统目录发生错误，复制文件路径：" + installDir + L"\\KlSeqFail2.ime";
  EXPECT_EQ(page.Lines(), (Lines{kVerify, kStart, kStep1, kStep2, copyLine, kFailed}));
  EXPECT_EQ(page.barPos(), 42);
  // The vendor key came before the module; the failed run took it back.
  EXPECT_FALSE(insttest::KeyExists(HKEY_CURRENT_USER, L"Software\\zorbl\\KlSeqFail2"));
  EXPECT_FALSE(Exists(installDir));
  EXPECT_FALSE(Exists(records.launch.workFolder));
}

TEST_F(SmallInstall, BackupThatCannotBeWrittenFailsAt82) {
  Prepare(L"KlSeqFail4", L"失败四");
  kl::Copy(records.launch.packagePath, L"C:\\no such folder\\package.cab");
  OwnerPage page;
  EXPECT_FALSE(InstallPumping(page, installDir));
  EXPECT_EQ(page.Lines(), (Lines{kVerify, kStart, kStep1, kStep2, kStep3, kStep4, kFailed}));
  EXPECT_EQ(page.positions(), (std::vector<int>{0, 1, 2, 42, 72, 82}));
  EXPECT_EQ(page.barPos(), 82);
  EXPECT_FALSE(Exists(installDir + L"\\_backup_.dat"));
  EXPECT_FALSE(Exists(installDir + L"\\InstallInfo.kif"));
  EXPECT_FALSE(Exists(records.launch.workFolder));
  // What steps 1 to 3 created was taken back.
  EXPECT_FALSE(Exists(installDir));
  EXPECT_FALSE(insttest::KeyExists(HKEY_LOCAL_MACHINE,
                                   std::wstring(insttest::kUninstallRoot) + L"KlSeqFail4"));
}

TEST_F(SmallInstall, TrailingBackslashIsAddedEverywhere) {
  Prepare(L"KlSeqSlash", L"斜杠测试");
  OwnerPage page;
  InstallContext context = InitInstallContext(page.page(), &records.header);
  bool ok = false;
  insttest::RunPumping([&] {
    ok = RunInstall(context, installDir.c_str(), L"u", L"c");
  });
  ASSERT_TRUE(ok);
  const std::wstring dir = installDir + L"\\";
  EXPECT_EQ(std::wstring(context.installDir), dir);
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, L"Software\\zorbl\\KlSeqSlash", L"KMEInstallPath").text,
            dir);
  const std::wstring key = std::wstring(insttest::kUninstallRoot) + L"KlSeqSlash";
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, key, L"InstallLocation").text, dir);
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, key, L"DisplayIcon").text, dir + L"unstall.exe");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, key, L"HelpLink").text, dir + L"main.chm");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, key, L"UninstallString").text,
            L"\"" + dir + L"Unstall.exe\" -u name=[KlSeqSlash]");
  EXPECT_TRUE(Exists(dir + L"_backup_.dat"));
  // Without the user-word file the tools folder holds four links.
  const std::wstring tools = insttest::ShellFolder(CSIDL_COMMON_PROGRAMS) + L"斜杠测试\\更多工具\\";
  EXPECT_EQ(LinksIn(tools).size(), 4u);
  EXPECT_EQ(page.Lines().back(), kDone);
  EXPECT_EQ(context.restartNeeded, 0);
}

TEST_F(SmallInstall, DisplayNameUnfitForFoldersLeavesLinksOut) {
  Prepare(L"KlSeqBadName", L"坏名<字>?");
  OwnerPage page;
  ASSERT_TRUE(InstallPumping(page, installDir));
  EXPECT_EQ(page.Lines().back(), kDone);
  EXPECT_EQ(page.positions(), kSuccessPositions);
  EXPECT_TRUE(LinksIn(insttest::ShellFolder(CSIDL_COMMON_PROGRAMS) + L"坏名<字>?\\").empty());
  EXPECT_NE(FindLayoutByImeFile(L"KlSeqBadName.kelo.ime"), nullptr);
}

TEST_F(SmallInstall, WithoutOwnerNothingIsReportedAndNoStepFails) {
  Prepare(L"KlSeqQuiet", L"安静测试");
  InstallContext context = InitInstallContext(nullptr, &records.header);
  EXPECT_TRUE(RunInstall(context, installDir.c_str(), L"u", L"c"));
  EXPECT_EQ(context.progressPos, 100);
  EXPECT_TRUE(Exists(installDir + L"\\_backup_.dat"));
}

TEST_F(SmallInstall, TargetInUseEndsWithTheRestartLine) {
  Prepare(L"KlSeqBusy", L"占用测试");
  const std::wstring dir = installDir + L"\\";
  CreateDirectoryW(dir.c_str(), nullptr);
  ASSERT_TRUE(insttest::WriteAll(dir + L"main.chm", "old help"));
  testfs::HeldFile holder(dir + L"main.chm", 10000);
  ASSERT_TRUE(holder.ok());

  OwnerPage page;
  const bool ok = InstallPumping(page, installDir);
  holder.Release();
  ASSERT_TRUE(ok);
  EXPECT_EQ(page.Lines().back(), kDoneRestart);
  EXPECT_EQ(page.positions(), kSuccessPositions);
}

TEST_F(SmallInstall, EmptyInstallDirectoryFailsBeforeAnyStep) {
  Prepare(L"KlSeqNoDir", L"无目录");
  OwnerPage page;
  EXPECT_FALSE(InstallPumping(page, L""));
  EXPECT_EQ(page.Lines(), (Lines{kVerify, kFailed}));
  EXPECT_EQ(page.positions(), std::vector<int>{0});
  EXPECT_FALSE(Exists(records.launch.workFolder));
  EXPECT_FALSE(insttest::KeyExists(HKEY_CURRENT_USER, L"Software\\zorbl\\KlSeqNoDir"));
}

TEST_F(SmallInstall, LongestInstallDirectoryIsCutNotOverrun) {
  Prepare(L"KlSeqLong", L"长目录");
  records.launch.programCopyPath[0] = 0;  // nothing may be placed under the cut name
  InstallContext context = InitInstallContext(nullptr, &records.header);
  const std::wstring longDir = L"C:\\" + std::wstring(300, L'x');
  EXPECT_FALSE(RunInstall(context, longDir.c_str(), L"u", L"c"));
  EXPECT_EQ(kl::StrLen(context.installDir, kPathChars), kPathChars - 1);
  EXPECT_EQ(std::wstring(context.installDir), longDir.substr(0, kPathChars - 1));
  insttest::RemoveTree(longDir.substr(0, kPathChars - 1));
}

TEST_F(SmallInstall, RepairWithoutBackupAddsNothing) {
  Prepare(L"KlSeqNoBackup", L"无备份");
  kl::Copy(records.session.installDir, (installDir + L"\\").c_str());
  OwnerPage page;
  InstallContext context = InitInstallContext(page.page(), nullptr);
  RunRepairInstall(context, L"u", L"c");
  EXPECT_TRUE(page.Lines().empty());
  EXPECT_EQ(context.header, nullptr);
}

}  // namespace
