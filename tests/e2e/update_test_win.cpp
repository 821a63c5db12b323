// The driver update ("-g name=[KeloSample]") of the real sample install,
// driven like a user under Wine against a real HTTP server on 127.0.0.1
// (tests/support/update_server.py): newer drivers installed with the
// installed files' identity, a second list from URLUpdateInfo, the failures
// (404 list, cabinet cut short, 404 cabinet, a stalled transfer closed from
// the dialog) and the IME held by a process.
//
// The sample is installed once for the suite through the wizard and removed
// at the end; each case puts the installed drivers back as they were.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "../unit/install/install_test_util_win.h"
#include "sample_product_win.h"
#include "package/cabinet_win.h"
#include "robot_win.h"
#include "update_server_win.h"
#include "update/version_block.h"
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
constexpr wchar_t kPrismicCaption[] = L"prismic驱动更新";
const std::wstring kPolicyKey = std::wstring(L"Software\\Policies\\zorbl\\") + sample::kKey;
constexpr wchar_t kListPath[] = L"/_supports/klime_drives/UpdateList.txt";
constexpr int kItems = 1011, kMessages = 1006;
constexpr DWORD kTimeout = 60000;
using sample::InstallDir;
using sample::kServerScript;
using sample::Narrow;
using sample::Record;
using sample::WorkFolder;

std::wstring ImePath() { return insttest::SystemDir() + sample::kModule; }

// Every file under folder (its names relative to it); none when it is gone.
std::vector<std::wstring> FilesUnder(const std::wstring& folder) {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW e;
  ui::FindHandle f(FindFirstFileW((folder + L"*").c_str(), &e));
  if (!f.valid()) return found;
  do {
    const std::wstring name = e.cFileName;
    if (name == L"." || name == L"..") continue;
    if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      for (const std::wstring& inner : FilesUnder(folder + name + L"\\"))
        found.push_back(name + L"\\" + inner);
    } else {
      found.push_back(name);
    }
  } while (FindNextFileW(f.get(), &e));
  return found;
}

// ---- version resources, read through the system ----

std::wstring VersionString(const std::wstring& file, const wchar_t* key) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (!size) return L"<none>";
  Bytes block(size);
  if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return L"<none>";
  void* v = nullptr;
  UINT n = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + key;
  if (!VerQueryValueW(block.data(), path.c_str(), &v, &n) || !v) return L"<missing>";
  return static_cast<const wchar_t*>(v);
}

// Raw bytes of resource (type, id) of a file loaded as data ("<none>" as empty).
Bytes ResourceBytes(const std::wstring& file, const wchar_t* type, WORD id) {
  ui::Module m(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!m) return {};
  HRSRC r = FindResourceW(m.get(), MAKEINTRESOURCEW(id), type);
  if (!r) return {};
  const auto* p = static_cast<const unsigned char*>(LockResource(LoadResource(m.get(), r)));
  return p ? Bytes(p, p + SizeofResource(m.get(), r)) : Bytes();
}

bool BitmapLoads(const std::wstring& file, WORD id) {
  ui::Module m(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!m) return false;
  ui::GdiObject bmp(LoadImageW(m.get(), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, 0));
  return bmp.valid();
}

// Rewrites string values of a copy of a driver and optionally drops its
// bitmaps 103 and 104: the generic "newer" file a vendor publishes.
bool MakeNewer(const std::wstring& from, const std::wstring& to, bool dropBitmaps) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(to.c_str(), &ignored);
  Bytes block(size);
  if (!size || !GetFileVersionInfoW(to.c_str(), 0, size, block.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT n = 0;
  VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &n);
  if (!fixed) return false;
  fixed->dwFileVersionLS = 2;  // 1.0.0.2
  klupdate::VersionNode root;
  if (!klupdate::ReadVersionRoot(block.data(), block.size(), &root)) return false;
  block.resize(root.end);
  const std::pair<const wchar_t*, const wchar_t*> values[] = {
      {L"FileVersion", L"1.0.0.2"},
      {L"FileDescription", L"Generic driver build"},
      {L"CompanyName", L"Driver Workshop"}};
  for (const auto& kv : values) {
    auto out = klupdate::RewriteVersionString(block.data(), block.size(), kv.first, kv.second);
    if (out.size() != 1) return false;
    block = out[0];
  }
  HANDLE h = BeginUpdateResourceW(to.c_str(), FALSE);
  if (!h) return false;
  bool ok = UpdateResourceW(h, RT_VERSION, MAKEINTRESOURCEW(1), 0x804, block.data(),
                            static_cast<DWORD>(block.size()));
  if (dropBitmaps)
    for (WORD id : {103, 104})
      ok = ok && UpdateResourceW(h, RT_BITMAP, MAKEINTRESOURCEW(id), 0x804, nullptr, 0);
  return EndUpdateResourceW(h, ok ? FALSE : TRUE) && ok;
}

