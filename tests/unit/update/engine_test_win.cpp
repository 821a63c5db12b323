// The update engine against the real test server under Wine: downloads (a
// broken or refused transfer leaves no file, progress totals continue across
// downloads, a locked target fails before any request) and Init/CheckUpdates
// on the registry and config.ksc of a made-up product.
#include "update/update_engine_win.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/le.h"
#include "state/cmdline_win.h"
#include "testfs_win.h"
#include "update_server_win.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr wchar_t kName[] = L"KlUpdEngineTest";
const std::wstring kVendor = std::wstring(L"Software\\zorbl\\") + kName;
const std::wstring kPolicy = std::wstring(L"Software\\Policies\\zorbl\\") + kName;
const std::wstring kRecord =
    std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + kName;

void SetString(HKEY hive, const std::wstring& key, const wchar_t* name, const std::wstring& v) {
  ui::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(hive, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.out(),
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                 static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
}

// config.ksc with one record `record` naming the three drivers.
Bytes Ksc(const std::u16string& record) {
  Bytes b(8 + 1668, 0);
  b[0] = 1;
  kl::Store32(&b[4], 8);
  auto put = [&](size_t at, const std::u16string& s) {
    for (size_t i = 0; i < s.size(); ++i) kl::Store16(&b[8 + at + 2 * i], s[i]);
  };
  put(6, record);
  put(1260, u"TableDrv");
  put(1500, u"MainDrv");
  put(1588, u"prismic");
  return b;
}

struct Recorder {
  std::vector<uint32_t> progress;
  std::vector<std::wstring> messages;
  static void OnProgress(const UpdateStatus* s, void* u) {
    static_cast<Recorder*>(u)->progress.push_back(s->amount);
  }
  static void OnMessage(const UpdateStatus* s, void* u) {
    static_cast<Recorder*>(u)->messages.push_back(s->text);
  }
};

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfs::TempFolder() + testfs::Unique(L"klupdeng") + L"\\";
    root_ = dir_ + L"www\\";
    CreateDirectoryW(dir_.c_str(), nullptr);
    CreateDirectoryW(root_.c_str(), nullptr);
    CreateDirectoryW((dir_ + L"dl\\").c_str(), nullptr);
    CreateDirectoryW((dir_ + L"install\\").c_str(), nullptr);
    big_.resize(100000);
    for (size_t i = 0; i < big_.size(); ++i) big_[i] = static_cast<unsigned char>(i * 7 + i / 251);
    ASSERT_TRUE(testfs::WriteAll(root_ + L"big.bin", big_));
    ASSERT_TRUE(testfs::WriteAll(root_ + L"empty.bin", std::string()));
    ASSERT_TRUE(server_.Start(dir_, root_,
                              std::string(KL_SOURCE_DIR) + "/tests/support/update_server.py"));
    engine_.SetDownloadFolder((dir_ + L"dl\\").c_str());
    ASSERT_TRUE(engine_.Prepare({&Recorder::OnProgress, &Recorder::OnMessage, &rec_}));
    Clean();
  }
  void TearDown() override {
    server_.Stop();
    Clean();
    testfs::RemoveTree(dir_);
  }
  void Clean() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kVendor.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendor.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicy.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRecord.c_str());
    wchar_t data[kPathChars];
    if (GetProductDataFolder(kName, data)) testfs::RemoveTree(data);
  }
  std::wstring Url(const wchar_t* path) { return server_.Base() + path; }

  std::wstring dir_, root_;
  Bytes big_;
  testsrv::UpdateServer server_;
  Recorder rec_;
  KLIMEUpdate engine_;
};

