// A vendor's product from klpack alone: init, check (each error and warning
// on a folder the test makes), build with the publisher key in the stub's
// key slot, and the key read back.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>

#include "base/le.h"
#include "check.h"
#include "key_slot.h"
#include "klpack.h"
#include "publisher_key.h"
#include "update/update_key_slot.h"
#include "update/update_list.h"

namespace fs = std::filesystem;
using klpack::Status;
using Bytes = std::vector<unsigned char>;

namespace {

void Put16(Bytes& b, size_t at, uint32_t v) { kl::Store16(&b[at], v); }
void Put32(Bytes& b, size_t at, uint32_t v) { kl::Store32(&b[at], v); }

// A version-information node: header, UTF-16 key, value, children, each
// 4-aligned.
Bytes Node(const std::u16string& key, const Bytes& value, uint16_t valueLength, uint16_t type,
           const std::vector<Bytes>& children) {
  Bytes n(6, 0);
  for (char16_t c : key + u'\0') n.push_back(c & 0xFF), n.push_back(c >> 8);
  while (n.size() % 4) n.push_back(0);
  n.insert(n.end(), value.begin(), value.end());
  for (const Bytes& c : children) {
    while (n.size() % 4) n.push_back(0);
    n.insert(n.end(), c.begin(), c.end());
  }
  Put16(n, 0, static_cast<uint32_t>(n.size()));
  Put16(n, 2, valueLength);
  Put16(n, 4, type);
  return n;
}

Bytes Utf16z(const std::u16string& s) {
  Bytes b;
  for (char16_t c : s + u'\0') b.push_back(c & 0xFF), b.push_back(c >> 8);
  return b;
}

// VS_VERSIONINFO with FileVersion "1.2.3.4" and the other given strings in
// table 080404b0, listed in its Translation.
Bytes VersionBlock(const std::vector<std::u16string>& more = {u"FileDescription", u"CompanyName"}) {
  Bytes fixed(52, 0);
  Put32(fixed, 0, 0xFEEF04BD);
  std::vector<Bytes> strings = {Node(u"FileVersion", Utf16z(u"1.2.3.4"), 8, 1, {})};
  for (const auto& key : more) strings.push_back(Node(key, Utf16z(u"x"), 2, 1, {}));
  Bytes table = Node(u"080404b0", {}, 0, 1, strings);
  Bytes sfi = Node(u"StringFileInfo", {}, 0, 1, {table});
  Bytes translation = Node(u"Translation", {0x04, 0x08, 0xB0, 0x04}, 4, 0, {});
  Bytes vfi = Node(u"VarFileInfo", {}, 0, 1, {translation});
  return Node(u"VS_VERSION_INFO", fixed, 52, 0, {sfi, vfi});
}

struct Res {
  uint32_t type, id;
  Bytes data;
};

// A PE32 with one ".rsrc" section holding the resources (one language each).
Bytes PeWith(const std::vector<Res>& resources) {
  std::map<uint32_t, std::vector<const Res*>> byType;
  for (const Res& r : resources) byType[r.type].push_back(&r);
  // Directory: root, a level per type, a language level per resource, data
  // entries, then the data.
  Bytes rsrc(16 + 8 * byType.size(), 0);
  Put16(rsrc, 14, static_cast<uint32_t>(byType.size()));
  std::vector<std::pair<size_t, const Res*>> dataEntries;
  size_t t = 0;
  for (const auto& [type, list] : byType) {
    const size_t typeDir = rsrc.size();
    Put32(rsrc, 16 + 8 * t, type);
    Put32(rsrc, 20 + 8 * t, 0x80000000u | static_cast<uint32_t>(typeDir));
    rsrc.resize(rsrc.size() + 16 + 8 * list.size());
    Put16(rsrc, typeDir + 14, static_cast<uint32_t>(list.size()));
    for (size_t i = 0; i < list.size(); ++i) {
      const size_t lang = rsrc.size();
      Put32(rsrc, typeDir + 16 + 8 * i, list[i]->id);
      Put32(rsrc, typeDir + 20 + 8 * i, 0x80000000u | static_cast<uint32_t>(lang));
      rsrc.resize(rsrc.size() + 24);
      Put16(rsrc, lang + 14, 1);
      Put32(rsrc, lang + 16, 0x804);
      dataEntries.push_back({lang + 20, list[i]});
    }
    ++t;
  }
  constexpr uint32_t kVa = 0x1000;
  for (const auto& [slot, r] : dataEntries) {
    const size_t entry = rsrc.size();
    rsrc.resize(rsrc.size() + 16);
    Put32(rsrc, slot, static_cast<uint32_t>(entry));
    while (rsrc.size() % 4) rsrc.push_back(0);
    Put32(rsrc, entry, kVa + static_cast<uint32_t>(rsrc.size()));
    Put32(rsrc, entry + 4, static_cast<uint32_t>(r->data.size()));
    rsrc.insert(rsrc.end(), r->data.begin(), r->data.end());
  }
  while (rsrc.size() % 512) rsrc.push_back(0);
  Bytes pe(0x200, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  Put32(pe, 60, 0x80);
  std::memcpy(&pe[0x80], "PE\0\0", 4);
  Put16(pe, 0x84, 0x14C);
  Put16(pe, 0x86, 1);
  Put16(pe, 0x94, 0xE0);
  const size_t opt = 0x98;
  Put16(pe, opt, 0x10B);
  Put32(pe, opt + 92, 16);
  Put32(pe, opt + 96 + 16, kVa);
  Put32(pe, opt + 96 + 20, static_cast<uint32_t>(rsrc.size()));
  const size_t sec = opt + 0xE0;
  std::memcpy(&pe[sec], ".rsrc", 5);
  Put32(pe, sec + 8, static_cast<uint32_t>(rsrc.size()));
  Put32(pe, sec + 12, kVa);
  Put32(pe, sec + 16, static_cast<uint32_t>(rsrc.size()));
  Put32(pe, sec + 20, 0x200);
  pe.insert(pe.end(), rsrc.begin(), rsrc.end());
  return pe;
}

const Bytes kIcon(40, 1), kBitmap(48, 2);
Bytes Module() { return PeWith({{16, 1, VersionBlock()}, {3, 1, kIcon}}); }
Bytes SkinDriver() { return PeWith({{16, 1, VersionBlock()}, {2, 103, kBitmap}, {2, 104, kBitmap}}); }

// A stub with the key slot: a synthetic PE32 with the marker and an empty
// point somewhere in its body.
Bytes StubWithSlot() {
  Bytes pe = PeWith({{16, 1, VersionBlock()}});
  Bytes slot(klupdate::kKeySlotBytes, 0);
  std::memcpy(slot.data(), KL_UPDATE_KEY_SLOT_MARKER, klupdate::kKeySlotMarkerBytes);
  pe.insert(pe.end(), slot.begin(), slot.end());
  pe.resize(pe.size() + 64, 0x90);
  Put32(pe, 0x80 + 88, 0x12345);  // a PE checksum (the linker's, now stale)
  return pe;
}

// The PE checksum as the loader computes it.
uint32_t PeChecksum(const Bytes& b) {
  uint64_t sum = 0;
  for (size_t i = 0; i < b.size(); i += 2) {
    if (i == 0x80 + 88 || i == 0x80 + 90) continue;
    sum += b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + b.size());
}

class ProductCheck : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("klpack_check_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Write(const fs::path& p, const Bytes& b) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  void Write(const fs::path& p, const std::string& s) { Write(p, Bytes(s.begin(), s.end())); }
  Bytes Read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), {});
  }
  // A complete product "Vendor" in dir_/p with manifest dir_/m.txt.
  void MakeComplete(const std::string& extraManifest = "") {
    Write(dir_ / "m.txt", "imeName = Vendor\ndisplayName = Vendor IME\ndisplayVersion = 2.0.0.1\n" +
                              extraManifest);
    Write(dir_ / "p" / "Vendor.ime", Module());
    Write(dir_ / "p" / "skin.dll", SkinDriver());
    Write(dir_ / "p" / "mb.dll", PeWith({{16, 1, VersionBlock()}}));
    Write(dir_ / "p" / "config.exe", Bytes(10, 0));
    Write(dir_ / "p" / "main.chm", Bytes(10, 0));
    Write(dir_ / "p" / "License.html", "<p>licence</p>");
    Bytes ksc;
    ASSERT_TRUE(klpack::BuildKsc({{"kl_ime_config_data_default", "VendorMB", "Vendor", "vskin"}}, &ksc).ok());
    Write(dir_ / "p" / "$dataFiles$" / "config.ksc", ksc);
  }
  klpack::CheckReport Check() {
    klpack::CheckReport r;
    Status s = klpack::CheckProduct(dir_ / "m.txt", dir_ / "p", &r);
    EXPECT_TRUE(s.ok()) << s.message;
    return r;
  }
  fs::path dir_;
};