// ---- the suite ----

class DriverUpdate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Exists(SampleSetup())) return;
    CoInitialize(nullptr);
    Clean();
    setupProblem_ = InstallForTheSuite();
    installed_ = setupProblem_.empty();
  }

  // The sample installed through the wizard, every step checked; what went
  // wrong, or "".
  static std::string InstallForTheSuite() {
    DWORD pid = 0;
    // Every wait of the suite's install together stays well inside the
    // case's time-out.
    HWND wizard =
        wizrobot::StartWizard(SampleSetup(), wizrobot::WizardCaption(kDisplay), &pid, 30000);
    if (!wizard) return "no wizard";
    if (!robot::ClickControl(wizard, wizrobot::kAccept)) return "the licence cannot be accepted";
    if (!robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard, IDOK)); }, 5000))
      return "the install button stays disabled";
    if (!robot::ClickControl(wizard, IDOK)) return "the install button cannot be pressed";
    if (wizrobot::WaitFinished(wizard, 60000) != wizrobot::kDoneCaption) return "the install failed";
    ui::Handle copy(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!robot::ClickControl(wizard, IDOK)) return "the finish button cannot be pressed";
    if (!robot::WaitExit(copy.get(), 20000)) return "the wizard did not end";
    if (!robot::WaitUntil([] { return !Exists(WorkFolder()); }, 10000))
      return "the work folder stayed";

    // The installed module carries icon 1, the identity an updated module
    // must keep (the sample's own module has no icon: give it config.exe's).
    if (ResourceBytes(ImePath(), RT_ICON, 1).empty()) {
      Bytes icon = ResourceBytes(InstallDir() + L"config.exe", RT_ICON, 1);
      HANDLE h = BeginUpdateResourceW(ImePath().c_str(), FALSE);
      if (!h || icon.empty()) return "no icon for the installed module";
      const bool updated = UpdateResourceW(h, RT_ICON, MAKEINTRESOURCEW(1), 0x804, icon.data(),
                                           static_cast<DWORD>(icon.size()));
      if (!EndUpdateResourceW(h, updated ? FALSE : TRUE) || !updated)
        return "the installed module's icon cannot be written";
    }
    for (const auto& f : Watched())
      if (!ReadAll(f, &Originals()[f])) return "cannot read " + Narrow(f);
    return "";
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

  static std::vector<std::wstring> Watched() {
    return {ImePath(), InstallDir() + L"skin.dll", InstallDir() + L"config.exe"};
  }
  static std::map<std::wstring, Bytes>& Originals() {
    static std::map<std::wstring, Bytes> m;
    return m;
  }

  void SetUp() override {
    // The build makes it (scripts/pack-sample.sh): missing, the case fails.
    ASSERT_TRUE(Exists(SampleSetup())) << "no sample setup at " << Narrow(SampleSetup())
                                       << " (scripts/pack-sample.sh makes it)";
    ASSERT_TRUE(installed_) << "the sample could not be installed: " << setupProblem_;
    tree_ = insttest::TempFolder() + testfs::Unique(L"klupd") + L"\\";
    root_ = tree_ + L"www\\";
    for (const wchar_t* sub : {L"", L"www\\", L"www\\_supports\\", L"www\\_supports\\klime_drives\\",
                               L"www\\drivers\\", L"www\\second\\", L"drivers\\"})
      ASSERT_TRUE(CreateDirectoryW((tree_ + sub).c_str(), nullptr)) << Narrow(tree_ + sub);
    ASSERT_TRUE(server_.Start(tree_, root_, kServerScript)) << "the update server did not start (python3?)";
    ASSERT_TRUE(robot::SetRegistryString(HKEY_LOCAL_MACHINE, kVendorKey, L"UpdateServer",
                                         server_.Base() + L"/"));
    ASSERT_TRUE(robot::SetRegistryString(HKEY_LOCAL_MACHINE, Record(), L"URLUpdateInfo", L""));
  }

  void TearDown() override {
    if (!installed_) return;
    if (updater_) {
      robot::Kill(updater_);
      updater_ = 0;
    }
    for (DWORD p : holders_) robot::Kill(p);
    if (!heldModule_.empty()) DeleteFileW(heldModule_.c_str());
    server_.Stop();
    // The policy key outlives the uninstall: never left behind.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey.c_str());
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kVendorKey, L"UpdateServer");
    for (const auto& [path, bytes] : Originals()) WriteAll(path, bytes);
    insttest::RemoveTree(WorkFolder());
    insttest::RemoveTree(tree_);
  }

  // Publishes the newer IME and skin driver and the same config.exe with
  // klpack update-tree, and adds a line of an unknown type (with an unknown
  // key) to its list. With a key, into `into` (default the served root), the
  // list signed as it is.
  void Publish(const std::wstring& key = L"", std::wstring into = L"") {
    if (into.empty()) into = root_;
    const std::wstring sample = insttest::BinFolder() + L"sample\\";
    const std::wstring drivers = tree_ + L"drivers\\";
    for (const wchar_t* t : {L"IME_MAIN", L"SKIN_DRIVE", L"CONFIG_DRIVE"})
      ASSERT_TRUE(CreateDirectoryW((drivers + t).c_str(), nullptr) ||
                  GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(MakeNewer(sample + sample::kBuiltModule,
                          drivers + L"IME_MAIN\\" + kKey + L".ime", false));
    ASSERT_TRUE(MakeNewer(sample + L"skin.dll", drivers + L"SKIN_DRIVE\\prismic.dll", true));
    ASSERT_TRUE(CopyFileW((sample + L"config.exe").c_str(),
                          (drivers + L"CONFIG_DRIVE\\_config_.exe").c_str(), FALSE));
    robot::Process klpack;
    ASSERT_TRUE(robot::Start(insttest::BinFolder() + L"klpack.exe",
                             L"update-tree --drivers \"" + drivers + L".\" --base-url " +
                                 server_.Base() + L" -o \"" + into + L".\"" +
                                 (key.empty() ? L"" : L" --key \"" + key + L"\""),
                             &klpack));
    DWORD code = 1;
    ASSERT_TRUE(robot::WaitExit(klpack, 60000, &code));
    ASSERT_EQ(code, 0u) << "klpack update-tree failed";
    if (!key.empty()) return;
    const std::wstring list = root_ + L"_supports\\klime_drives\\UpdateList.txt";
    const std::string text = testfs::ReadText(list);
    const std::string base = Narrow(server_.Base());
    EXPECT_EQ(text, "\xEF\xBB\xBF"
                    "<TYPE=SKIN_DRIVE><NAME=prismic><VERSION=1.0.0.2><CABURL=" + base +
                        "/drivers/skin_drive/prismic.cab>\r\n"
                        "<TYPE=IME_MAIN><NAME=" + Narrow(kKey) + "><VERSION=1.0.0.2><CABURL=" +
                        base + "/drivers/ime_main/" + Narrow(kKey) + ".cab>\r\n"
                        "<TYPE=CONFIG_DRIVE><NAME=_config_><VERSION=1.0.0.1><CABURL=" + base +
                        "/drivers/config_drive/_config_.cab>\r\n");
    ASSERT_TRUE(WriteAll(list, text + "<TYPE=FONT_PACK><NAME=extra><VERSION=9.0.0.0><FOO=1>\r\n"));
  }

  // Starts the installed uninstaller with -g and waits for the dialog.
  HWND StartUpdate(const std::wstring& program = L"") {
    robot::Process p;
    if (!robot::Start(program.empty() ? InstallDir() + L"Unstall.exe" : program,
                      sample::Named(L"-g"), &p))
      return nullptr;
    dialog_ = robot::WaitTopWindow(kCaption, kTimeout, robot::kDialogClass);
    if (dialog_) updater_ = robot::WindowPid(dialog_);
    return dialog_;
  }

  std::vector<std::wstring> Messages() {
    return robot::ListBoxLines(robot::Control(dialog_, kMessages));
  }
  std::vector<std::vector<std::wstring>> Rows() {
    std::vector<std::vector<std::wstring>> cols;
    for (int c = 0; c < 5; ++c) cols.push_back(robot::ListViewColumn(robot::Control(dialog_, kItems), c));
    std::vector<std::vector<std::wstring>> rows(cols[0].size());
    for (size_t r = 0; r < rows.size(); ++r)
      for (int c = 0; c < 5; ++c) rows[r].push_back(r < cols[c].size() ? cols[c][r] : L"?");
    return rows;
  }

  // Waits for "更新完毕" as the last message, answering the prismic question
  // with No when it comes.
  bool WaitCheckDone(bool expectQuestion) {
    if (expectQuestion) {
      robot::MsgBox box = robot::WaitMessageBox(kPrismicCaption, kTimeout, updater_);
      EXPECT_TRUE(box) << "no prismic question";
      if (box) {
        EXPECT_EQ(box.text, L"是否检查服务器上的最新皮肤包？");
        robot::Answer(box.hwnd, IDNO);
      }
    }
    return robot::WaitUntil(
        [&] {
          auto m = Messages();
          return !m.empty() && m.back() == L"更新完毕" &&
                 robot::IsEnabled(robot::Control(dialog_, IDOK));
        },
        kTimeout);
  }

  // Exit; the run ends and leaves nothing of ours in the temporary folder.
  void ExitAndExpectCleanUp(DWORD withinMs) {
    ui::Handle proc(OpenProcess(SYNCHRONIZE, FALSE, updater_));
    ASSERT_TRUE(robot::Command(dialog_, IDCANCEL));
    ASSERT_TRUE(robot::WaitExit(proc.get(), withinMs)) << "the update dialog did not end";
    updater_ = 0;
    const std::wstring copy = insttest::TempFolder() + (wizrobot::kWorkingCopyTail + 1);
    EXPECT_TRUE(robot::WaitUntil([&] { return !Exists(copy) && !Exists(WorkFolder()); }, 20000))
        << "the working copy or the work folder is still there";
  }

  void ExpectUnchanged(const std::wstring& file) {
    Bytes now;
    ASSERT_TRUE(ReadAll(file, &now));
    EXPECT_TRUE(now == Originals()[file]) << Narrow(file) << " changed";
  }

  static bool installed_;
  static std::string setupProblem_;
  testsrv::UpdateServer server_;
  std::wstring tree_, root_, heldModule_;
  std::vector<DWORD> holders_;
  HWND dialog_ = nullptr;
  DWORD updater_ = 0;
};
bool DriverUpdate::installed_ = false;
std::string DriverUpdate::setupProblem_;

