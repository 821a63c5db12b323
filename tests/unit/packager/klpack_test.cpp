// The packager: cabinet writing, setup building, reading back, and every
// error the command line reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>

#include "klpack.h"
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include "package/cab_writer.h"
#include "package/cryp_layer.h"
#include "package/pe_layout.h"

namespace fs = std::filesystem;
using klpack::Status;

namespace {

std::vector<unsigned char> ReadAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)), {});
}

void WriteAll(const fs::path& p, const std::vector<unsigned char>& b) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void WriteText(const fs::path& p, const std::string& s) {
  WriteAll(p, std::vector<unsigned char>(s.begin(), s.end()));
}

std::vector<unsigned char> Random(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::vector<unsigned char> v(n);
  for (auto& c : v) c = static_cast<unsigned char>(g());
  return v;
}

uint32_t Le32(const std::vector<unsigned char>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// A minimal PE image: DOS header, "PE\0\0", file header, optional header
// with the given magic, some body bytes.
std::vector<unsigned char> SyntheticPe(bool pe64) {
  std::vector<unsigned char> b(1024, 0);
  b[0] = 'M';
  b[1] = 'Z';
  b[60] = 0x80;
  std::memcpy(&b[0x80], "PE\0\0", 4);
  b[0x84] = pe64 ? 0x64 : 0x4C;
  b[0x85] = pe64 ? 0x86 : 0x01;
  b[0x80 + 20] = pe64 ? 0xF0 : 0xE0;
  b[0x80 + 24] = 0x0B;
  b[0x80 + 25] = pe64 ? 0x02 : 0x01;
  for (size_t i = 0x200; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 7);
  return b;
}

class Packager : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           (std::string("klpack_") + info->test_suite_name() + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    folder_ = dir_ / "in";
    WriteText(folder_ / "sub" / "readme.txt", "hello\r\n");
    WriteAll(folder_ / fs::u8path(u8"词库") / fs::u8path(u8"拼音.dat"), Random(1000, 1));
    WriteAll(folder_ / "empty.bin", {});
    WriteAll(folder_ / "big.bin", Random(70000, 2));
    WriteText(folder_ / ".hidden", "dot");
    manifest_ = dir_ / "m.txt";
    WriteText(manifest_,
              "# product\n"
              "imeName = KeloPinyin\n"
              "displayName = \xE5\x87\xAF\xE4\xB9\x90\xE6\x8B\xBC\xE9\x9F\xB3\n"
              "\n"
              "; more\n"
              "publisher = Kelo Soft\n"
              "urlInfoAbout = http://example.invalid/\n"
              "launchAfterInstall = config.exe\n");
    stub_ = dir_ / "stub.exe";
    WriteAll(stub_, SyntheticPe(false));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  Status Build(const fs::path& out, const klpack::BuildOptions& o = {}) {
    return klpack::BuildSetup(manifest_, folder_, stub_, out, o);
  }
  // Every file of a tree, by relative generic path.
  static std::map<std::string, std::vector<unsigned char>> Tree(const fs::path& root) {
    std::map<std::string, std::vector<unsigned char>> t;
    for (auto& e : fs::recursive_directory_iterator(root))
      if (e.is_regular_file()) t[e.path().lexically_relative(root).generic_u8string()] = ReadAll(e.path());
    return t;
  }
  fs::path dir_, folder_, manifest_, stub_;
};

// ---- cabinet writer -------------------------------------------------------

TEST(CabWriter, InMemoryCabinetsReadBackInBothCompressions) {
  std::vector<cab::Entry> files = {
      {"a.txt", std::vector<unsigned char>(100000, 'a')},
      {"dir\\rand.bin", Random(70000, 3)},
      {"empty", {}},
      {u8"词库\\x.dat", {'h', 'i'}, 0x50EF, 0x1234, 0x21},
  };
  for (auto c : {cab::Compression::MsZip, cab::Compression::Stored}) {
    std::vector<unsigned char> bytes = cab::BuildCabinet(files, c, 77);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(Le32(bytes, 8), bytes.size());
    EXPECT_EQ(bytes[42], c == cab::Compression::MsZip ? 1 : 0);
    klpack::CabSource src;
    src.memory = &bytes;
    klpack::CabListing l;
    std::vector<klpack::MemoryFile> out;
    Status s = klpack::ExtractCabinetToMemory(src, &l, &out);
    ASSERT_TRUE(s.ok()) << s.message;
    EXPECT_FALSE(l.enciphered);
    EXPECT_EQ(l.setId, 77);
    ASSERT_EQ(out.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(out[i].info.name, files[i].name);
      EXPECT_EQ(out[i].data, files[i].data);
      EXPECT_EQ(out[i].info.date, files[i].date);
      EXPECT_EQ(out[i].info.time & ~1u, files[i].time & ~1u);
    }
    EXPECT_EQ(out[3].info.attribs & 0x80, 0x80);  // non-ASCII name flagged UTF-8
    EXPECT_EQ(out[0].info.attribs & 0x80, 0);
  }
}

TEST(CabWriter, ChecksumAndRefusals) {
  const unsigned char d[7] = {1, 2, 3, 4, 5, 6, 7};
  // Whole words XOR, then the tail taken high byte first.
  EXPECT_EQ(cab::Checksum(d, 7, 0), 0x04030201u ^ (5u << 16 | 6u << 8 | 7u));
  EXPECT_TRUE(cab::BuildCabinet({{"", {1}}}).empty());
  EXPECT_TRUE(cab::BuildCabinet({{std::string(256, 'n'), {1}}}).empty());
  cab::MemorySink sink;
  cab::StreamWriter w(sink, cab::Compression::MsZip, 0);
  ASSERT_TRUE(w.Begin({{"a", 3}}));
  unsigned char four[4] = {};
  EXPECT_FALSE(w.Add(four, 4));
  EXPECT_FALSE(w.Finish());
}

// ---- build, extract, round trips ------------------------------------------

TEST_F(Packager, BuildThenExtractGivesTheTreeAndTheHeader) {
  const fs::path out = dir_ / "setup.exe";
  Status s = Build(out);
  ASSERT_TRUE(s.ok()) << s.message;
  const fs::path x = dir_ / "x";
  s = klpack::Extract(out, x);
  ASSERT_TRUE(s.ok()) << s.message;
  auto got = Tree(x);
  ASSERT_EQ(got.count("InstallInfo.kif"), 1u);
  std::vector<unsigned char> kif = got["InstallInfo.kif"];
  got.erase("InstallInfo.kif");
  EXPECT_EQ(got, Tree(folder_));
  ASSERT_EQ(kif.size(), kPackageHeaderSize);
  PackageHeader h;
  ASSERT_TRUE(klpack::HeaderFromBytes(kif, &h));
  EXPECT_EQ(kl::string16(h.imeName), kl::string16(KL_T("KeloPinyin")));
  EXPECT_EQ(kl::ToUtf8(h.displayName), "\xE5\x87\xAF\xE4\xB9\x90\xE6\x8B\xBC\xE9\x9F\xB3");
  EXPECT_EQ(kl::string16(h.publisher), kl::string16(KL_T("Kelo Soft")));
  EXPECT_EQ(kl::string16(h.urlInfoAbout), kl::string16(KL_T("http://example.invalid/")));
  EXPECT_EQ(kl::string16(h.launchAfterInstall), kl::string16(KL_T("config.exe")));
  EXPECT_EQ(h.comments[0], 0);
  // UTF-16LE at the record's offsets.
  EXPECT_EQ(kif[0], 'K');
  EXPECT_EQ(kif[1], 0);
  EXPECT_EQ(kif[292], 'K');

  // Entry order: InstallInfo.kif first, then sorted by UTF-8 bytes.
  klpack::CabSource src;
  uint32_t e = 0;
  ASSERT_TRUE(klpack::LocatePackage(out, &src, &e).ok());
  klpack::CabListing l;
  ASSERT_TRUE(klpack::ListCabinet(src, &l).ok());
  std::vector<std::string> names;
  for (auto& f : l.files) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"InstallInfo.kif", ".hidden", "big.bin", "empty.bin",
                                             "sub\\readme.txt", u8"词库\\拼音.dat"}));
  EXPECT_EQ(l.files[5].attribs & 0x80, 0x80);
  EXPECT_EQ(l.files[1].date, 0x40E6);
}