TEST_F(ProductCheck, EachErrorIsNamed) {
  MakeComplete();
  klpack::CheckReport r = Check();
  EXPECT_TRUE(r.errors.empty() && r.warnings.empty()) << r.Text();

  // The module under the wrong name: the expected file and the near miss.
  fs::rename(dir_ / "p" / "Vendor.ime", dir_ / "p" / "Vendor.kelo.ime");
  r = Check();
  ASSERT_EQ(r.errors.size(), 1u) << r.Text();
  EXPECT_NE(r.errors[0].find("\"Vendor.ime\""), std::string::npos) << r.errors[0];
  EXPECT_NE(r.errors[0].find("found \"Vendor.kelo.ime\""), std::string::npos) << r.errors[0];
  std::string out;
  Status s = klpack::Run({"build", "--manifest", (dir_ / "m.txt").string(), "--folder",
                          (dir_ / "p").string(), "--stub", "none.exe", "-o", (dir_ / "o.exe").string()},
                         &out);
  EXPECT_EQ(s.code, klpack::kExitInput);
  EXPECT_NE(s.message.find("nothing was written"), std::string::npos) << s.message;
  EXPECT_FALSE(fs::exists(dir_ / "o.exe"));
  fs::rename(dir_ / "p" / "Vendor.kelo.ime", dir_ / "p" / "Vendor.ime");

  // A displayVersion that is not four numbers; a launchAfterInstall not in the package.
  MakeComplete();
  Write(dir_ / "m.txt", "imeName = Vendor\ndisplayName = Vendor IME\ndisplayVersion = banana\n");
  r = Check();
  ASSERT_EQ(r.errors.size(), 1u) << r.Text();
  EXPECT_NE(r.errors[0].find("displayVersion \"banana\""), std::string::npos);
  Write(dir_ / "m.txt", "imeName = Vendor\ndisplayName = Vendor IME\nlaunchAfterInstall = setup\\go.exe\n");
  r = Check();
  ASSERT_EQ(r.errors.size(), 1u) << r.Text();
  EXPECT_NE(r.errors[0].find("launchAfterInstall \"setup\\go.exe\""), std::string::npos) << r.errors[0];

  // A value the setup would cut: the manifest itself is refused.
  Write(dir_ / "m.txt", "imeName = Vendor\ndisplayName = Vendor IME\ncomments = " + std::string(20, 'c') + "\n");
  klpack::CheckReport ignored;
  s = klpack::CheckProduct(dir_ / "m.txt", dir_ / "p", &ignored);
  EXPECT_EQ(s.code, klpack::kExitInput);
  EXPECT_NE(s.message.find("comments is 20 UTF-16 units long; at most 19 fit"), std::string::npos) << s.message;
}