const std::wstring kIme = L"IME驱动", kSkin = L"界面驱动", kConfig = L"配置程序";

TEST_F(DriverUpdate, NewerDriversKeepTheInstalledIdentity) {
  Publish();
  // A second list through the uninstall record; both lists in other encodings.
  ASSERT_TRUE(WriteAll(root_ + L"second\\list.txt",
                       "\xEF\xBB\xBF<TYPE=config_drive><NAME=_CONFIG_><VERSION=1.0.0.1><CABURL=" +
                           Narrow(server_.Base()) + "/drivers/config_drive/_config_.cab>\r\n"));
  ASSERT_TRUE(robot::SetRegistryString(HKEY_LOCAL_MACHINE, Record(), L"URLUpdateInfo",
                                       server_.Base() + L"/second/list.txt"));
  ASSERT_TRUE(server_.Rule(kListPath, L"utf16be"));
  ASSERT_TRUE(server_.Rule(L"/second/list.txt", L"utf16le"));
  const std::wstring skin = InstallDir() + L"skin.dll";
  const std::wstring imeDescription = VersionString(ImePath(), L"FileDescription");
  const std::wstring skinDescription = VersionString(skin, L"FileDescription");

  ASSERT_NE(StartUpdate(), nullptr) << "no update dialog";
  ASSERT_TRUE(WaitCheckDone(true)) << "no 更新完毕";
  using Row = std::vector<std::wstring>;
  EXPECT_EQ(Rows(), (std::vector<Row>{
                        {L"完成", L"1.0.0.1", L"1.0.0.2", kSkin, L"prismic"},
                        {L"完成", L"1.0.0.1", L"1.0.0.2", kIme, kKey},
                        {L"完成", L"1.0.0.1", L"1.0.0.1", kConfig, L"_config_"},
                        {L"完成", L"1.0.0.1", L"1.0.0.1", kConfig, L"_config_"},
                    }));
  EXPECT_EQ(Messages(), (std::vector<std::wstring>{L"未知的更新标识！", L"开始Kelo驱动程序更新：",
                                                   L"更新：prismic", L"更新：" + std::wstring(kKey),
                                                   L"更新完毕"}));
  ExitAndExpectCleanUp(20000);

  // The new files, with the installed ones' descriptions, company and pictures.
  EXPECT_EQ(VersionString(ImePath(), L"FileVersion"), L"1.0.0.2");
  EXPECT_EQ(VersionString(ImePath(), L"FileDescription"), imeDescription);
  EXPECT_EQ(VersionString(ImePath(), L"CompanyName"), L"zorbl");
  EXPECT_EQ(VersionString(skin, L"FileVersion"), L"1.0.0.2");
  EXPECT_EQ(VersionString(skin, L"FileDescription"), skinDescription);
  EXPECT_EQ(VersionString(skin, L"CompanyName"), L"zorbl");
  EXPECT_EQ(VersionString(skin, L"ProductName"), L"可乐示例输入法");
  Bytes oldIcon;
  {
    const std::wstring saved = tree_ + L"old.ime";
    WriteAll(saved, Originals()[ImePath()]);
    oldIcon = ResourceBytes(saved, RT_ICON, 1);
    for (WORD id : {103, 104}) {
      WriteAll(saved, Originals()[skin]);
      EXPECT_EQ(ResourceBytes(skin, RT_BITMAP, id), ResourceBytes(saved, RT_BITMAP, id)) << id;
      EXPECT_TRUE(BitmapLoads(skin, id)) << id;
    }
  }
  EXPECT_FALSE(oldIcon.empty());
  EXPECT_EQ(ResourceBytes(ImePath(), RT_ICON, 1), oldIcon);
  ExpectUnchanged(InstallDir() + L"config.exe");

  // What klpack published is, unpacked by the product's extractor, the
  // driver byte for byte.
  for (const auto& [cab, file] : {std::pair<std::wstring, std::wstring>{
                                      L"ime_main\\" + std::wstring(kKey) + L".cab", L"IME_MAIN\\" + std::wstring(kKey) + L".ime"},
                                  {L"skin_drive\\prismic.cab", L"SKIN_DRIVE\\prismic.dll"}}) {
    const std::wstring out = tree_ + L"unpacked\\";
    CreateDirectoryW(out.c_str(), nullptr);
    Cabinet::CExtract x;
    ASSERT_TRUE(x.Initialize());
    EXPECT_TRUE(x.Extract((root_ + L"drivers\\" + cab).c_str(), out.c_str()));
    if (x.Destroy()) x.ReleaseThreadSlot();
    Bytes published, unpacked;
    ASSERT_TRUE(ReadAll(tree_ + L"drivers\\" + file, &published));
    ASSERT_TRUE(ReadAll(out + file.substr(file.find(L'\\') + 1), &unpacked));
    EXPECT_TRUE(published == unpacked) << Narrow(file);
  }

  const std::string log = server_.Log();
  EXPECT_NE(log.find("GET /_supports/klime_drives/UpdateList.txt Mavren/1.0"), std::string::npos);
  EXPECT_NE(log.find("GET /second/list.txt Mavren/1.0"), std::string::npos);
  EXPECT_LT(log.find("UpdateList.txt"), log.find("/second/list.txt"));
  EXPECT_EQ(log.find("_config_.cab"), std::string::npos) << "an equal version was downloaded";
}

