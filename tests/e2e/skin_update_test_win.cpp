// The skin package dialog of the real sample install, opened by Yes to the
// driver update dialog's prismic question, under Wine against the test
// server: packages published by klpack update-tree --skins, previews beside
// the dialog (a screenshot of the transparent one), installing into the skin
// folder or skin.zip, Install and Cancel refused during the downloads, a list
// without skin packages, and hostile package names that reach no path.
//
// The sample is installed once for the suite through the wizard and removed
// at the end; each case restores the skin folder.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "../unit/install/install_test_util_win.h"
#include "sample_product_win.h"
#include "robot_win.h"
#include "screenshot_win.h"
#include "update_server_win.h"
#include "wizard_robot_win.h"

namespace {

using wizrobot::SampleSetup;

using insttest::Exists;
using testfs::ReadAll;
using testfs::WriteAll;
using Bytes = std::vector<unsigned char>;

using sample::kDisplay;
using sample::kKey;
using sample::kVendorKey;
constexpr const wchar_t* kCaption = sample::kUpdateCaption;
constexpr wchar_t kSkinCaption[] = L"prismic皮肤驱动更新";
constexpr wchar_t kPreviewCaption[] = L"图片御览";
constexpr wchar_t kBusy[] = L"更新进程正在运行，请稍候重试！";
constexpr int kSkinList = 1006, kMessages = 1006;
constexpr DWORD kTimeout = 60000;
using sample::kServerScript;
const std::wstring kSamples = kl::FromUtf8(KL_SOURCE_DIR "/samples/skins/");

using sample::InstallDir;
using sample::Narrow;
using sample::Record;
using sample::WorkFolder;
std::wstring SkinFolder() { return InstallDir() + L"prismic\\"; }

std::vector<std::wstring> Names(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) names.push_back(fd.cFileName);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

class SkinUpdate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Exists(SampleSetup())) return;
    CoInitialize(nullptr);
    Clean();
    DWORD pid = 0;
    HWND wizard =
        wizrobot::StartWizard(SampleSetup(), wizrobot::WizardCaption(kDisplay), &pid, 30000);
    if (!wizard) return;
    robot::ClickControl(wizard, wizrobot::kAccept);
    robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard, IDOK)); }, 5000);
    robot::ClickControl(wizard, IDOK);
    if (wizrobot::WaitFinished(wizard, 60000) != wizrobot::kDoneCaption) return;
    ui::Handle copy(OpenProcess(SYNCHRONIZE, FALSE, pid));
    robot::ClickControl(wizard, IDOK);
    robot::WaitExit(copy.get(), 20000);
    robot::WaitUntil([] { return !Exists(WorkFolder()); }, 10000);
    installed_ = Exists(SkinFolder());
  }

  static void TearDownTestSuite() {
    if (!Exists(SampleSetup())) return;
    Clean();
    CoUninitialize();
  }

  static void Clean() {
    for (DWORD p : robot::FindProcesses(wizrobot::kWorkingCopyTail)) robot::Kill(p);
    const std::wstring copy = insttest::TempFolder() + (wizrobot::kWorkingCopyTail + 1);
    robot::WaitUntil([&] { return DeleteFileW(copy.c_str()) || !Exists(copy); }, 10000);
    insttest::RemoveTree(WorkFolder());
    sample::RemoveInstall();
  }

  void SetUp() override {
    ASSERT_TRUE(Exists(SampleSetup()))
        << "no sample setup at " << Narrow(SampleSetup()) << " (scripts/pack-sample.sh makes it)";
    ASSERT_TRUE(installed_) << "the sample could not be installed";
    tree_ = insttest::TempFolder() + testfs::Unique(L"klskin") + L"\\";
    root_ = tree_ + L"www\\";
    for (const wchar_t* sub : {L"", L"www\\", L"www\\_supports\\", L"www\\_supports\\klime_drives\\",
                               L"www\\_supports\\klskin_prismic\\", L"skins\\"})
      ASSERT_TRUE(CreateDirectoryW((tree_ + sub).c_str(), nullptr)) << Narrow(tree_ + sub);
    ASSERT_TRUE(server_.Start(tree_, root_, kServerScript)) << "the update server did not start";
    ASSERT_TRUE(robot::SetRegistryString(HKEY_LOCAL_MACHINE, kVendorKey, L"UpdateServer",
                                         server_.Base()));
    ASSERT_TRUE(robot::SetRegistryString(HKEY_LOCAL_MACHINE, Record(), L"URLUpdateInfo", L""));
    // One planned driver of the installed version: the check asks the
    // prismic question and changes no driver.
    ASSERT_TRUE(WriteAll(root_ + L"_supports\\klime_drives\\UpdateList.txt",
                         "<TYPE=CONFIG_DRIVE><NAME=_config_><VERSION=1.0.0.1><CABURL=" +
                             Narrow(server_.Base()) + "/none.cab>\r\n"));
    skinsBefore_ = Names(SkinFolder());
  }

  void TearDown() override {
    if (!installed_) return;
    if (updater_) robot::Kill(updater_);
    server_.Stop();
    if (!Exists(SkinFolder())) MoveFileW((InstallDir() + L"prismic.keep").c_str(), SkinFolder().c_str());
    for (const std::wstring& n : Names(SkinFolder()))
      if (std::find(skinsBefore_.begin(), skinsBefore_.end(), n) == skinsBefore_.end())
        DeleteFileW((SkinFolder() + n).c_str());
    DeleteFileW((InstallDir() + L"skin.zip").c_str());
    insttest::RemoveTree(WorkFolder());
    insttest::RemoveTree(tree_);
  }

  // Publishes the given sample skins (and copies named otherwise) with
  // klpack update-tree --skins; returns the list text.
  std::string Publish(const std::vector<std::pair<std::wstring, std::wstring>>& skins) {
    for (const auto& [from, to] : skins)
      for (const wchar_t* ext : {L".zip", L".png"})
        EXPECT_TRUE(CopyFileW((kSamples + from + ext).c_str(),
                              (tree_ + L"skins\\" + to + ext).c_str(), FALSE))
            << Narrow(from + ext);
    robot::Process klpack;
    EXPECT_TRUE(robot::Start(insttest::BinFolder() + L"klpack.exe",
                             L"update-tree --skins \"" + tree_ + L"skins\" --base-url " +
                                 server_.Base() + L" -o \"" + root_ + L".\"",
                             &klpack));
    DWORD code = 1;
    EXPECT_TRUE(robot::WaitExit(klpack, 60000, &code));
    EXPECT_EQ(code, 0u) << "klpack update-tree --skins failed";
    return testfs::ReadText(root_ + L"_supports\\klskin_prismic\\updatelist.txt");
  }

  // Starts the update, answers Yes to the prismic question and waits for
  // the skin dialog.
  HWND OpenSkins() {
    robot::Process p;
    if (!robot::Start(InstallDir() + L"Unstall.exe", sample::Named(L"-g"), &p)) return nullptr;
    dialog_ = robot::WaitTopWindow(kCaption, kTimeout, robot::kDialogClass);
    if (!dialog_) return nullptr;
    updater_ = robot::WindowPid(dialog_);
    robot::MsgBox box = robot::WaitMessageBox(L"prismic驱动更新", kTimeout, updater_);
    if (!box) return nullptr;
    robot::Answer(box.hwnd, IDYES);
    skins_ = robot::WaitTopWindow(kSkinCaption, kTimeout, robot::kDialogClass, updater_);
    return skins_;
  }
  HWND List() { return robot::Control(skins_, kSkinList); }
  // The install button is disabled from before the skin list is asked for
  // until the downloads end.
  bool WaitIdle() {
    return robot::WaitUntil(
        [&] {
          return server_.Log().find("GET /_supports/klskin_prismic/updatelist.txt") !=
                     std::string::npos &&
                 robot::IsEnabled(robot::Control(skins_, IDOK));
        },
        kTimeout);
  }
  HWND Preview() { return robot::FindTopWindow(kPreviewCaption, robot::kDialogClass, updater_); }

  // Install; the skin dialog closes and the driver check ends; Exit.
  void InstallAndExit(bool expectRetry = false) {
    ASSERT_TRUE(robot::Command(skins_, IDOK));
    if (expectRetry) {
      robot::MsgBox box = robot::WaitMessageBox(L"皮肤包更新错误", kTimeout, updater_);
      ASSERT_TRUE(box) << "no retry question";
      EXPECT_EQ(box.text, L"替换目标文件失败，是否重试？");
      robot::Answer(box.hwnd, IDNO);
      ASSERT_TRUE(robot::WaitUntil([&] { return !IsWindow(box.hwnd); }, 10000));
    }
    ASSERT_TRUE(robot::WaitUntil([&] { return !IsWindow(skins_); }, kTimeout));
    ASSERT_TRUE(robot::WaitUntil(
        [&] {
          auto m = robot::ListBoxLines(robot::Control(dialog_, kMessages));
          return !m.empty() && m.back() == L"更新完毕";
        },
        kTimeout));
    ui::Handle proc(OpenProcess(SYNCHRONIZE, FALSE, updater_));
    ASSERT_TRUE(robot::Command(dialog_, IDCANCEL));
    ASSERT_TRUE(robot::WaitExit(proc.get(), 20000));
    updater_ = 0;
  }

  // Each row's count is the run's running total of downloaded bytes once the
  // row's package (sample skin `packages[i]`) has come: in bytes up to 10240,
  // else in whole KB. The totals grow by at least each package and never pass
  // what the server sent in all (the sizes of the files it was asked for).
  void ExpectByteCounts(const std::vector<std::wstring>& packages) {
    const std::vector<std::wstring> shown = robot::ListViewColumn(List(), 2);
    ASSERT_EQ(shown.size(), packages.size());
    uint64_t sent = 0;
    const std::string log = server_.Log();
    for (size_t at = log.find("GET /"); at != std::string::npos; at = log.find("GET /", at + 1)) {
      std::string path = log.substr(at + 4, log.find(' ', at + 4) - at - 4);
      path = path.substr(0, path.find('?'));
      WIN32_FILE_ATTRIBUTE_DATA a = {};
      std::wstring file = root_ + kl::FromUtf8(path.c_str() + 1);
      for (auto& c : file)
        if (c == L'/') c = L'\\';
      if (GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &a)) sent += a.nFileSizeLow;
    }
    uint64_t lowBefore = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
      unsigned long long n = 0;
      wchar_t unit[4] = {};
      ASSERT_EQ(swscanf(shown[i].c_str(), L"%llu %3ls", &n, unit), 2) << Narrow(shown[i]);
      const bool kb = std::wstring(unit) == L"KB";
      ASSERT_TRUE(kb || std::wstring(unit) == L"B") << Narrow(shown[i]);
      const uint64_t low = kb ? n * 1024 : n, high = kb ? n * 1024 + 1023 : n;
      EXPECT_EQ(kb, low > 10240) << Narrow(shown[i]);
      WIN32_FILE_ATTRIBUTE_DATA a = {};
      ASSERT_TRUE(GetFileAttributesExW((kSamples + packages[i] + L".zip").c_str(),
                                       GetFileExInfoStandard, &a));
      EXPECT_GE(high, lowBefore + a.nFileSizeLow) << "row " << i << ": " << Narrow(shown[i]);
      EXPECT_LE(low, sent) << "row " << i << ": " << Narrow(shown[i]);
      lowBefore = low;
    }
  }

  void ExpectSameFile(const std::wstring& a, const std::wstring& b) {
    Bytes x, y;
    ASSERT_TRUE(ReadAll(a, &x)) << Narrow(a);
    ASSERT_TRUE(ReadAll(b, &y)) << Narrow(b);
    EXPECT_TRUE(x == y) << Narrow(a) << " differs from " << Narrow(b);
  }

  static bool installed_;
  testsrv::UpdateServer server_;
  std::wstring tree_, root_;
  std::vector<std::wstring> skinsBefore_;
  HWND dialog_ = nullptr, skins_ = nullptr;
  DWORD updater_ = 0;
};
bool SkinUpdate::installed_ = false;