TEST_F(ProductCheck, EachWarningIsNamedAndStrictStops) {
  struct Case {
    const char* expect;
    std::function<void(ProductCheck*)> spoil;
  };
  const std::vector<Case> cases = {
      {"no License.html", [](ProductCheck* t) { fs::remove(t->dir_ / "p" / "License.html"); }},
      {"no $dataFiles$\\config.ksc", [](ProductCheck* t) { fs::remove(t->dir_ / "p" / "$dataFiles$" / "config.ksc"); }},
      {"skin driver \"vskin\" but the package has no skin.dll",
       [](ProductCheck* t) { fs::remove(t->dir_ / "p" / "skin.dll"); }},
      {"\"Vendor.ime\" has no version resource",
       [](ProductCheck* t) { t->Write(t->dir_ / "p" / "Vendor.ime", PeWith({{3, 1, kIcon}})); }},
      {"\"Vendor.ime\": no icon 1",
       [](ProductCheck* t) { t->Write(t->dir_ / "p" / "Vendor.ime", PeWith({{16, 1, VersionBlock()}, {3, 2, kIcon}})); }},
      {"\"skin.dll\": a skin driver without bitmaps 103 and 104",
       [](ProductCheck* t) { t->Write(t->dir_ / "p" / "skin.dll", PeWith({{2, 103, kBitmap}})); }},
      {"no config.exe", [](ProductCheck* t) { fs::remove(t->dir_ / "p" / "config.exe"); }},
      {"no main.chm", [](ProductCheck* t) { fs::remove(t->dir_ / "p" / "main.chm"); }},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_ / "p");
    MakeComplete();
    c.spoil(this);
    klpack::CheckReport r = Check();
    EXPECT_TRUE(r.errors.empty()) << r.Text();
    ASSERT_EQ(r.warnings.size(), 1u) << c.expect << "\n" << r.Text();
    EXPECT_NE(r.warnings[0].find(c.expect), std::string::npos) << r.warnings[0];
  }
  std::string out;
  const std::vector<std::string> check = {"check", (dir_ / "p").string(), "--manifest", (dir_ / "m.txt").string()};
  EXPECT_TRUE(klpack::Run(check, &out).ok());
  EXPECT_NE(out.find("warning: no main.chm"), std::string::npos) << out;
  std::vector<std::string> strict = check;
  strict.push_back("--strict");
  EXPECT_EQ(klpack::Run(strict, &out).code, klpack::kExitInput);
}