TEST_F(DriverUpdate, FailuresAreReportedAndChangeNothing) {
  Publish();
  ASSERT_TRUE(server_.Rule(kListPath, L"404"));
  ASSERT_NE(StartUpdate(), nullptr);
  ASSERT_TRUE(WaitCheckDone(false));
  EXPECT_EQ(Messages(), (std::vector<std::wstring>{
                            L"无法访问的URL：" + server_.Base() + kListPath, L"更新完毕"}));
  EXPECT_TRUE(Rows().empty());
  // URLUpdateInfo is empty: the server's list is the only request.
  const std::string log = server_.Log();
  EXPECT_NE(log.find("Mavren/1.0"), std::string::npos);
  EXPECT_EQ(log.find("Mavren/1.0", log.find("Mavren/1.0") + 1), std::string::npos) << log;

  // A cabinet cut short after its announced length, one missing.
  ASSERT_TRUE(server_.Rule(kListPath, L"ok"));
  ASSERT_TRUE(server_.Rule(L"/drivers/ime_main/" + std::wstring(kKey) + L".cab", L"cut"));
  ASSERT_TRUE(server_.Rule(L"/drivers/skin_drive/prismic.cab", L"404"));
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  ASSERT_TRUE(WaitCheckDone(true));
  EXPECT_EQ(Messages(), (std::vector<std::wstring>{L"未知的更新标识！", L"开始Kelo驱动程序更新：",
                                                   L"更新：prismic", L"　　下载prismic 失败",
                                                   L"更新：" + std::wstring(kKey), L"　　下载" + std::wstring(kKey) + L" 失败",
                                                   L"更新完毕"}));
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], L"失败");
  EXPECT_EQ(rows[1][0], L"失败");
  EXPECT_EQ(rows[2][0], L"完成");
  for (const std::wstring& f : FilesUnder(WorkFolder()))
    EXPECT_EQ(f.find(L".cab"), std::wstring::npos) << "a cabinet is left: " << Narrow(f);
  for (const auto& f : Watched()) ExpectUnchanged(f);

  // A stalled transfer: the dialog keeps answering and closes at once.
  ASSERT_TRUE(server_.Rule(L"/drivers/skin_drive/prismic.cab", L"stall"));
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  ASSERT_TRUE(robot::WaitUntil(
      [&] {
        auto m = Messages();
        return m.size() >= 3 && m.back() == L"更新：prismic";
      },
      kTimeout));
  // The stalled request has reached the server (its second request of the
  // cabinet): the transfer now hangs for as long as the server holds it.
  ASSERT_TRUE(robot::WaitUntil(
      [&] {
        const std::string log = server_.Log();
        const size_t first = log.find("GET /drivers/skin_drive/prismic.cab");
        return first != std::string::npos &&
               log.find("GET /drivers/skin_drive/prismic.cab", first + 1) != std::string::npos;
      },
      kTimeout));
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutW(dialog_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer), 0)
      << "the dialog does not answer during the stall";
  EXPECT_FALSE(robot::IsEnabled(robot::Control(dialog_, IDOK)));  // no second check meanwhile
  ExitAndExpectCleanUp(15000);
  for (const auto& f : Watched()) ExpectUnchanged(f);
}