TEST_F(SkinUpdate, CheckedPackageInstalledIntoTheSkinFolderWithPreviews) {
  std::string list = Publish({{L"Alpha", L"Alpha"}, {L"Beta", L"Beta"}, {L"Alpha", L"NoPic"}});
  const std::string base = Narrow(server_.Base());
  EXPECT_EQ(list, "\xEF\xBB\xBF"
                  "<TYPE=SKINZIP><NAME=Alpha><VERSION=1.0.0.0><CABURL=" + base + "/skins/Alpha.zip>\r\n"
                  "<TYPE=SKINZIP><NAME=Beta><VERSION=1.0.0.0><CABURL=" + base + "/skins/Beta.zip>\r\n"
                  "<TYPE=SKINZIP><NAME=NoPic><VERSION=1.0.0.0><CABURL=" + base + "/skins/NoPic.zip>\r\n");
  // Hostile names next to the published ones: never a row, a request or a file.
  for (const char* hostile : {"..", "..\\\\..\\\\evil", "sub/evil", "C:evil", "evil:stream",
                              "CON", "nul.x", "evil."})
    list += std::string("<TYPE=SKINZIP><NAME=") + hostile + "><VERSION=6.6><CABURL=" + base +
            "/skins/Alpha.zip?evil>\r\n";
  ASSERT_TRUE(WriteAll(root_ + L"_supports\\klskin_prismic\\updatelist.txt", list));
  ASSERT_TRUE(server_.Rule(L"/skins/NoPic.zip.png", L"404"));

  ASSERT_NE(OpenSkins(), nullptr) << "no skin dialog after Yes";
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(robot::ListViewColumn(List(), 0), (std::vector<std::wstring>{L"Alpha", L"Beta", L"NoPic"}));
  EXPECT_EQ(robot::ListViewColumn(List(), 1),
            (std::vector<std::wstring>{L"1.0.0.0", L"1.0.0.0", L"1.0.0.0"}));
  ExpectByteCounts({L"Alpha", L"Beta", L"Alpha"});
  EXPECT_EQ(server_.Log().find("evil"), std::string::npos) << server_.Log();

  // Each row's preview beside the dialog, as large as the picture plus 25.
  RECT d = {};
  GetWindowRect(skins_, &d);
  struct Want { int row, width, height; };
  for (const Want& w : {Want{0, 120, 60}, Want{1, 100, 80}}) {
    ASSERT_TRUE(robot::SelectListViewRow(List(), w.row));
    HWND preview = nullptr;
    ASSERT_TRUE(robot::WaitUntil([&] {
      preview = Preview();
      RECT r = {};
      return preview && IsWindowVisible(preview) && GetWindowRect(preview, &r) &&
             r.right - r.left == w.width;
    }, 10000)) << "row " << w.row;
    RECT r = {};
    GetWindowRect(preview, &r);
    EXPECT_EQ(r.left, d.right + 5);
    EXPECT_EQ(r.top, d.top);
    EXPECT_EQ(r.bottom - r.top, w.height + 25);
    EXPECT_NE(GetForegroundWindow(), preview);
  }
  // Beta's transparent corner shows the dialog background, its disc orange.
  {
    HWND preview = Preview();
    auto pixel = [&](int x, int y) {
      HDC dc = GetDC(preview);
      const COLORREF c = GetPixel(dc, x, y);
      ReleaseDC(preview, dc);
      return c;
    };
    // Painted once the disc shows; the corner is read from the same picture.
    EXPECT_TRUE(robot::WaitUntil([&] { return pixel(50, 20) == RGB(0xE0, 0x70, 0x10); }, 10000, 20))
        << "the disc is not painted orange";
    EXPECT_EQ(pixel(2, 2), GetSysColor(COLOR_BTNFACE));
    const std::wstring shots = insttest::BinFolder() + L"..\\screenshots\\";
    CreateDirectoryW(shots.c_str(), nullptr);
    EXPECT_TRUE(CaptureWindowPng(preview, (shots + L"skin_preview_beta.png").c_str()));
    EXPECT_TRUE(CaptureWindowPng(skins_, (shots + L"skin_dialog.png").c_str()));
  }
  // A row whose picture is missing hides the preview.
  ASSERT_TRUE(robot::SelectListViewRow(List(), 2));
  EXPECT_TRUE(robot::WaitUntil([&] { return !IsWindowVisible(Preview()); }, 10000));

  ASSERT_TRUE(robot::CheckListViewRow(List(), 0));
  InstallAndExit();
  ExpectSameFile(SkinFolder() + L"Alpha.zip", root_ + L"skins\\Alpha.zip");
  std::vector<std::wstring> want = skinsBefore_;
  want.push_back(L"Alpha.zip");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(Names(SkinFolder()), want);
  EXPECT_FALSE(Exists(InstallDir() + L"skin.zip"));
  for (const wchar_t* evil : {L"evil", L"evil.zip", L"evil.png", L"evil..zip"}) {
    EXPECT_FALSE(Exists(InstallDir() + evil));
    EXPECT_FALSE(Exists(insttest::TempFolder() + evil));
    EXPECT_FALSE(Exists(insttest::ShellFolder(CSIDL_PROGRAM_FILES) + evil));
  }
}