TEST_F(ProductCheck, TwoVendorsKeysInOneStubReadBack) {
  Write(dir_ / "stub.exe", StubWithSlot());
  MakeComplete();
  std::string keys[2];
  for (int i = 0; i < 2; ++i) {
    const fs::path kd = dir_ / ("keys" + std::to_string(i));
    std::string report;
    ASSERT_TRUE(klpack::Run({"keygen", "-o", kd.string()}, &report).ok()) << report;
    std::string pub(reinterpret_cast<const char*>(Read(kd / "update-key.pub").data()), 130);
    keys[i] = pub;
    // The PEM form carries the same point.
    uint8_t fromPem[64], fromHex[64];
    ASSERT_TRUE(klpack::LoadPublicKeyFile(kd / "update-key.pub.pem", fromPem).ok());
    ASSERT_TRUE(klpack::LoadPublicKeyFile(kd / "update-key.pub", fromHex).ok());
    EXPECT_EQ(0, std::memcmp(fromPem, fromHex, 64));
    const fs::path out = dir_ / ("setup" + std::to_string(i) + ".exe");
    std::string text;
    Status s = klpack::Run({"build", "--manifest", (dir_ / "m.txt").string(), "--folder", (dir_ / "p").string(),
                            "--stub", (dir_ / "stub.exe").string(), "-o", out.string(), "--update-key",
                            (kd / (i ? "update-key.pub.pem" : "update-key.pub")).string()},
                           &text);
    ASSERT_TRUE(s.ok()) << s.message << text;
    std::string inspect;
    ASSERT_TRUE(klpack::Run({"inspect", out.string()}, &inspect).ok());
    EXPECT_NE(inspect.find("update key: " + pub + "\n"), std::string::npos) << inspect;
    const Bytes setup = Read(out);
    EXPECT_EQ(klpack::ReadKeySlot(setup.data(), setup.size()), pub);
    const uint32_t written = setup[0xD8] | setup[0xD9] << 8 | setup[0xDA] << 16 | uint32_t{setup[0xDB]} << 24;
    EXPECT_EQ(written, PeChecksum(setup)) << "the checksum covers the key and the package";
  }
  EXPECT_NE(keys[0], keys[1]);
  // The stub itself is left as it was; a setup from it without a key says so.
  EXPECT_EQ(Read(dir_ / "stub.exe"), StubWithSlot());
  std::string text, inspect;
  ASSERT_TRUE(klpack::Run({"build", "--manifest", (dir_ / "m.txt").string(), "--folder", (dir_ / "p").string(),
                           "--stub", (dir_ / "stub.exe").string(), "-o", (dir_ / "plain.exe").string()},
                          &text).ok());
  ASSERT_TRUE(klpack::Run({"inspect", (dir_ / "plain.exe").string()}, &inspect).ok());
  EXPECT_NE(inspect.find("update key: none\n"), std::string::npos) << inspect;

  // A stub without the slot, or with two, is refused and nothing is written.
  Write(dir_ / "old.exe", PeWith({{16, 1, VersionBlock()}}));
  Bytes twice = StubWithSlot();
  const Bytes slot(twice.end() - 64 - static_cast<long>(klupdate::kKeySlotBytes), twice.end() - 64);
  twice.insert(twice.end(), slot.begin(), slot.end());
  Write(dir_ / "twice.exe", twice);
  const char* expect[] = {"has no update key slot", "holds the update key slot's marker 2 times"};
  int n = 0;
  for (const char* stub : {"old.exe", "twice.exe"}) {
    Status s = klpack::Run({"build", "--manifest", (dir_ / "m.txt").string(), "--folder", (dir_ / "p").string(),
                            "--stub", (dir_ / stub).string(), "-o", (dir_ / "bad.exe").string(),
                            "--update-key", (dir_ / "keys0" / "update-key.pub").string()},
                           &text);
    EXPECT_EQ(s.code, klpack::kExitInput);
    EXPECT_NE(s.message.find(expect[n++]), std::string::npos) << s.message;
    EXPECT_FALSE(fs::exists(dir_ / "bad.exe"));
  }
  // A key file that is no key, or a point off the curve.
  Write(dir_ / "bad.pub", "04" + std::string(128, '1') + "\n");
  Status s = klpack::Run({"build", "--manifest", (dir_ / "m.txt").string(), "--folder", (dir_ / "p").string(),
                          "--stub", (dir_ / "stub.exe").string(), "-o", (dir_ / "bad.exe").string(),
                          "--update-key", (dir_ / "bad.pub").string()},
                         &text);
#ifndef _WIN32  // Wine's CNG imports any point; OpenSSL and Windows check the curve
  EXPECT_NE(s.message.find("not a point of the P-256 curve"), std::string::npos) << s.message;
#else
  (void)s;
#endif
}