TEST_F(DriverUpdate, ModuleInUseAndInUseDialogCancelledChangesNothing) {
  Publish();
  heldModule_ = insttest::TempFolder() + sample::kModule;
  ASSERT_TRUE(CopyFileW((insttest::BinFolder() + L"sample\\" + sample::kBuiltModule).c_str(),
                        heldModule_.c_str(), FALSE));
  const std::wstring event = L"kl_update_hold_" + std::to_wstring(GetCurrentProcessId());
  ui::Handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
  robot::Process holder;
  ASSERT_TRUE(robot::Start(insttest::BinFolder() + L"holdime.exe",
                           L"\"" + heldModule_ + L"\" 120000 " + event, &holder));
  holders_.push_back(holder.pid());
  ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0);

  ASSERT_NE(StartUpdate(), nullptr);
  HWND inUse = robot::WaitTopWindow(L"输入法载入状态", kTimeout, robot::kDialogClass, updater_);
  ASSERT_NE(inUse, nullptr) << "no in-use dialog";
  ASSERT_TRUE(robot::Command(inUse, IDCANCEL));
  ASSERT_TRUE(robot::WaitUntil([&] { return !IsWindow(inUse); }, 10000));
  // The cancelled check has ended once the dialog takes a new one, which
  // asks again: only then does "nothing happened" mean something.
  bool sawMessages = false;
  HWND again = nullptr;
  ASSERT_TRUE(robot::WaitUntil(
      [&] {
        sawMessages = sawMessages || !Messages().empty() || !Rows().empty();
        robot::ClickControl(dialog_, IDOK);
        again = robot::WaitTopWindow(L"输入法载入状态", 300, robot::kDialogClass, updater_);
        return again != nullptr;
      },
      kTimeout))
      << "the dialog takes no second check";
  EXPECT_FALSE(sawMessages) << "the cancelled check went on";
  EXPECT_EQ(server_.Log().find("UpdateList.txt"), std::string::npos) << server_.Log();
  ASSERT_TRUE(robot::Command(again, IDCANCEL));
  ASSERT_TRUE(robot::WaitUntil([&] { return !IsWindow(again); }, 10000));
  ExitAndExpectCleanUp(20000);
  for (const auto& f : Watched()) ExpectUnchanged(f);
}

