// The packager given hostile input: folders it cannot list, link loops,
// devices and names the setup refuses; outputs that are links, FIFOs or have
// links in their way; oversized and malformed manifests and stubs. Each ends
// with a message naming the path or field, or packs every file.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "klpack.h"
#include "package/pe_layout.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using klpack::Status;

namespace {

#ifndef _WIN32

void WriteText(const fs::path& p, const std::string& s) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f << s;
}

std::string ReadText(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

// A minimal PE32 image (DOS header, "PE\0\0", optional header magic).
void WriteStub(const fs::path& p) {
  std::string b(1024, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  b[60] = static_cast<char>(0x80);
  b.replace(0x80, 4, std::string("PE\0\0", 4));
  b[0x84] = 0x4C;
  b[0x85] = 0x01;
  b[0x80 + 20] = static_cast<char>(0xE0);
  b[0x80 + 24] = 0x0B;
  b[0x80 + 25] = 0x01;
  WriteText(p, b);
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / (std::string("klpack_hostile_") + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    in_ = dir_ / "in";
    WriteText(in_ / "a.txt", "a");
    WriteText(in_ / "sub" / "b.txt", "b");
    WriteText(in_ / "KlHostile.ime", "");  // the module the build's check asks for
    manifest_ = dir_ / "m.txt";
    WriteText(manifest_, "imeName = KlHostile\ndisplayName = Hostile\n");
    stub_ = dir_ / "stub.exe";
    WriteStub(stub_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(in_ / "locked", fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  Status Run(std::vector<std::string> args) {
    out_.clear();
    return klpack::Run(args, &out_);
  }
  Status Cab(const fs::path& folder, const fs::path& out) {
    return Run({"cab", "--folder", folder.string(), "-o", out.string()});
  }
  Status Build(const fs::path& out) {
    return Run({"build", "--manifest", manifest_.string(), "--folder", in_.string(), "--stub",
                stub_.string(), "-o", out.string()});
  }
  // Names of the files in a cabinet, as inspect lists them.
  std::string Listing(const fs::path& file) {
    EXPECT_TRUE(Run({"inspect", file.string()}).ok());
    return out_;
  }
  static void ExpectRefused(const Status& s, const std::string& part) {
    EXPECT_EQ(s.code, klpack::kExitInput) << s.message;
    EXPECT_NE(s.message.find(part), std::string::npos) << s.message;
    EXPECT_EQ(s.message.find('\n'), std::string::npos);
    EXPECT_LT(s.message.size(), 2000u);
  }
  fs::path dir_, in_, manifest_, stub_;
  std::string out_;
};

// ---- folders ---------------------------------------------------------------------

TEST_F(Hostile, UnreadableSubfolderStopsTheBuildNamingIt) {
  WriteText(in_ / "locked" / "x.txt", "x");
  WriteText(in_ / "z.txt", "z");
  fs::permissions(in_ / "locked", fs::perms::none);
  fs::permissions(dir_, fs::perms::all);
  // Root lists any folder: the packager runs as an ordinary user in a child.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    std::string out;
    Status s = klpack::Run({"cab", "--folder", in_.string(), "-o", (dir_ / "o.cab").string()}, &out);
    bool named = s.message.find("locked") != std::string::npos;
    _exit(s.code == klpack::kExitInput && named ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the build did not stop naming the unreadable folder";
  EXPECT_FALSE(fs::exists(dir_ / "o.cab"));
}

TEST_F(Hostile, LinksToFoldersAndSpecialFilesStopTheBuild) {
  const fs::path out = dir_ / "o.cab";
  // Two links to the folder itself (a loop without end when followed).
  fs::create_directory_symlink(".", in_ / "l1");
  fs::create_directory_symlink(".", in_ / "l2");
  ExpectRefused(Cab(in_, out), "l1\": a link to a folder");
  fs::remove(in_ / "l1");
  fs::remove(in_ / "l2");
  fs::create_directory_symlink("/", in_ / "root");
  ExpectRefused(Cab(in_, out), "root\": a link to a folder");
  fs::remove(in_ / "root");
  fs::create_symlink(dir_ / "nowhere", in_ / "dangling");
  ExpectRefused(Cab(in_, out), "dangling\": a link whose target");
  fs::remove(in_ / "dangling");
  ASSERT_EQ(mkfifo((in_ / "sub" / "fifo").c_str(), 0600), 0);
  ExpectRefused(Cab(in_, out), "fifo\": neither a file nor a folder");
  fs::remove(in_ / "sub" / "fifo");
  fs::create_symlink("/dev/zero", in_ / "zero");
  ExpectRefused(Cab(in_, out), "zero\": neither a file nor a folder");
  fs::remove(in_ / "zero");
  EXPECT_FALSE(fs::exists(out));

  // A link to a file is packed with the file's bytes; every file is there.
  WriteText(dir_ / "outside.txt", "outside");
  fs::create_symlink(dir_ / "outside.txt", in_ / "linked.txt");
  ASSERT_TRUE(Cab(in_, out).ok()) << out_;
  const std::string l = Listing(out);
  for (const char* n : {"a.txt", "linked.txt", "sub\\b.txt"}) EXPECT_NE(l.find(n), std::string::npos) << n;
  ASSERT_TRUE(Run({"extract", out.string(), "-o", (dir_ / "x").string()}).ok());
  EXPECT_EQ(ReadText(dir_ / "x" / "linked.txt"), "outside");

  // An empty folder gives no cabinet (there would be nothing to read back).
  fs::create_directory(dir_ / "empty");
  ExpectRefused(Cab(dir_ / "empty", dir_ / "e.cab"), "no files to pack");
}

TEST_F(Hostile, NamesTheSetupRefusesAreListedEach) {
  const char* const bad[] = {"CON", "aux.txt", "com1.log", "trail.", "trail ", "a:b", "a*b",
                             "a\"b", "a<b>", "a|b", "ctl\x01", "sub.\\x"};
  for (const char* n : bad) {
    std::string name = n;
    fs::path p = in_;
    if (name == "sub.\\x") p = in_ / "sub." / "x";
    else p /= name;
    WriteText(p, "bad");
  }
  Status s = Cab(in_, dir_ / "o.cab");
  ExpectRefused(s, "12 names the setup cannot extract");
  for (const char* n : {"\"CON\" (a reserved device name)", "\"aux.txt\"", "\"com1.log\"",
                        "\"trail.\" (a trailing dot", "\"trail \"", "\"a:b\" (a drive",
                        "\"a*b\"", "\"a|b\"", "\"ctl\\x01\" (a control character)"})
    EXPECT_NE(s.message.find(n), std::string::npos) << n << " in " << s.message;
  EXPECT_FALSE(fs::exists(dir_ / "o.cab"));

  // Letter case: one file on Windows.
  fs::remove_all(in_);
  WriteText(in_ / "A.txt", "1");
  WriteText(in_ / "a.txt", "2");
  WriteText(in_ / "Dir" / "x", "3");
  WriteText(in_ / "dir" / "x", "4");
  WriteText(in_ / "installinfo.KIF", "5");
  s = Build(dir_ / "o.exe");
  ExpectRefused(s, "3 names");
  EXPECT_NE(s.message.find("\"a.txt\" (the same name as \"A.txt\""), std::string::npos) << s.message;
  EXPECT_NE(s.message.find("\"dir\\x\" (the same name as \"Dir\\x\""), std::string::npos);
  EXPECT_NE(s.message.find("\"installinfo.KIF\" (klpack writes"), std::string::npos);
}

// ---- outputs ---------------------------------------------------------------------

TEST_F(Hostile, OutputsAreNeverWrittenThroughLinksOrOverDevices) {
  WriteText(dir_ / "victim.txt", "victim");
  // -o a FIFO, a link, a folder: refused, left as they are.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  ExpectRefused(Cab(in_, dir_ / "fifo"), "fifo\": exists and is not a regular file");
  EXPECT_TRUE(fs::is_fifo(dir_ / "fifo"));
  fs::create_symlink(dir_ / "victim.txt", dir_ / "link.cab");
  ExpectRefused(Cab(in_, dir_ / "link.cab"), "is a link");
  ExpectRefused(Cab(in_, dir_ / "in"), "is a folder");
  // A link where the temporary part goes: replaced, not written through.
  fs::create_symlink(dir_ / "victim.txt", dir_ / "o.cab.klpack-part");
  ASSERT_TRUE(Cab(in_, dir_ / "o.cab").ok());
  EXPECT_EQ(ReadText(dir_ / "victim.txt"), "victim");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "o.cab.klpack-part")));

  // extract: links in the output tree are refused, never followed.
  fs::create_directories(dir_ / "x");
  fs::create_symlink(dir_ / "victim.txt", dir_ / "x" / "a.txt");
  ExpectRefused(Run({"extract", (dir_ / "o.cab").string(), "-o", (dir_ / "x").string()}),
                "is a link");
  EXPECT_EQ(ReadText(dir_ / "victim.txt"), "victim");
  fs::remove(dir_ / "x" / "a.txt");
  fs::create_directory_symlink(dir_, dir_ / "x" / "sub");
  ExpectRefused(Run({"extract", (dir_ / "o.cab").string(), "-o", (dir_ / "x").string()}),
                "is a link");
  EXPECT_FALSE(fs::exists(dir_ / "b.txt"));
  // What the failed run wrote (a.txt) is gone again; the link stays.
  EXPECT_FALSE(fs::exists(dir_ / "x" / "a.txt"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "x" / "sub"));
  fs::remove(dir_ / "x" / "sub");
  // An existing regular file is replaced.
  WriteText(dir_ / "x" / "a.txt", "old");
  ASSERT_TRUE(Run({"extract", (dir_ / "o.cab").string(), "-o", (dir_ / "x").string()}).ok());
  EXPECT_EQ(ReadText(dir_ / "x" / "a.txt"), "a");
}

// ---- manifests, stubs, inputs -------------------------------------------------------

TEST_F(Hostile, ManifestsAreBoundedAndTheirNamesChecked) {
  const fs::path out = dir_ / "o.exe";
  // Large files are refused unread; a long line is not repeated whole.
  WriteText(manifest_, std::string(1 << 20, '\0'));
  ExpectRefused(Build(out), "larger than 65536 bytes");
  WriteText(manifest_, "imeName=A\ndisplayName=B\ncomments=" + std::string(50000, 'c') + "\n");
  ExpectRefused(Build(out), ":3: line longer than 4096 bytes");
  WriteText(manifest_, "imeName=A\ndisplayName=B\n" + std::string(3000, 'q') + "\n");
  ExpectRefused(Build(out), "missing \"=\" in \"qqqq");
  // A NUL byte does not cut a value silently.
  const char withNul[] = "imeName=Kelo\0Evil\ndisplayName=B\n";
  WriteText(manifest_, std::string(withNul, sizeof withNul - 1));
  ExpectRefused(Build(out), ":1: holds a NUL byte");
  // Lines ending in a lone CR are lines.
  WriteText(manifest_, "imeName=KlCr\rdisplayName=Cr\rpublisher=P\r");
  WriteText(in_ / "KlCr.ime", "");
  ASSERT_TRUE(Build(out).ok()) << out_;
  EXPECT_NE(Listing(out).find("publisher = P\n"), std::string::npos);

  struct Case {
    std::string line, expect;
  } cases[] = {
      {"imeName=..", "a \".\" or \"..\" name"},
      {"imeName=..\\..\\Windows\\x", "cannot be used"},
      {"imeName=a/b", "a folder separator"},
      {"imeName=C:x", "a drive or stream colon"},
      {"imeName=a]b -u x", "a \"]\""},
      {"imeName=CON", "a reserved device name"},
      {"imeName=Kelo.", "a trailing dot or space"},
      {"imeName=Kelo\x01", "a control character"},
      {"imeName=" + std::string(31, 'k'), "more than 30 characters"},
      {"imeName=A\ndisplayName=..\\Start", "displayName"},
      {"imeName=A\nlaunchAfterInstall=..\\..\\x.exe", "launchAfterInstall"},
  };
  for (const Case& c : cases) {
    std::string text = c.line + "\n";
    if (c.line.find("displayName") == std::string::npos) text += "displayName=B\n";
    WriteText(manifest_, text);
    ExpectRefused(Build(out), c.expect);
  }
  WriteText(manifest_, "imeName=" + std::string(30, 'k') + "\ndisplayName=B\n");
  WriteText(in_ / (std::string(30, 'k') + ".ime"), "");
  EXPECT_TRUE(Build(out).ok()) << out_;
}

TEST_F(Hostile, KscNamesAndRepeatedOptions) {
  const std::string ksc = (dir_ / "c.ksc").string();
  ExpectRefused(Run({"ksc", "-o", ksc, "--record", "r", "--main", "..\\..\\evil.ime"}),
                "--main \"..\\..\\evil.ime\" must be a plain file name");
  ExpectRefused(Run({"ksc", "-o", ksc, "--record", "r", "--skin", "C:\\x"}), "--skin");
  ExpectRefused(Run({"ksc", "-o", ksc, "--record", "r", "--code-table", "a/b"}), "--code-table");
  Status s = Run({"ksc", "-o", ksc, "--record", "r", "--main", "a.ime", "--main", "b.ime"});
  EXPECT_EQ(s.code, klpack::kExitUsage);
  EXPECT_NE(s.message.find("given twice"), std::string::npos);
  EXPECT_EQ(Run({"cab", "--folder", "a", "--folder", "b", "-o", "c"}).code, klpack::kExitUsage);
  std::vector<unsigned char> b;
  s = klpack::BuildKsc({{"r", "", std::string("a\0b.ime", 7), ""}}, &b);
  ExpectRefused(s, "holds a NUL byte");
  EXPECT_FALSE(fs::exists(ksc));
}

TEST_F(Hostile, InputsThatAreNotFilesAndOversizedStubs) {
  const fs::path out = dir_ / "o.exe";
  ExpectRefused(Run({"inspect", dir_.string()}), "is a folder, not a file");
  ExpectRefused(Run({"inspect", "/dev/zero"}), "is not a regular file");
  ExpectRefused(Run({"inspect", (dir_ / "none").string()}), "no such file");
  // A sparse 5 GB stub is refused by its size, unread.
  {
    std::ofstream f(dir_ / "huge.exe", std::ios::binary);
  }
  fs::resize_file(dir_ / "huge.exe", 5ull << 30);
  stub_ = dir_ / "huge.exe";
  ExpectRefused(Build(out), "larger than");
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(Hostile, SignedSetupIsReadUpToItsCertificateTable) {
  const fs::path out = dir_ / "o.exe";
  ASSERT_TRUE(Build(out).ok()) << out_;
  std::string b = ReadText(out);
  PeLayout pe{};
  ASSERT_TRUE(ReadPeLayout(reinterpret_cast<const unsigned char*>(b.data()), b.size(), &pe));
  // A certificate table after the package, named by the security directory.
  auto put32 = [&b](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
  };
  const size_t count = pe.loaderFlagsOffset + 4, security = count + 4 + 4 * 8;
  put32(count, 16);
  put32(security, static_cast<uint32_t>(b.size()));
  put32(security + 4, 20);  // the file no longer a multiple of 8 after E
  b += std::string(20, '\x5A');
  WriteText(out, b);
  ASSERT_TRUE(Run({"inspect", out.string()}).ok()) << out_;
  EXPECT_NE(out_.find("sub\\b.txt"), std::string::npos) << out_;
  ASSERT_TRUE(Run({"extract", out.string(), "-o", (dir_ / "x").string()}).ok());
  EXPECT_EQ(ReadText(dir_ / "x" / "sub" / "b.txt"), "b");
  // A table said to reach past the end of the file: no package, as for the setup.
  put32(security + 4, 4096);
  WriteText(out, b);
  ExpectRefused(Run({"inspect", out.string()}), "certificate table is damaged");
}

TEST_F(Hostile, InspectEscapesNamesAndAFailedExtractLeavesNothing) {
  // A cabinet whose names hold control characters and bytes that are not UTF-8.
  WriteText(in_ / "plain.txt", "p");
  const fs::path good = dir_ / "good.cab";
  ASSERT_TRUE(Cab(in_, good).ok()) << out_;
  std::string bytes = ReadText(good);
  size_t at = bytes.find("plain.txt");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 1] = '\x1B';   // ESC
  bytes[at + 2] = '\xFF';   // not UTF-8 (the name is not flagged UTF-8: read as code page 1252)
  WriteText(dir_ / "bad.cab", bytes);
  // inspect lists it, escaped, and gives the setup's verdict.
  ExpectRefused(Run({"inspect", (dir_ / "bad.cab").string()}), "the setup refuses this package");
  EXPECT_EQ(out_.find('\x1B'), std::string::npos);
  EXPECT_NE(out_.find("p\\x1B"), std::string::npos) << out_;
  EXPECT_NE(out_.find("sub\\b.txt"), std::string::npos) << out_;
  // Extracting it fails at that name and removes what it had written.
  const fs::path x = dir_ / "x";
  Status s = Run({"extract", (dir_ / "bad.cab").string(), "-o", x.string()});
  ExpectRefused(s, "cannot be extracted: a control character");
  EXPECT_FALSE(fs::exists(x));
}

// ---- cabinets whose reading would never end ----------------------------------------

// A cabinet of `folders` MSZIP folders that all point at one run of
// `blocks` blocks of 32768 zero bytes, with the given files.
std::vector<unsigned char> SharedBlocksCabinet(uint16_t folders, uint16_t blocks,
                                               const std::vector<std::pair<uint32_t, uint32_t>>& files) {
  std::vector<unsigned char> zeros(32768, 0), block(2 + 1024);
  z_stream z = {};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  block[0] = 'C';
  block[1] = 'K';
  z.next_in = zeros.data();
  z.avail_in = 32768;
  z.next_out = block.data() + 2;
  z.avail_out = static_cast<uInt>(block.size() - 2);
  deflate(&z, Z_FINISH);
  block.resize(block.size() - z.avail_out);
  deflateEnd(&z);
  std::vector<unsigned char> b(36 + 8 * folders, 0);
  auto put = [&b](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  std::memcpy(b.data(), "MSCF", 4);
  b[24] = 3;
  b[25] = 1;
  put(26, folders, 2);
  put(28, static_cast<uint32_t>(files.size()), 2);
  put(16, static_cast<uint32_t>(b.size()), 4);
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t at = b.size();
    b.resize(at + 16, 0);
    put(at, files[i].second, 4);
    put(at + 4, files[i].first, 4);
    std::string name = "f" + std::to_string(i);
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
  }
  const uint32_t data = static_cast<uint32_t>(b.size());
  for (uint16_t k = 0; k < folders; ++k) {
    put(36 + 8 * k, data, 4);
    put(40 + 8 * k, blocks, 2);
    put(42 + 8 * k, 1, 2);
  }
  for (uint16_t i = 0; i < blocks; ++i) {
    const size_t at = b.size();
    b.resize(at + 8, 0);
    put(at + 4, static_cast<uint32_t>(block.size()), 2);
    put(at + 6, 32768, 2);
    b.insert(b.end(), block.begin(), block.end());
  }
  put(8, static_cast<uint32_t>(b.size()), 4);
  return b;
}

Status ReadToMemory(const std::vector<unsigned char>& cab) {
  klpack::CabSource src;
  src.memory = &cab;
  klpack::CabListing l;
  std::vector<klpack::MemoryFile> files;
  return klpack::ExtractCabinetToMemory(src, &l, &files);
}

TEST(HostileCabinet, SharedBlocksAndEndlessRestartsAreRefused) {
  // 60000 folders over the same 60000 blocks: billions of block headers.
  Status s = ReadToMemory(SharedBlocksCabinet(60000, 60000, {{0, 1}}));
  EXPECT_NE(s.message.find("more data blocks than the cabinet holds"), std::string::npos) << s.message;
  // Files listed from the end of a 64 MiB folder backwards: every one would
  // decode the folder again from its start.
  std::vector<std::pair<uint32_t, uint32_t>> files;
  for (uint32_t k = 1; k <= 64; ++k) files.push_back({(2048u * 32768u) - k * (1u << 20), 1});
  s = ReadToMemory(SharedBlocksCabinet(1, 2048, files));
  EXPECT_NE(s.message.find("decode again and again"), std::string::npos) << s.message;
  // In order, the same files read.
  std::reverse(files.begin(), files.end());
  s = ReadToMemory(SharedBlocksCabinet(1, 2048, files));
  EXPECT_TRUE(s.ok()) << s.message;
}

#endif  // !_WIN32

}  // namespace