TEST_F(ProductCheck, InitThenTheVendorsFilesThenCleanBuild) {
  std::string out;
  Status s = klpack::Run({"init", (dir_ / "ime").string(), "--key", "Vendor", "--name", "维德输入法"}, &out);
  ASSERT_TRUE(s.ok()) << s.message;
  const fs::path m = dir_ / "ime" / "product.manifest", p = dir_ / "ime" / "product";
  // What is still missing, exactly.
  klpack::CheckReport r;
  ASSERT_TRUE(klpack::CheckProduct(m, p, &r).ok());
  ASSERT_EQ(r.errors.size(), 1u) << r.Text();
  EXPECT_EQ(r.errors[0].find("the IME module \"Vendor.ime\" is missing"), 0u) << r.errors[0];
  ASSERT_EQ(r.warnings.size(), 2u) << r.Text();
  EXPECT_EQ(r.warnings[0].find("no config.exe"), 0u);
  EXPECT_EQ(r.warnings[1].find("no main.chm"), 0u);
  // The vendor's files.
  Write(p / "Vendor.ime", Module());
  Write(p / "config.exe", Bytes(10, 0));
  Write(p / "main.chm", Bytes(10, 0));
  ASSERT_TRUE(klpack::CheckProduct(m, p, &r).ok());
  EXPECT_TRUE(r.errors.empty() && r.warnings.empty()) << r.Text();
  Write(dir_ / "stub.exe", StubWithSlot());
  out.clear();
  s = klpack::Run({"build", "--manifest", m.string(), "--folder", p.string(), "--stub",
                   (dir_ / "stub.exe").string(), "-o", (dir_ / "setup.exe").string()},
                  &out);
  ASSERT_TRUE(s.ok()) << s.message << out;
  EXPECT_EQ(out, "");  // a clean product builds without a word
  ASSERT_TRUE(klpack::Run({"inspect", (dir_ / "setup.exe").string()}, &out).ok());
  for (const char* expect : {"imeName = Vendor\n", "displayName = 维德输入法\n", "Vendor.ime\n",
                             "$dataFiles$\\config.ksc\n", "License.html\n"})
    EXPECT_NE(out.find(expect), std::string::npos) << expect << "\n" << out;
  // init never writes into a folder that holds something.
  EXPECT_EQ(klpack::Run({"init", (dir_ / "ime").string(), "--key", "Vendor", "--name", "X"}, &out).code,
            klpack::kExitInput);
  EXPECT_EQ(klpack::Run({"init", (dir_ / "x").string(), "--key", "a/b", "--name", "X"}, &out).code,
            klpack::kExitUsage);
}