TEST_F(DriverUpdate, SilentUpdatesInstallDriversAndLogEachStep) {
  Publish();
  const std::wstring log = tree_ + L"silent-g.log";
  auto run = [&](DWORD* code) {
    robot::Process p;
    ASSERT_TRUE(robot::Start(InstallDir() + L"Unstall.exe",
                             L"-s " + sample::Named(L"-g") + L" log=[" + log + L"]", &p));
    ASSERT_TRUE(robot::WaitExit(p, kTimeout, code));
  };
  auto logText = [&] { return testfs::ReadText(log); };
  auto expectLines = [&](const std::vector<std::string>& lines) {
    const std::string text = logText();
    size_t at = 0;
    for (const std::string& line : lines) {
      const size_t found = text.find(line, at);
      ASSERT_NE(found, std::string::npos) << "\"" << line << "\" missing in:\n" << text;
      at = found + line.size();
    }
  };

  // A driver in use is replaced at the next restart: 3010.
  const std::wstring event = L"kl_silent_g_" + std::to_wstring(GetCurrentProcessId());
  ui::Handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
  robot::Process holder;
  ASSERT_TRUE(robot::Start(insttest::BinFolder() + L"hold_open.exe",
                           L"\"" + ImePath() + L"\" 120000 " + event, &holder));
  holders_.push_back(holder.pid());
  ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0);
  DWORD code = 0;
  run(&code);
  robot::Kill(holder.pid());
  holders_.clear();
  EXPECT_EQ(code, 3010u);
  expectLines({"mode: update, silent", "file in use, replaced at the next restart: ",
               "exit code 3010"});
  insttest::RemovePendingRenames(ImePath());
  DeleteFileW((ImePath() + L".temp").c_str());
  for (const auto& [path, bytes] : Originals()) WriteAll(path, bytes);

  // Every newer driver installed, no skin fetched, each step in the log.
  run(&code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(VersionString(ImePath(), L"FileVersion"), L"1.0.0.2");
  EXPECT_EQ(VersionString(InstallDir() + L"skin.dll", L"FileVersion"), L"1.0.0.2");
  const std::string base = Narrow(server_.Base());
  expectLines({"update list: " + base + "/_supports/klime_drives/UpdateList.txt",
               "download: " + base + "/_supports/klime_drives/UpdateList.txt: HTTP 200",
               "  unsigned (this setup has no publisher key)",
               "planned: prismic", "server 1.0.0.2", "planned: " + Narrow(kKey),
               "download: " + base + "/drivers/skin_drive/prismic.cab: HTTP 200",
               "  digest: none given", "file replaced: ", "drivers updated: 2 of 3 planned",
               "exit code 0"});
  EXPECT_EQ(server_.Log().find("klskin"), std::string::npos) << server_.Log();

  // The list cannot be had: 1603, and the log says why.
  server_.Stop();
  run(&code);
  EXPECT_EQ(code, 1603u);
  expectLines({"download failed: " + base + "/_supports/klime_drives/UpdateList.txt",
               "无法访问的URL：", "exit code 1603"});
}