TEST_F(Engine, DownloadsRefusedOrBrokenLeaveNoFile) {
  const std::wstring target = dir_ + L"dl\\t.bin";
  // A refused request removes an earlier copy and creates nothing.
  ASSERT_TRUE(testfs::WriteAll(target, std::string("old")));
  EXPECT_FALSE(engine_.DownloadFile(Url(L"/missing.bin").c_str(), target.c_str()));
  EXPECT_FALSE(testfs::Exists(target));

  // A whole body: the running total continuing, reported in large steps
  // (at most every 50 ms), the last report the whole.
  const uint32_t before = DownloadedBytesTotal();
  ASSERT_TRUE(engine_.DownloadFile(Url(L"/big.bin").c_str(), target.c_str()));
  Bytes got;
  ASSERT_TRUE(testfs::ReadAll(target, &got));
  EXPECT_TRUE(got == big_);
  ASSERT_FALSE(rec_.progress.empty());
  EXPECT_LT(rec_.progress.size(), big_.size() / 511);  // no report per small read any more
  EXPECT_EQ(rec_.progress.back(), before + big_.size());
  for (size_t i = 1; i < rec_.progress.size(); ++i) EXPECT_GT(rec_.progress[i], rec_.progress[i - 1]);
  // An empty body: an empty file, one report of the unchanged total.
  rec_.progress.clear();
  ASSERT_TRUE(engine_.DownloadFile(Url(L"/empty.bin").c_str(), target.c_str()));
  EXPECT_TRUE(testfs::Exists(target));
  EXPECT_EQ(rec_.progress, std::vector<uint32_t>{before + static_cast<uint32_t>(big_.size())});

  // Cut short after its announced length: failure, no file.
  ASSERT_TRUE(server_.Rule(L"/big.bin", L"cut"));
  EXPECT_FALSE(engine_.DownloadFile(Url(L"/big.bin").c_str(), target.c_str()));
  EXPECT_FALSE(testfs::Exists(target));

  // Larger than the caller's bound, announced or not: failure, no file.
  ASSERT_TRUE(server_.Rule(L"/big.bin", L"ok"));
  EXPECT_FALSE(engine_.DownloadFile(Url(L"/big.bin").c_str(), target.c_str(), big_.size() - 1));
  EXPECT_FALSE(testfs::Exists(target));
  ASSERT_TRUE(server_.Rule(L"/big.bin", L"unsized"));
  EXPECT_FALSE(engine_.DownloadFile(Url(L"/big.bin").c_str(), target.c_str(), big_.size() - 1));
  EXPECT_FALSE(testfs::Exists(target));
  ASSERT_TRUE(engine_.DownloadFile(Url(L"/big.bin").c_str(), target.c_str(), big_.size()));
  ASSERT_TRUE(testfs::ReadAll(target, &got));
  EXPECT_TRUE(got == big_);

  // A target held by another process: no request at all.
  ASSERT_TRUE(testfs::WriteAll(target, std::string("held")));
  {
    testfs::HeldFile held(target);
    ASSERT_TRUE(held.ok());
    EXPECT_FALSE(engine_.DownloadFile(Url(L"/empty.bin?held").c_str(), target.c_str()));
  }
  EXPECT_EQ(server_.Log().find("held"), std::string::npos);
  EXPECT_TRUE(rec_.messages.empty());  // the download itself reports nothing
}

TEST_F(Engine, InitFindsTheInstallAndPlansMatchingDrivers) {
  // Nothing registered; then only a per-user value (never read); then a
  // machine-wide key without the value.
  EXPECT_EQ(engine_.Init(kName), 0);
  SetString(HKEY_CURRENT_USER, kVendor, L"KMEInstallPath", dir_ + L"install\\");
  EXPECT_EQ(engine_.Init(kName), 0);
  SetString(HKEY_LOCAL_MACHINE, kVendor, L"Other", L"x");
  EXPECT_EQ(engine_.Init(kName), 0);
  const std::wstring noDir = L"无法获取指定名称的输入法安装目录";
  EXPECT_EQ(rec_.messages, (std::vector<std::wstring>{noDir, noDir, noDir}));
  rec_.messages.clear();

  // The machine-wide value, stored without a backslash; no config.ksc, then
  // a hostile one, then one without the default record.
  SetString(HKEY_LOCAL_MACHINE, kVendor, L"KMEInstallPath", dir_ + L"install");
  EXPECT_EQ(engine_.Init(kName), 0);
  EXPECT_EQ(std::wstring(engine_.installDir()), dir_ + L"install\\");
  wchar_t data[kPathChars];
  ASSERT_TRUE(GetProductDataFolder(kName, data));
  SHCreateDirectoryExW(nullptr, data, nullptr);
  const std::wstring ksc = std::wstring(data) + L"config.ksc";
  Bytes hostile = Ksc(u"kl_ime_config_data_default");
  kl::Store32(&hostile[4], 0x7FFFFFF0u);
  ASSERT_TRUE(testfs::WriteAll(ksc, hostile));
  EXPECT_EQ(engine_.Init(kName), 0);
  ASSERT_TRUE(testfs::WriteAll(ksc, Ksc(u"another_record")));
  EXPECT_EQ(engine_.Init(kName), 0);
  const std::wstring config = L"无法获取指定名称的输入法的配置信息";
  EXPECT_EQ(rec_.messages, (std::vector<std::wstring>{config, config, config}));
  rec_.messages.clear();

  // A good file and a list served: only names that match are planned.
  ASSERT_TRUE(testfs::WriteAll(ksc, Ksc(u"KL_IME_CONFIG_DATA_DEFAULT")));
  SetString(HKEY_LOCAL_MACHINE, kVendor, L"UpdateServer", server_.Base());
  CreateDirectoryW((root_ + L"_supports").c_str(), nullptr);
  CreateDirectoryW((root_ + L"_supports\\klime_drives").c_str(), nullptr);
  ASSERT_TRUE(testfs::WriteAll(root_ + L"_supports\\klime_drives\\UpdateList.txt",
                               "<TYPE=ime_main><NAME=maindrv><VERSION=2.0><CABURL=http://h/a.cab>\r\n"
                               "<TYPE=IME_MAIN><NAME=OtherDrv><VERSION=3.0>\r\n"
                               "<TYPE=KME_DRIVE><NAME=TableDrv><VERSION=1.5>\r\n"
                               "<TYPE=CONFIG_DRIVE><NAME=_config_><VERSION=1.0.0.7>\r\n\r\n"));
  SetString(HKEY_LOCAL_MACHINE, kRecord, L"URLUpdateInfo", L"");
  EXPECT_EQ(engine_.Init(kName), 4);
  EXPECT_EQ(std::wstring(engine_.imeDriverName()), L"MainDrv");
  EXPECT_EQ(std::wstring(engine_.skinDriverName()), L"prismic");
  EXPECT_EQ(engine_.CheckUpdates(), 3);
  const UpdateEntryList& plan = *engine_.plan();
  EXPECT_EQ(std::wstring(plan.At(0)->name), L"MainDrv");
  EXPECT_EQ(plan.At(0)->localVersion, 0u);  // no such file in the system folder
  EXPECT_EQ(plan.At(0)->serverVersion, 0x0002000000000000ull);
  EXPECT_EQ(std::wstring(plan.At(1)->path), dir_ + L"install\\mb.dll");
  EXPECT_EQ(std::wstring(plan.At(2)->path), dir_ + L"install\\config.exe");
  EXPECT_EQ(rec_.messages, std::vector<std::wstring>{L"开始Kelo驱动程序更新："});
  // An empty URLUpdateInfo: one list only.
  const std::string log = server_.Log();
  EXPECT_EQ(log.find("Mavren/1.0", log.find("Mavren/1.0") + 1), std::string::npos) << log;
}