TEST_F(ProductCheck, HelpForEveryCommandAndUpdateTreeDriverRules) {
  std::string out;
  ASSERT_TRUE(klpack::Run({"build", "--help"}, &out).ok());
  for (const char* key : {"imeName (at most 30)", "launchAfterInstall (at most 259)", "fileTime",
                          "$dataFiles$", "--update-key"})
    EXPECT_NE(out.find(key), std::string::npos) << key;
  for (const char* cmd : {"init", "check", "cab", "ksc", "inspect", "extract", "update-tree", "keygen"}) {
    std::string a, b;
    ASSERT_TRUE(klpack::Run({cmd, "--help"}, &a).ok()) << cmd;
    ASSERT_TRUE(klpack::Run({"help", cmd}, &b).ok()) << cmd;
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.find(std::string("klpack ") + cmd), 0u) << a;
  }

  // update-tree publishes no driver the client would refuse (icon 1 and the
  // bitmaps come from the installed file: a published one may lack them), and
  // takes a skin's version from NAME.version.
  const fs::path drivers = dir_ / "drivers";
  Write(drivers / "IME_MAIN" / "Vendor.ime", PeWith({{16, 1, VersionBlock({u"FileDescription"})}, {3, 1, kIcon}}));
  Write(drivers / "SKIN_DRIVE" / "vskin.dll", PeWith({{16, 1, VersionBlock()}}));
  Status s = klpack::Run({"update-tree", "--drivers", drivers.string(), "--base-url", "http://x", "-o",
                          (dir_ / "out").string()},
                         &out);
  EXPECT_NE(s.message.find("Vendor.ime: its version resource has no CompanyName"), std::string::npos)
      << s.message;
  EXPECT_FALSE(fs::exists(dir_ / "out" / "drivers"));
  Write(drivers / "IME_MAIN" / "Vendor.ime", PeWith({{16, 1, VersionBlock()}}));
  s = klpack::Run({"update-tree", "--drivers", drivers.string(), "--base-url", "http://x", "-o",
                   (dir_ / "out").string()},
                  &out);
  EXPECT_TRUE(s.ok()) << s.message;

  Write(dir_ / "skins" / "Alpha.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  Write(dir_ / "skins" / "Alpha.png", std::string("\x89PNG\r\n\x1A\n", 8));
  Write(dir_ / "skins" / "Alpha.version", "2.1.0.3\r\n");
  ASSERT_TRUE(klpack::Run({"update-tree", "--skins", (dir_ / "skins").string(), "--base-url", "http://x",
                           "-o", (dir_ / "out").string()},
                          &out).ok());
  const Bytes list = Read(dir_ / "out" / "_supports" / "klskin_prismic" / "updatelist.txt");
  EXPECT_NE(std::string(list.begin(), list.end()).find("<NAME=Alpha><VERSION=2.1.0.3>"), std::string::npos);
  Write(dir_ / "skins" / "Alpha.version", "2.1\n");
  EXPECT_EQ(klpack::Run({"update-tree", "--skins", (dir_ / "skins").string(), "--base-url", "http://x",
                         "-o", (dir_ / "out").string()},
                        &out).code,
            klpack::kExitInput);
}

}  // namespace