TEST_F(DriverUpdate, TheServerComesFromAdministratorsPlacesAndOnlyOverTheWeb) {
  // The user's own value names a server of the user's (here a path of the
  // test server that is never served); the vendor key another; the policy
  // key the real one. The list's cabinet is an ftp:// address.
  robot::SetRegistryString(HKEY_CURRENT_USER, kVendorKey, L"UpdateServer",
                           server_.Base() + L"/by-user");
  robot::SetRegistryString(HKEY_LOCAL_MACHINE, kVendorKey, L"UpdateServer",
                           server_.Base() + L"/by-vendor-key");
  robot::SetRegistryString(HKEY_LOCAL_MACHINE, kPolicyKey, L"UpdateServer", server_.Base());
  const std::string ftp = "ftp" + Narrow(server_.Base()).substr(4) + "/drivers/_config_.cab";
  ASSERT_TRUE(WriteAll(root_ + L"_supports\\klime_drives\\UpdateList.txt",
                       "<TYPE=CONFIG_DRIVE><NAME=_config_><VERSION=1.0.0.9><CABURL=" + ftp +
                           ">\r\n"));
  ASSERT_NE(StartUpdate(), nullptr);
  ASSERT_TRUE(WaitCheckDone(true));
  EXPECT_EQ(Messages(), (std::vector<std::wstring>{L"开始Kelo驱动程序更新：", L"更新：_config_",
                                                   L"　　下载_config_ 失败", L"更新完毕"}));
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], L"失败");
  ExitAndExpectCleanUp(20000);
  const std::string log = server_.Log();
  EXPECT_NE(log.find("GET /_supports/klime_drives/UpdateList.txt"), std::string::npos) << log;
  EXPECT_EQ(log.find("/by-user"), std::string::npos) << log;
  EXPECT_EQ(log.find("/by-vendor-key"), std::string::npos) << log;
  EXPECT_EQ(log.find("_config_.cab"), std::string::npos) << log;
  ExpectUnchanged(InstallDir() + L"config.exe");
}

}  // namespace