TEST_F(Packager, OutputIsDeterministicAndTheContainerFollowsTheRules) {
  const fs::path a = dir_ / "a.exe", b = dir_ / "b.exe";
  ASSERT_TRUE(Build(a).ok());
  ASSERT_TRUE(Build(b).ok());
  std::vector<unsigned char> ba = ReadAll(a);
  EXPECT_EQ(ba, ReadAll(b));

  const std::vector<unsigned char> stub = SyntheticPe(false);
  const uint32_t e = ReadPackageOffset(ba.data(), ba.size());
  ASSERT_EQ(e, stub.size());
  // The executable part is the stub with only LoaderFlags changed.
  std::vector<unsigned char> head(ba.begin(), ba.begin() + e);
  WritePackageOffset(head.data(), head.size(), 0);
  EXPECT_EQ(head, stub);
  std::vector<unsigned char> pkg(ba.begin() + e, ba.end());
  ASSERT_EQ(pkg.size() % 8, 0u);
  EXPECT_EQ(std::memcmp(pkg.data(), "CRYP", 4), 0);
  EXPECT_EQ(Le32(pkg, 8) + 7 >= pkg.size() && Le32(pkg, 8) <= pkg.size(), true);
  EXPECT_EQ(Le32(pkg, 44), kPackageHeaderSize);  // first file is InstallInfo.kif
  // Deciphered, it is a plain cabinet whose bytes 4..55 were already plain.
  std::vector<unsigned char> plain = pkg;
  BlowfishContext ctx;
  BlowfishSetKey(&ctx, kPackageKeyLength);
  ASSERT_TRUE(DecipherContainer(&ctx, plain.data(), plain.size()));
  EXPECT_TRUE(std::equal(pkg.begin() + 4, pkg.begin() + 56, plain.begin() + 4));
  plain.resize(Le32(plain, 8));
  klpack::CabSource src;
  src.memory = &plain;
  klpack::CabListing l;
  std::vector<klpack::MemoryFile> files;
  ASSERT_TRUE(klpack::ExtractCabinetToMemory(src, &l, &files).ok());
  EXPECT_EQ(files.size(), 6u);
}

