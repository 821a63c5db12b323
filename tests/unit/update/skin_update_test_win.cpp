// The skin package engine against the test server under Wine: the skin list
// alone is fetched, only SKINZIP records with plain file names are planned
// (a name from the server never becomes a path of its making), packages and
// their pictures land in the download folder, local paths follow the skin
// folder.
#include "update/skin_update_win.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "base/le.h"
#include "state/cmdline_win.h"
#include "testfs_win.h"
#include "update/update_verify_win.h"
#include "update_server_win.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr wchar_t kName[] = L"KlSkinEngineTest";
const std::wstring kVendor = std::wstring(L"Software\\zorbl\\") + kName;

void SetString(HKEY hive, const std::wstring& key, const wchar_t* name, const std::wstring& v) {
  ui::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(hive, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.out(),
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                 static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
}

Bytes Ksc() {
  Bytes b(8 + 1668, 0);
  b[0] = 1;
  kl::Store32(&b[4], 8);
  auto put = [&](size_t at, const std::u16string& s) {
    for (size_t i = 0; i < s.size(); ++i) kl::Store16(&b[8 + at + 2 * i], s[i]);
  };
  put(6, u"kl_ime_config_data_default");
  put(1500, u"MainDrv");
  put(1588, u"prismic");
  return b;
}

struct Recorder {
  std::vector<std::wstring> messages;
  static void OnMessage(const UpdateStatus* s, void* u) {
    static_cast<Recorder*>(u)->messages.push_back(s->text);
  }
};

class SkinEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfs::TempFolder() + testfs::Unique(L"klskineng") + L"\\";
    root_ = dir_ + L"www\\";
    for (const wchar_t* sub : {L"", L"www\\", L"www\\_supports\\", L"www\\_supports\\klskin_prismic\\",
                               L"www\\skins\\", L"dl\\", L"install\\"})
      CreateDirectoryW((dir_ + sub).c_str(), nullptr);
    ASSERT_TRUE(server_.Start(dir_, root_,
                              std::string(KL_SOURCE_DIR) + "/tests/support/update_server.py"));
    engine_.SetDownloadFolder((dir_ + L"dl\\").c_str());
    ASSERT_TRUE(engine_.Prepare({nullptr, &Recorder::OnMessage, &rec_}));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendor.c_str());
    SetString(HKEY_LOCAL_MACHINE, kVendor, L"KMEInstallPath", dir_ + L"install");
    SetString(HKEY_LOCAL_MACHINE, kVendor, L"UpdateServer", server_.Base());
    wchar_t data[kPathChars];
    ASSERT_TRUE(GetProductDataFolder(kName, data));
    SHCreateDirectoryExW(nullptr, data, nullptr);
    ASSERT_TRUE(testfs::WriteAll(std::wstring(data) + L"config.ksc", Ksc()));
  }
  void TearDown() override {
    server_.Stop();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendor.c_str());
    wchar_t data[kPathChars];
    if (GetProductDataFolder(kName, data)) testfs::RemoveTree(data);
    testfs::RemoveTree(dir_);
  }
  std::string Base() { return kl::ToUtf8(server_.Base().c_str()); }

  std::wstring dir_, root_;
  testsrv::UpdateServer server_;
  Recorder rec_;
  KLSKINZIPUpdate engine_;
};

TEST(SkinNames, OnlyPlainFileNames) {
  for (const wchar_t* ok : {L"Alpha", L"blue sky", L"皮肤2", L"a.b", L"CONX"})
    EXPECT_TRUE(IsUsableSkinName(ok)) << kl::ToUtf8(ok);
  for (const wchar_t* bad : {L"", L".", L"..", L"..\\x", L"a/b", L"a\\b", L"\\x", L"C:x", L"a:b",
                             L"CON", L"nul.txt", L"Com1", L"LPT9.zip", L"trail.", L"trail ",
                             L"a*b", L"a?b", L"a\tb", L"a<b"})
    EXPECT_FALSE(IsUsableSkinName(bad)) << kl::ToUtf8(bad);
  EXPECT_FALSE(IsUsableSkinName(nullptr));
}