// A setup packed with a publisher key (klpack build --update-key on the
// stock setup.exe) takes only what the key signed; one without a key still
// checks the digests of a signed list.
TEST_F(DriverUpdate, SignedListsAndDigestsAreVerified) {
  const std::wstring key =
      L"Z:" + std::wstring(kl::FromUtf8(KL_SOURCE_DIR "/tests/support/update-key/test-update-key.pem"));
  Publish(key);
  const std::wstring list = root_ + L"_supports\\klime_drives\\UpdateList.txt";
  const std::wstring drivers = root_ + L"drivers\\";
  const std::wstring cabs[] = {drivers + L"ime_main\\" + kKey + L".cab",
                               drivers + L"skin_drive\\prismic.cab",
                               drivers + L"config_drive\\_config_.cab"};
  Bytes signedList, signature, cabBytes[3];
  ASSERT_TRUE(ReadAll(list, &signedList));
  ASSERT_TRUE(ReadAll(list + L".sig", &signature));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ReadAll(cabs[i], &cabBytes[i]));
  ASSERT_NE(testfs::ReadText(list).find("><SHA256="), std::string::npos);
  // Each cabinet swapped for another valid one.
  auto rotateCabinets = [&](bool rotated) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteAll(cabs[i], cabBytes[rotated ? (i + 1) % 3 : i]));
  };
  const std::vector<std::wstring> forged = {L"开始Kelo驱动程序更新：", L"更新：prismic",
                                            L"　　下载prismic 失败", L"更新：" + std::wstring(kKey),
                                            L"　　下载" + std::wstring(kKey) + L" 失败", L"更新完毕"};

  // Without a key: the digests still decide, and a signed list's items are known.
  rotateCabinets(true);
  ASSERT_NE(StartUpdate(), nullptr);
  ASSERT_TRUE(WaitCheckDone(true));
  EXPECT_EQ(Messages(), forged);
  ExitAndExpectCleanUp(20000);
  for (const auto& f : Watched()) ExpectUnchanged(f);

  // With the key: a list changed by one byte, no signature, another key's.
  Bytes changed = signedList;
  changed[changed.size() / 2] ^= 0x01;
  ASSERT_TRUE(WriteAll(list, changed));
  // The stock setup.exe packed with the test key in its key slot.
  const std::wstring keyed = tree_ + L"keyed-setup.exe";
  {
    robot::Process pack;
    const std::wstring source = L"Z:" + std::wstring(kl::FromUtf8(KL_SOURCE_DIR));
    ASSERT_TRUE(robot::Start(insttest::BinFolder() + L"klpack.exe",
                             L"build --manifest \"" + source + L"/samples/product.manifest\" --folder \"" +
                                 insttest::BinFolder() + L"..\\sample-product\" --stub \"" +
                                 insttest::BinFolder() + L"setup.exe\" -o \"" + keyed +
                                 L"\" --update-key \"" + source +
                                 L"/tests/support/update-key/test-update-key.pub\"",
                             &pack));
    DWORD code = 1;
    ASSERT_TRUE(robot::WaitExit(pack, 60000, &code));
    ASSERT_EQ(code, 0u) << "klpack build --update-key failed";
  }
  ASSERT_NE(StartUpdate(keyed), nullptr);
  const std::vector<std::wstring> refused = {L"无法访问的URL：" + server_.Base() + kListPath,
                                             L"  更新列表的签名验证失败！", L"更新完毕"};
  ASSERT_TRUE(WaitCheckDone(false));
  EXPECT_EQ(Messages(), refused);
  ASSERT_TRUE(WriteAll(list, signedList));
  ASSERT_TRUE(DeleteFileW((list + L".sig").c_str()));
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  ASSERT_TRUE(WaitCheckDone(false));
  EXPECT_EQ(Messages(), refused);
  {
    robot::Process keygen;
    ASSERT_TRUE(robot::Start(insttest::BinFolder() + L"klpack.exe", L"keygen -o \"" + tree_ + L".\"", &keygen));
    DWORD code = 1;
    ASSERT_TRUE(robot::WaitExit(keygen, 60000, &code));
    ASSERT_EQ(code, 0u);
    const std::wstring other = tree_ + L"other\\";
    CreateDirectoryW(other.c_str(), nullptr);
    Publish(tree_ + L"update-key.pem", other);  // the same list, signed by another key
    Bytes otherList;
    ASSERT_TRUE(ReadAll(other + L"_supports\\klime_drives\\UpdateList.txt", &otherList));
    ASSERT_TRUE(otherList == signedList);
    ASSERT_TRUE(CopyFileW((other + L"_supports\\klime_drives\\UpdateList.txt.sig").c_str(),
                          (list + L".sig").c_str(), FALSE));
  }
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  ASSERT_TRUE(WaitCheckDone(false));
  EXPECT_EQ(Messages(), refused);
  EXPECT_TRUE(Rows().empty());
  for (const auto& f : Watched()) ExpectUnchanged(f);

  // The signed list with the cabinets swapped: every item fails.
  ASSERT_TRUE(WriteAll(list + L".sig", signature));
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  ASSERT_TRUE(WaitCheckDone(true));
  EXPECT_EQ(Messages(), forged);
  for (const auto& f : Watched()) ExpectUnchanged(f);

  // The genuine tree installs; a second, unsigned list from the uninstall
  // record is refused and the server's list still counts.
  rotateCabinets(false);
  ASSERT_TRUE(WriteAll(root_ + L"second\\list.txt",
                       "<TYPE=IME_MAIN><NAME=" + Narrow(kKey) + "><VERSION=9.0.0.0><CABURL=" +
                           Narrow(server_.Base()) + "/drivers/skin_drive/prismic.cab>\r\n"));
  robot::SetRegistryString(HKEY_LOCAL_MACHINE, Record(), L"URLUpdateInfo",
                           server_.Base() + L"/second/list.txt");
  ASSERT_TRUE(robot::ClickControl(dialog_, IDOK));
  ASSERT_TRUE(WaitCheckDone(true));
  EXPECT_EQ(Messages(), (std::vector<std::wstring>{
                            L"无法访问的URL：" + server_.Base() + L"/second/list.txt",
                            L"  更新列表的签名验证失败！", L"开始Kelo驱动程序更新：",
                            L"更新：prismic", L"更新：" + std::wstring(kKey), L"更新完毕"}));
  ExitAndExpectCleanUp(20000);
  EXPECT_EQ(VersionString(ImePath(), L"FileVersion"), L"1.0.0.2");
  EXPECT_EQ(VersionString(InstallDir() + L"skin.dll", L"FileVersion"), L"1.0.0.2");
  ExpectUnchanged(InstallDir() + L"config.exe");
}