TEST_F(Packager, LoaderFlagsInPe32AndPe64Stubs) {
  for (bool pe64 : {false, true}) {
    WriteAll(stub_, SyntheticPe(pe64));
    const fs::path out = dir_ / (pe64 ? "s64.exe" : "s32.exe");
    ASSERT_TRUE(Build(out).ok());
    std::vector<unsigned char> b = ReadAll(out);
    PeLayout pe{};
    ASSERT_TRUE(ReadPeLayout(b.data(), b.size(), &pe));
    EXPECT_EQ(pe.magic, pe64 ? kPeMagic64 : kPeMagic32);
    EXPECT_EQ(pe.loaderFlags, 1024u);
    EXPECT_EQ(std::memcmp(b.data() + 1024, "CRYP", 4), 0);
  }
}

TEST_F(Packager, PlainCabAndManifestOptions) {
  const fs::path cabFile = dir_ / "u.cab";
  Status s = klpack::BuildPlainCab(folder_, cabFile);
  ASSERT_TRUE(s.ok()) << s.message;
  EXPECT_EQ(std::memcmp(ReadAll(cabFile).data(), "MSCF", 4), 0);
  const fs::path x = dir_ / "x";
  ASSERT_TRUE(klpack::Extract(cabFile, x).ok());
  EXPECT_EQ(Tree(x), Tree(folder_));

  WriteText(manifest_, "imeName=A\ndisplayName=B\nfileTime = 2021-03-04 05:06:08\nsetId = 4321\n");
  ASSERT_TRUE(Build(dir_ / "t.exe").ok());
  klpack::CabSource src;
  uint32_t e;
  ASSERT_TRUE(klpack::LocatePackage(dir_ / "t.exe", &src, &e).ok());
  klpack::CabListing l;
  ASSERT_TRUE(klpack::ListCabinet(src, &l).ok());
  EXPECT_EQ(l.setId, 4321);
  EXPECT_EQ(l.files[2].date, ((2021 - 1980) << 9) | (3 << 5) | 4);
  EXPECT_EQ(l.files[2].time, (5 << 11) | (6 << 5) | 4);
}