TEST_F(SkinEngine, PlansPlainSkinPackagesAndDownloadsThemWithTheirPictures) {
  const std::string skins = Base() + "/skins/";
  std::string list = "\xEF\xBB\xBF<TYPE=SKIN_DRIVE><NAME=prismic><VERSION=9.0><CABURL=" + skins + "x.cab>\r\n";
  for (const char* hostile : {"..", "..\\\\evil", "sub/evil", "C:evil", "evil:stream", "CON",
                              "nul.zip", "trail.", "sp. "})
    list += std::string("<TYPE=SKINZIP><NAME=") + hostile + "><VERSION=1.0><CABURL=" + skins +
            "Alpha.zip>\r\n";
  list += "<TYPE=skinzip><NAME=Alpha><VERSION=1.2.3.4><CABURL=" + skins + "Alpha.zip>\r\n";
  list += "<TYPE=SKINZIP><NAME=NoPicture><VERSION=1.0><CABURL=" + skins + "NoPicture.zip>\r\n";
  ASSERT_TRUE(testfs::WriteAll(root_ + L"_supports\\klskin_prismic\\updatelist.txt", list));
  const std::string zip = "PK\x05\x06" + std::string(18, '\0');
  ASSERT_TRUE(testfs::WriteAll(root_ + L"skins\\Alpha.zip", zip));
  ASSERT_TRUE(testfs::WriteAll(root_ + L"skins\\Alpha.zip.png", std::string("png bytes")));
  ASSERT_TRUE(testfs::WriteAll(root_ + L"skins\\NoPicture.zip", zip));

  EXPECT_EQ(engine_.Init(kName), 12);
  EXPECT_EQ(engine_.CheckUpdates(), 2);
  const UpdateEntryList& plan = *engine_.plan();
  EXPECT_EQ(std::wstring(plan.At(0)->name), L"Alpha");
  EXPECT_EQ(plan.At(0)->serverVersion, 0x0001000200030004ull);
  EXPECT_EQ(plan.At(0)->localVersion, 0u);
  EXPECT_EQ(std::wstring(plan.At(0)->path), dir_ + L"install\\skin.zip");
  EXPECT_EQ(std::wstring(plan.At(1)->name), L"NoPicture");
  // Only the skin list was asked for.
  std::string log = server_.Log();
  EXPECT_NE(log.find("GET /_supports/klskin_prismic/updatelist.txt"), std::string::npos) << log;
  EXPECT_EQ(log.find("klime_drives"), std::string::npos) << log;

  EXPECT_TRUE(engine_.UpdateItem(plan.At(0)));
  EXPECT_EQ(testfs::ReadText(dir_ + L"dl\\Alpha.zip"), zip);
  EXPECT_EQ(testfs::ReadText(dir_ + L"dl\\Alpha.png"), "png bytes");
  EXPECT_FALSE(engine_.UpdateItem(plan.At(1)));
  EXPECT_TRUE(testfs::Exists(dir_ + L"dl\\NoPicture.zip"));
  EXPECT_EQ(rec_.messages, (std::vector<std::wstring>{L"开始Kelo驱动程序更新：", L"更新：Alpha",
                                                      L"更新：NoPicture",
                                                      L"　　下载NoPicture .png 失败"}));

  // A hostile item handed in directly: refused before any request.
  UpdateEntry evil;
  evil.type = klupdate::kTypeSkinZip;
  wcscpy(evil.name, L"..\\..\\evil");
  wcscpy(evil.cabUrl, (server_.Base() + L"/skins/Alpha.zip?evil").c_str());
  EXPECT_FALSE(engine_.UpdateItem(&evil));
  EXPECT_EQ(server_.Log().find("evil"), std::string::npos);

  // With the skin folder, each package has its own file there.
  CreateDirectoryW((dir_ + L"install\\prismic").c_str(), nullptr);
  UpdateEntry item;
  item.type = klupdate::kTypeSkinZip;
  wcscpy(item.name, L"Alpha");
  engine_.GetLocalPath(&item);
  EXPECT_EQ(std::wstring(item.path), dir_ + L"install\\prismic\\Alpha.zip");

  // Files written: only the download folder's.
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir_ + L"*").c_str(), &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  do files.push_back(fd.cFileName); while (FindNextFileW(h, &fd));
  FindClose(h);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::wstring>{L".", L"..", L"dl", L"install", L"port.txt",
                                              L"requests.log", L"www"}));
}

// The digests of a signed list decide even in a build without a key: a
// package or picture that differs is deleted and the item fails.
TEST_F(SkinEngine, DownloadsThatDifferFromTheirDigestsAreDeleted) {
  const std::string zip = "PK\x05\x06" + std::string(18, '\0');
  uint8_t d[32];
  ASSERT_TRUE(Sha256OfBytes(reinterpret_cast<const unsigned char*>(zip.data()), zip.size(), d));
  const std::string good = klupdate::HexText(d, 32), bad = std::string(64, '0');
  std::string list = "\xEF\xBB\xBF";
  for (const auto& [name, zipDigest, pngDigest] :
       {std::tuple<const char*, std::string, std::string>{"Alpha", good, bad}, {"Beta", bad, good}})
    list += std::string("<TYPE=SKINZIP><NAME=") + name + "><VERSION=1.0><CABURL=" + Base() +
            "/skins/Alpha.zip><SHA256=" + zipDigest + "><PNGSHA256=" + pngDigest + ">\r\n";
  ASSERT_TRUE(testfs::WriteAll(root_ + L"_supports\\klskin_prismic\\updatelist.txt", list));
  ASSERT_TRUE(testfs::WriteAll(root_ + L"skins\\Alpha.zip", zip));
  ASSERT_TRUE(testfs::WriteAll(root_ + L"skins\\Alpha.zip.png", std::string("png bytes")));
  ASSERT_EQ(engine_.Init(kName), 2);
  ASSERT_EQ(engine_.CheckUpdates(), 2);
  EXPECT_FALSE(engine_.UpdateItem(engine_.plan()->At(0)));
  EXPECT_EQ(testfs::ReadText(dir_ + L"dl\\Alpha.zip"), zip);  // the package itself was right
  EXPECT_FALSE(testfs::Exists(dir_ + L"dl\\Alpha.png"));
  EXPECT_FALSE(engine_.UpdateItem(engine_.plan()->At(1)));
  EXPECT_FALSE(testfs::Exists(dir_ + L"dl\\Beta.zip"));
  EXPECT_EQ(rec_.messages, (std::vector<std::wstring>{L"开始Kelo驱动程序更新：", L"更新：Alpha",
                                                      L"　　下载Alpha .png 失败", L"更新：Beta",
                                                      L"　　下载Beta 失败"}));
}

}  // namespace