TEST_F(SkinUpdate, WithoutSkinFolderTheLastCheckedWinsAndDownloadsRefuseInstallAndCancel) {
  ASSERT_TRUE(MoveFileW(SkinFolder().c_str(), (InstallDir() + L"prismic.keep").c_str()));
  Publish({{L"Alpha", L"Alpha"}, {L"Beta", L"Beta"}, {L"Alpha", L"Gamma"}});
  ASSERT_TRUE(server_.Rule(L"/skins/Gamma.zip", L"stall"));
  ASSERT_NE(OpenSkins(), nullptr);
  ASSERT_TRUE(robot::WaitUntil([&] { return server_.Log().find("GET /skins/Gamma.zip Mavren") != std::string::npos; },
                               kTimeout));
  for (int button : {IDOK, IDCANCEL}) {
    robot::Command(skins_, button);
    robot::MsgBox box = robot::WaitMessageBox(L"请稍候...", 10000, updater_);
    ASSERT_TRUE(box) << "no busy message for button " << button;
    EXPECT_EQ(box.text, kBusy);
    robot::Answer(box.hwnd, IDOK);
    ASSERT_TRUE(robot::WaitUntil([&] { return !IsWindow(box.hwnd); }, 10000));
    EXPECT_TRUE(IsWindow(skins_));
  }
  EXPECT_FALSE(Exists(InstallDir() + L"skin.zip"));
  EXPECT_FALSE(robot::IsEnabled(robot::Control(skins_, IDOK)));
  // The stalled download ends with the server; Gamma's row stays.
  server_.Stop();
  ASSERT_TRUE(WaitIdle());
  for (int row : {0, 1, 2}) ASSERT_TRUE(robot::CheckListViewRow(List(), row));
  InstallAndExit(true);  // Gamma's package is missing: No to the retry question
  ExpectSameFile(InstallDir() + L"skin.zip", kSamples + L"Beta.zip");
  EXPECT_FALSE(Exists(SkinFolder()));
}

TEST_F(SkinUpdate, ListWithoutSkinPackagesInstallsNothing) {
  ASSERT_TRUE(WriteAll(root_ + L"_supports\\klskin_prismic\\updatelist.txt",
                       "<TYPE=SKIN_DRIVE><NAME=prismic><VERSION=9.0><CABURL=" +
                           Narrow(server_.Base()) + "/skins/Alpha.zip>\r\n"));
  ASSERT_NE(OpenSkins(), nullptr);
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(robot::ListViewColumn(List(), 0).empty());
  InstallAndExit();
  EXPECT_EQ(Names(SkinFolder()), skinsBefore_);
  EXPECT_FALSE(Exists(InstallDir() + L"skin.zip"));
  EXPECT_EQ(server_.Log().find("/skins/"), std::string::npos);
}

}  // namespace