TEST(Ksc, RecordsReadBackAtTheirOffsets) {
  std::vector<unsigned char> b;
  ASSERT_TRUE(klpack::BuildKsc({{"kl_ime_config_data_default", "ct.dll", "main.dll", "skin.dll"},
                                {"other", "", "", ""}},
                               &b)
                  .ok());
  EXPECT_EQ(b[0], 2);
  auto text = [&](size_t at) {
    std::string s;
    for (; b[at] || b[at + 1]; at += 2) s += static_cast<char>(b[at]);
    return s;
  };
  const uint32_t r0 = Le32(b, 4), r1 = Le32(b, 8);
  EXPECT_EQ(r1 - r0, klpack::kKscRecordSize);
  EXPECT_EQ(text(r0 + 6), "kl_ime_config_data_default");
  EXPECT_EQ(text(r0 + 1260), "ct.dll");
  EXPECT_EQ(text(r0 + 1500), "main.dll");
  EXPECT_EQ(text(r0 + 1588), "skin.dll");
  EXPECT_EQ(text(r1 + 6), "other");
  EXPECT_EQ(b.size(), r1 + klpack::kKscRecordSize);
  Status s = klpack::BuildKsc({{std::string(40, 'n'), "", "", ""}}, &b);
  EXPECT_EQ(s.code, klpack::kExitInput);
  EXPECT_NE(s.message.find("longer than 39"), std::string::npos);
}

// ---- errors -----------------------------------------------------------------

TEST_F(Packager, ManifestErrorsNameTheLineOrField) {
  struct Case {
    std::string text, expect;
  } cases[] = {
      {"imeName=A\ndisplayName=B\ncolour=red\n", ":3: unknown key \"colour\""},
      {"imeName=A\nimeName=B\ndisplayName=B\n", ":2: duplicate key \"imeName\""},
      {"imeName=A\ndisplayName B\n", ":2: missing \"=\""},
      {"imeName=A\ndisplayName=\xC3\x28\n", ":2: not valid UTF-8"},
      {"imeName=" + std::string(40, 'x') + "\ndisplayName=B\n", "more than 30 characters"},
      {"imeName=A\ndisplayName=B\ncomments=" + std::string(20, 'c') + "\n", "comments is 20"},
      {"displayName=B\n", "imeName is required"},
      {"imeName=A\ndisplayName=B\nfileTime=2012-13-01 00:00:00\n", ":3: fileTime must be"},
  };
  const fs::path out = dir_ / "o.exe";
  for (const Case& c : cases) {
    WriteText(manifest_, c.text);
    Status s = Build(out);
    EXPECT_EQ(s.code, klpack::kExitInput) << c.text;
    EXPECT_NE(s.message.find(c.expect), std::string::npos) << s.message;
    EXPECT_EQ(s.message.find('\n'), std::string::npos);
    EXPECT_FALSE(fs::exists(out));
  }
  // 39 units of a 40-unit field fit; a character outside the BMP counts as two.
  WriteText(manifest_, "imeName=A\ndisplayName=B\npublisher=" + std::string(39, 'x') + "\n");
  EXPECT_TRUE(Build(out).ok());
  WriteText(manifest_, "imeName=A\ndisplayName=B\npublisher=" + std::string(38, 'x') +
                           "\xF0\x9F\x98\x80\n");
  EXPECT_NE(Build(out).message.find("publisher is 40"), std::string::npos);
}