TEST_F(Engine, UpdateServerFromThePolicyThenTheMachineKeyNeverTheUser) {
  wchar_t server[512];
  GetUpdateServer(kName, server);
  const std::wstring builtIn = server;
  SetString(HKEY_CURRENT_USER, kVendor, L"UpdateServer", L"http://user.example");
  GetUpdateServer(kName, server);
  EXPECT_EQ(std::wstring(server), builtIn);
  SetString(HKEY_LOCAL_MACHINE, kVendor, L"UpdateServer", L"http://machine.example/");
  GetUpdateServer(kName, server);
  EXPECT_EQ(std::wstring(server), L"http://machine.example");
  SetString(HKEY_LOCAL_MACHINE, kPolicy, L"UpdateServer", L"");  // empty: unset
  GetUpdateServer(kName, server);
  EXPECT_EQ(std::wstring(server), L"http://machine.example");
  SetString(HKEY_LOCAL_MACHINE, kPolicy, L"UpdateServer", L"https://policy.example");
  GetUpdateServer(kName, server);
  EXPECT_EQ(std::wstring(server), L"https://policy.example");
}

TEST_F(Engine, OnlyWebAddressesAreFetched) {
  const std::wstring target = dir_ + L"dl\\t.bin";
  // Another scheme fails at once like a failed download: the earlier copy
  // is gone, no file is made, the server hears nothing.
  const std::wstring local = L"file:///" + root_ + L"big.bin";
  for (const std::wstring& url : {std::wstring(L"ftp://127.0.0.1:21/big.bin"), local,
                                  root_ + L"big.bin", Url(L"/big.bin").substr(4)}) {
    ASSERT_TRUE(testfs::WriteAll(target, std::string("old")));
    EXPECT_FALSE(engine_.DownloadFile(url.c_str(), target.c_str())) << kl::ToUtf8(url.c_str());
    EXPECT_FALSE(testfs::Exists(target));
  }
  EXPECT_EQ(server_.Log().find("big.bin"), std::string::npos);
  // The scheme in any letter case.
  std::wstring upper = Url(L"/big.bin");
  upper.replace(0, 4, L"HtTp");
  EXPECT_TRUE(engine_.DownloadFile(upper.c_str(), target.c_str()));
}

TEST(EngineFolders, NoWorkFolderOfItsOwnNoUpdate) {
  // Without the run's own folder the engine does not fall back to the
  // user's temporary folder.
  Recorder rec;
  KLIMEUpdate engine;
  EXPECT_FALSE(engine.Prepare({nullptr, &Recorder::OnMessage, &rec}));
  EXPECT_EQ(rec.messages, std::vector<std::wstring>{L"获取系统临时路径失败"});
  EXPECT_STREQ(engine.tempDir(), L"");
}

TEST_F(Engine, GeneratorItemHasNoLocalFileFromTheUsersRegistry) {
  const wchar_t kGenerator[] = L"Software\\zorbl\\Kelo输入法生成器";
  SetString(HKEY_CURRENT_USER, kGenerator, L"LastRunPath", L"C:\\windows\\system32\\");
  UpdateEntry item;
  item.type = klupdate::kTypeImeGenCab;
  kl::Copy(item.name, L"gen.cab");
  engine_.GetLocalPath(&item);
  RegDeleteTreeW(HKEY_CURRENT_USER, kGenerator);
  EXPECT_STREQ(item.path, L"");
}

}  // namespace