TEST_F(Packager, BuildInputErrorsLeaveNoOutput) {
  const fs::path out = dir_ / "o.exe";
  EXPECT_NE(klpack::BuildSetup(dir_ / "none.txt", folder_, stub_, out).message.find("none.txt"),
            std::string::npos);
  WriteText(dir_ / "notpe.exe", "just text, no executable");
  EXPECT_NE(klpack::BuildSetup(manifest_, folder_, dir_ / "notpe.exe", out).message.find(
                "not a PE"),
            std::string::npos);
  ASSERT_TRUE(Build(dir_ / "first.exe").ok());
  Status s = klpack::BuildSetup(manifest_, folder_, dir_ / "first.exe", out);
  EXPECT_NE(s.message.find("already carries a package"), std::string::npos) << s.message;
  WriteText(folder_ / "InstallInfo.kif", "shadow");
  s = Build(out);
  EXPECT_EQ(s.code, klpack::kExitInput);
  EXPECT_NE(s.message.find("InstallInfo.kif"), std::string::npos);
  EXPECT_FALSE(fs::exists(out));
  // A failed build leaves an earlier output alone.
  WriteText(out, "keep");
  EXPECT_FALSE(Build(out).ok());
  EXPECT_EQ(ReadAll(out), (std::vector<unsigned char>{'k', 'e', 'e', 'p'}));
}

TEST_F(Packager, ReadErrors) {
  const fs::path good = dir_ / "good.exe";
  ASSERT_TRUE(Build(good).ok());
  const std::vector<unsigned char> bytes = ReadAll(good);
  const fs::path x = dir_ / "x";
  auto extractError = [&](const std::vector<unsigned char>& b) {
    WriteAll(dir_ / "bad.exe", b);
    Status s = klpack::Extract(dir_ / "bad.exe", x);
    EXPECT_EQ(s.code, klpack::kExitInput);
    EXPECT_EQ(s.message.find('\n'), std::string::npos);
    return s.message;
  };
  EXPECT_NE(klpack::Extract(dir_ / "missing.exe", x).message.find("no such file"),
            std::string::npos);
  EXPECT_NE(extractError({'M', 'Z', 0, 0}).find("not a PE"), std::string::npos);
  EXPECT_NE(extractError(SyntheticPe(true)).find("no package"), std::string::npos);
  EXPECT_NE(extractError({'n', 'o', 'p', 'e', 0, 0}).find("not a PE executable, package"),
            std::string::npos);

  // Truncated: the last block gone, or cut in the middle of a block.
  std::vector<unsigned char> cut(bytes.begin(), bytes.end() - 8);
  EXPECT_FALSE(extractError(cut).empty());
  cut.resize(cut.size() - 3);
  EXPECT_FALSE(extractError(cut).empty());

  // One flipped byte in the compressed data.
  std::vector<unsigned char> flipped = bytes;
  flipped[flipped.size() - 2000] ^= 0x40;
  EXPECT_FALSE(extractError(flipped).empty());

  // Enciphered under another key.
  BlowfishContext other;
  const unsigned char k[] = "not-the-key";
  BlowfishSetKeyBytes(&other, k, 11);
  klpack::BuildOptions o;
  o.key = &other;
  ASSERT_TRUE(Build(dir_ / "other.exe", o).ok());
  EXPECT_NE(extractError(ReadAll(dir_ / "other.exe")).find("wrong key"), std::string::npos);
  // ...which the right key reads.
  klpack::CabSource src;
  uint32_t e;
  ASSERT_TRUE(klpack::LocatePackage(dir_ / "other.exe", &src, &e).ok());
  src.key = &other;
  EXPECT_TRUE(klpack::ListCabinet(src, nullptr).ok());
}

// ---- the command line ---------------------------------------------------------

TEST_F(Packager, CommandLine) {
  std::string out;
  auto run = [&](std::vector<std::string> a) {
    out.clear();
    return klpack::Run(a, &out);
  };
  const std::string exe = (dir_ / "cli.exe").u8string();
  // build checks for the module and the program started after the install
  WriteAll(folder_ / "KeloPinyin.ime", {});
  WriteAll(folder_ / "config.exe", {});
  Status s = run({"build", "--manifest", manifest_.u8string(), "--folder", folder_.u8string(),
                  "--stub", stub_.u8string(), "-o", exe});
  ASSERT_TRUE(s.ok()) << s.message;
  ASSERT_TRUE(run({"inspect", exe}).ok());
  EXPECT_NE(out.find("executable part (E, LoaderFlags): 1024 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("imeName = KeloPinyin"), std::string::npos);
  EXPECT_NE(out.find("sub\\readme.txt"), std::string::npos);
  const std::string ksc = (dir_ / "config.ksc").u8string();
  EXPECT_TRUE(run({"ksc", "-o", ksc, "--record", "a", "--main", "m.dll", "--record", "b"}).ok());
  EXPECT_EQ(ReadAll(dir_ / "config.ksc")[0], 2);
  EXPECT_TRUE(run({"--help"}).ok());
  EXPECT_NE(out.find("klpack build"), std::string::npos);

  EXPECT_EQ(run({}).code, klpack::kExitUsage);
  EXPECT_EQ(run({"frobnicate"}).code, klpack::kExitUsage);
  EXPECT_EQ(run({"build", "--manifest", "m"}).code, klpack::kExitUsage);
  s = run({"cab", "--folder", "x", "-o", "y", "--fast", "1"});
  EXPECT_EQ(s.code, klpack::kExitUsage);
  EXPECT_NE(s.message.find("unknown option \"--fast\""), std::string::npos);
  EXPECT_EQ(run({"ksc", "-o", ksc, "--main", "m.dll"}).code, klpack::kExitUsage);
  EXPECT_EQ(run({"extract", exe}).code, klpack::kExitUsage);

  // Signing: both files or neither, a time stamp only with them; an unsigned
  // setup says so.
  ASSERT_TRUE(run({"inspect", exe}).ok());
  EXPECT_NE(out.find("signed: no"), std::string::npos) << out;
  const std::vector<std::string> build = {"build", "--manifest", manifest_.u8string(), "--folder",
                                          folder_.u8string(), "--stub", stub_.u8string(), "-o",
                                          (dir_ / "signed.exe").u8string()};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> a = build;
    a.insert(a.end(), extra.begin(), extra.end());
    return run(a);
  };
  EXPECT_EQ(with({"--sign-cert", "c.pem"}).code, klpack::kExitUsage);
  EXPECT_EQ(with({"--timestamp-url", "http://ts.example/"}).code, klpack::kExitUsage);
  s = with({"--sign-cert", (dir_ / "none.pem").u8string(), "--sign-key",
            (dir_ / "none.key").u8string()});
  EXPECT_EQ(s.code, klpack::kExitInput);
  EXPECT_NE(s.message.find("none.pem"), std::string::npos) << s.message;
  EXPECT_FALSE(fs::exists(dir_ / "signed.exe"));
}

}  // namespace

#ifndef _WIN32
namespace {
// The executable itself: one line on stderr with the prefix, exit codes.
TEST_F(Packager, BinaryReportsOneLineAndExitCode) {
  const fs::path klpackExe = fs::read_symlink("/proc/self/exe").parent_path() / "klpack";
  ASSERT_TRUE(fs::exists(klpackExe));
  const fs::path err = dir_ / "err.txt";
  // build checks for the module and the program started after the install
  WriteAll(folder_ / "KeloPinyin.ime", {});
  WriteAll(folder_ / "config.exe", {});
  auto run = [&](const std::string& args) {
    std::string cmd = "'" + klpackExe.string() + "' " + args + " >/dev/null 2>'" + err.string() + "'";
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  };
  EXPECT_EQ(run("build --manifest '" + manifest_.string() + "' --folder '" + folder_.string() +
                "' --stub '" + stub_.string() + "' -o '" + (dir_ / "o.exe").string() + "'"),
            0);
  EXPECT_EQ(run("inspect '" + (dir_ / "nothing.exe").string() + "'"), 2);
  std::vector<unsigned char> e = ReadAll(err);
  std::string text(e.begin(), e.end());
  EXPECT_EQ(text.rfind("klpack: ", 0), 0u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  EXPECT_NE(text.find("nothing.exe"), std::string::npos);
  EXPECT_EQ(run("bogus"), 1);
}
}  // namespace
#endif
