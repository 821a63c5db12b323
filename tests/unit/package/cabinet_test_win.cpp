// Cabinet::CExtract under Wine: the decryption layer, the memory target,
// errors, names, times and attributes, read back from the files written.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "package/blowfish.h"
#include "package/cab_writer.h"
#include "package/cabinet_win.h"
#include "package/cryp_layer.h"
#include "testfs_win.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<unsigned char>((i % 7 == 0) ? 'a' + (i % 26) : (x >> 16));
  }
  return b;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

void WriteAll(const std::wstring& path, const Bytes& data) {
  ASSERT_TRUE(testfs::WriteAll(path, data)) << "cannot write the test file";
}
using testfs::Exists;
using testfs::ReadAll;
using testfs::RemoveTree;

// Names directly inside a folder (sorted as the file system gives them).
std::vector<std::wstring> List(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE f = ::FindFirstFileW((dir + L"*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring n = fd.cFileName;
    if (n != L"." && n != L"..") names.push_back(n);
  } while (::FindNextFileW(f, &fd));
  ::FindClose(f);
  return names;
}

std::wstring W(const char* utf8) { return kl::FromUtf8(utf8); }

BlowfishContext PackageCipher() {
  BlowfishContext c;
  BlowfishSetKey(&c, kPackageKeyLength);
  return c;
}

Bytes Encipher(Bytes cab) {
  BlowfishContext c = PackageCipher();
  EncipherContainer(&c, cab);
  return cab;
}

// Each test works in <temp>\kl_cab_<pid>_<n>\ with the destination "out\"
// inside it, so anything written beside the destination shows up.
class CabinetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testfs::TempFolder() + testfs::Unique(L"kl_cab_") + L"\\";
    RemoveTree(root_);
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
    dest_ = root_ + L"out\\";
  }
  void TearDown() override {
    RemoveTree(root_);
    Cabinet::CExtract().ReleaseThreadSlot();
  }

  std::wstring Put(const wchar_t* name, const Bytes& data) {
    std::wstring p = root_ + name;
    WriteAll(p, data);
    return p;
  }

  // Runs a whole extraction the way the package and update callers do.
  int Run(const std::wstring& cab, const std::wstring& dest, bool keyed,
          Cabinet::ExtractError* err = nullptr) {
    Cabinet::CExtract x;
    if (keyed) {
      x.SetPackageKey();
      x.CreateWorkBuffer();
    }
    int ok = x.Initialize();
    EXPECT_EQ(ok, 1) << x.LastError().code;
    int r = ok ? x.Extract(cab.c_str(), dest.c_str()) : 0;
    if (err) *err = x.LastError();
    x.Destroy();
    return r;
  }

  std::wstring root_, dest_;
};

std::vector<cab::Entry> SampleEntries() {
  std::vector<cab::Entry> e(4);
  e[0].name = "InstallInfo.kif";
  e[0].data = Pattern(2668, 1);
  e[1].name = "sub\\deeper\\file.bin";
  e[1].data = Pattern(100000, 2);
  e[2].name = "fwd/slash.txt";
  e[2].data = Text("forward slashes become folders");
  e[3].name = "\xE4\xB8\xAD\xE6\x96\x87\\\xE5\x90\x8D\xE5\xAD\x97.txt";  // 中文\名字.txt
  e[3].data = Text("utf-8 name");
  return e;
}

void ExpectTree(const std::wstring& dest, const std::vector<cab::Entry>& entries) {
  for (const cab::Entry& e : entries) {
    std::wstring name = W(e.name.c_str());
    for (wchar_t& c : name)
      if (c == L'/') c = L'\\';
    Bytes got;
    EXPECT_TRUE(ReadAll(dest + name, &got)) << e.name;
    EXPECT_TRUE(got == e.data) << e.name;
  }
}

// --- the decryption layer -------------------------------------------------

// Logs every FileRead: where the file stood and how much was asked.
class LoggingExtract : public Cabinet::CExtract {
 public:
  struct Read {
    long at;
    unsigned count;
  };
  std::vector<Read> reads;
  int FileRead(int handle, void* buffer, unsigned count) override {
    reads.push_back({_lseek(handle, 0, SEEK_CUR), count});
    return CExtract::FileRead(handle, buffer, count);
  }
};

TEST_F(CabinetTest, KeyedReadHandsFdiMscfWithHeaderBytesUntouched) {
  Bytes plain = cab::BuildCabinet(SampleEntries());
  ASSERT_GT(plain.size(), 200u);
  Bytes cryp = Encipher(plain);
  ASSERT_EQ(std::memcmp(cryp.data(), "CRYP", 4), 0);
  std::wstring path = Put(L"p.cab", cryp);

  LoggingExtract x;
  x.SetPackageKey();
  x.CreateWorkBuffer();
  int h = x.HookOpen(kl::ToUtf8(path).c_str(), _O_RDONLY | _O_BINARY, 0);
  ASSERT_GT(h, 0);
  unsigned char buf[96];
  ASSERT_EQ(x.HookRead(h, buf, 96), 96u);
  EXPECT_EQ(std::memcmp(buf, "MSCF", 4), 0);
  EXPECT_EQ(std::memcmp(buf + 4, cryp.data() + 4, 52), 0);  // 4..55 passed through
  EXPECT_EQ(std::memcmp(buf, plain.data(), 96), 0);         // 56.. deciphered
  EXPECT_EQ(x.LastError().code, 0);
  x.HookClose(h);
  EXPECT_EQ(x.Positions().Count(), 0);
}

TEST_F(CabinetTest, ReadOfTenAt53ReadsSixteenFrom48AndEndsAt63) {
  Bytes plain = cab::BuildCabinet(SampleEntries());
  std::wstring path = Put(L"p.cab", Encipher(plain));
  LoggingExtract x;
  x.SetPackageKey();
  x.CreateWorkBuffer();
  int h = x.HookOpen(kl::ToUtf8(path).c_str(), _O_RDONLY | _O_BINARY, 0);
  ASSERT_GT(h, 0);
  ASSERT_EQ(x.HookSeek(h, 53, SEEK_SET), 53);
  x.reads.clear();
  unsigned char buf[10];
  ASSERT_EQ(x.HookRead(h, buf, 10), 10u);
  ASSERT_EQ(x.reads.size(), 1u);
  EXPECT_EQ(x.reads[0].at, 48);
  EXPECT_EQ(x.reads[0].count, 16u);
  EXPECT_EQ(std::memcmp(buf, plain.data() + 53, 10), 0);
  EXPECT_EQ(_lseek(h, 0, SEEK_CUR), 63);
  EXPECT_EQ(x.Positions().Get(h), 63);
  // The next read goes on from there.
  ASSERT_EQ(x.HookRead(h, buf, 5), 5u);
  EXPECT_EQ(std::memcmp(buf, plain.data() + 63, 5), 0);
  x.HookClose(h);
}

// A bulk read hands the next stretch to the deciphering thread; what the
// engine then reads from it must be exactly what a read of its own gives,
// and a read that fails there fails the extraction as any other.
class FailingExtract : public LoggingExtract {
 public:
  size_t failFrom = ~size_t(0);  // reads from this one on fail
  int FileRead(int handle, void* buffer, unsigned count) override {
    if (reads.size() >= failFrom) return -1;
    return LoggingExtract::FileRead(handle, buffer, count);
  }
};

TEST_F(CabinetTest, KeyedBulkReadsReadAheadAndRebuildLargeFilesExactly) {
  std::vector<cab::Entry> e(3);
  for (unsigned i = 0; i < 3; ++i) {
    e[i].name = "big" + std::to_string(i) + ".bin";
    e[i].data = Pattern(300000 + 13 * i, 10 + i);  // mostly random: ~900 KB to read
  }
  std::wstring path = Put(L"p.cab", Encipher(cab::BuildCabinet(e)));
  FailingExtract x;
  x.SetPackageKey();
  x.CreateWorkBuffer();
  ASSERT_EQ(x.Initialize(), 1);
  ASSERT_EQ(x.Extract(path.c_str(), dest_.c_str()), 1) << x.LastError().code;
  x.Destroy();
  x.ReleaseThreadSlot();
  ExpectTree(dest_, e);
  size_t stretches = 0;
  for (const auto& r : x.reads) stretches += r.count == Cabinet::CrypPrefetch::kCapacity;
  EXPECT_GE(stretches, 10u) << "no stretch was read ahead";

  // The same cabinet with the reads failing halfway: a clean failure.
  for (size_t failFrom : {x.reads.size() / 2, x.reads.size() - 1}) {
    RemoveTree(dest_);
    FailingExtract y;
    y.failFrom = failFrom;
    y.SetPackageKey();
    y.CreateWorkBuffer();
    ASSERT_EQ(y.Initialize(), 1);
    EXPECT_EQ(y.Extract(path.c_str(), dest_.c_str()), 0) << "read " << failFrom << " failed";
    y.Destroy();
    y.ReleaseThreadSlot();
  }
}

TEST_F(CabinetTest, ReadRequestLargerThanTheWorkBufferFailsCleanly) {
  std::vector<cab::Entry> e(1);
  e[0].name = "big.bin";
  e[0].data = Pattern(80000, 3);
  Bytes plain = cab::BuildCabinet(e, cab::Compression::Stored);
  std::wstring path = Put(L"big.cab", Encipher(plain));
  Cabinet::CExtract x;
  x.SetPackageKey();
  x.CreateWorkBuffer();
  int h = x.HookOpen(kl::ToUtf8(path).c_str(), _O_RDONLY | _O_BINARY, 0);
  ASSERT_GT(h, 0);
  std::vector<unsigned char> buf(70000, 0xCC);
  ASSERT_EQ(x.HookSeek(h, 7, SEEK_SET), 7);
  EXPECT_EQ(x.HookRead(h, buf.data(), Cabinet::kMaxReadRequest + 1), 0xFFFFFFFFu);
  EXPECT_EQ(buf[0], 0xCC);
  // The largest request still fits after rounding out to whole blocks.
  ASSERT_EQ(x.HookRead(h, buf.data(), Cabinet::kMaxReadRequest), Cabinet::kMaxReadRequest);
  EXPECT_EQ(std::memcmp(buf.data(), plain.data() + 7, Cabinet::kMaxReadRequest), 0);
  x.HookClose(h);
}

TEST_F(CabinetTest, KeyedExtractionOfPaddedContainerRebuildsTheTree) {
  auto entries = SampleEntries();
  std::wstring path = Put(L"p.cab", Encipher(cab::BuildCabinet(entries)));
  EXPECT_EQ(Run(path, dest_, true), 1);
  ExpectTree(dest_, entries);
  EXPECT_EQ(List(root_).size(), 2u);  // p.cab and out
}

TEST_F(CabinetTest, UnpaddedContainerFailsAtItsLastPartialBlock) {
  auto entries = SampleEntries();
  Bytes plain;
  for (int extra = 0; extra < 8; ++extra) {
    entries[2].data.push_back('x');
    plain = cab::BuildCabinet(entries);
    if (plain.size() % 8 != 0) break;
  }
  ASSERT_NE(plain.size() % 8, 0u);
  Bytes cryp = Encipher(plain);
  cryp.resize(plain.size());  // drop the padding: the last block is partial
  std::wstring path = Put(L"p.cab", cryp);
  EXPECT_EQ(Run(path, dest_, true), 0);
}

TEST_F(CabinetTest, PlainAndEncipheredCabinetsGoOnlyToTheirOwnKindOfExtractor) {
  auto entries = SampleEntries();
  std::wstring plain = Put(L"plain.cab", cab::BuildCabinet(entries));
  std::wstring cryp = Put(L"cryp.cab", Encipher(cab::BuildCabinet(entries)));
  Bytes junk = Pattern(4096, 9);
  std::memcpy(junk.data(), "ZZZZ", 4);
  std::wstring other = Put(L"other.cab", junk);

  Cabinet::ExtractError err;
  EXPECT_EQ(Run(plain, dest_, true, &err), 0);
  EXPECT_EQ(err.code, Cabinet::kErrorPlainForKeyed);
  EXPECT_EQ(Run(cryp, dest_, false, &err), 0);
  EXPECT_EQ(err.code, Cabinet::kErrorCipheredForUnkeyed);
  EXPECT_EQ(Run(other, dest_, false, &err), 0);
  EXPECT_EQ(err.code, Cabinet::kErrorNotCabinet);
  EXPECT_EQ(Run(other, dest_, true, &err), 0);
  EXPECT_EQ(err.code, Cabinet::kErrorNotCabinet);
  EXPECT_FALSE(Exists(dest_));

  EXPECT_EQ(Run(plain, dest_, false, &err), 1);
  ExpectTree(dest_, entries);
}

TEST_F(CabinetTest, WrongKeyTruncationAndFlippedByteFail) {
  auto entries = SampleEntries();
  Bytes plain = cab::BuildCabinet(entries);
  Bytes good = Encipher(plain);

  std::wstring path = Put(L"p.cab", good);
  {
    Cabinet::CExtract x;
    const unsigned char wrong[] = "not the key";
    BlowfishSetKeyBytes(&x.Cipher(), wrong, 11);
    x.CreateWorkBuffer();
    ASSERT_EQ(x.Initialize(), 1);
    EXPECT_EQ(x.Extract(path.c_str(), dest_.c_str()), 0);
    x.Destroy();
  }
  Bytes truncated(good.begin(), good.begin() + (good.size() / 2) / 8 * 8);
  EXPECT_EQ(Run(Put(L"t.cab", truncated), root_ + L"t\\", true), 0);

  Bytes flipped = good;
  flipped[flipped.size() - 300] ^= 0x01;  // inside the compressed data
  EXPECT_EQ(Run(Put(L"f.cab", flipped), root_ + L"f\\", true), 0);

  Bytes plainFlipped = plain;
  plainFlipped[plainFlipped.size() - 300] ^= 0x01;
  EXPECT_EQ(Run(Put(L"pf.cab", plainFlipped), root_ + L"pf\\", false), 0);
  // Nothing beside the destinations.
  for (const std::wstring& n : List(root_))
    EXPECT_TRUE(n == L"p.cab" || n == L"t.cab" || n == L"f.cab" || n == L"pf.cab" || n == L"out" ||
                n == L"t" || n == L"f" || n == L"pf")
        << kl::ToUtf8(n);
}

// --- the memory target ----------------------------------------------------

struct MemorySeen {
  std::vector<std::wstring> paths;
  std::vector<Bytes> data;
  int nullBlocks = 0;
};

void RecordDone(const wchar_t* path, const Cabinet::MemoryBlock* block, uintptr_t context) {
  MemorySeen* seen = reinterpret_cast<MemorySeen*>(context);
  seen->paths.push_back(path);
  if (block)
    seen->data.emplace_back(block->data, block->data + block->length);
  else
    ++seen->nullBlocks;
}

TEST_F(CabinetTest, MemoryTargetInAnySpellingWritesNoFiles) {
  auto entries = SampleEntries();
  std::wstring path = Put(L"p.cab", Encipher(cab::BuildCabinet(entries)));
  wchar_t cwd[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, cwd);
  ASSERT_TRUE(::SetCurrentDirectoryW(root_.c_str()));
  for (const wchar_t* target : {L"MEMORY\\", L"memory\\", L"Memory", L"mEmOrY"}) {
    MemorySeen seen;
    Cabinet::CExtract x;
    x.SetPackageKey();
    x.CreateWorkBuffer();
    x.SetFileDoneHook(RecordDone);
    x.SetHookContext(reinterpret_cast<uintptr_t>(&seen));
    ASSERT_EQ(x.Initialize(), 1);
    EXPECT_EQ(x.Extract(path.c_str(), target), 1) << kl::ToUtf8(target);
    EXPECT_TRUE(x.MemoryTarget());
    x.Destroy();
    ASSERT_EQ(seen.data.size(), entries.size());
    EXPECT_EQ(seen.nullBlocks, 0);
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_TRUE(seen.data[i] == entries[i].data) << i;
    EXPECT_EQ(seen.paths[1].substr(7), L"sub\\deeper\\file.bin");
  }
  ::SetCurrentDirectoryW(cwd);
  EXPECT_EQ(List(root_), std::vector<std::wstring>{L"p.cab"});
}

TEST_F(CabinetTest, MemoryOutputLargerThanTheBlockIsError1009) {
  // FDI writes exactly the size a file entry declares, so a reader handing
  // over more than declared is driven through the hook entries directly.
  Cabinet::CExtract x;
  x.BeginRun(L"MEMORY\\");
  ASSERT_TRUE(x.MemoryTarget());
  char name[] = "a.bin";
  FDINOTIFICATION n = {};
  n.cb = 10;
  n.psz1 = name;
  INT_PTR h = x.HookNotify(fdintCOPY_FILE, &n);
  EXPECT_EQ(static_cast<uint32_t>(h), Cabinet::kMemoryHandleBase);
  ASSERT_GE(x.Memory().capacity, 10);
  Bytes data = Pattern(64, 4);
  EXPECT_EQ(x.HookWrite(static_cast<int>(h), data.data(), 10), 10u);
  EXPECT_EQ(x.LastError().code, 0);
  unsigned rest = static_cast<unsigned>(x.Memory().capacity - 10 + 1);
  EXPECT_EQ(x.HookWrite(static_cast<int>(h), data.data() + 10, rest), 0xFFFFFFFFu);
  EXPECT_EQ(x.LastError().code, Cabinet::kErrorMemoryFull);
  EXPECT_EQ(x.MemoryLength(), 10);
  EXPECT_EQ(std::memcmp(x.MemoryData(), data.data(), 10), 0);
}

// --- arguments, threads, the slot ------------------------------------------

TEST_F(CabinetTest, ShortArgumentsAreError1002) {
  std::wstring path = Put(L"p.cab", cab::BuildCabinet(SampleEntries()));
  Cabinet::CExtract x;
  ASSERT_EQ(x.Initialize(), 1);
  EXPECT_EQ(x.Extract(L"p.cab", dest_.c_str()), 0);
  EXPECT_EQ(x.LastError().code, Cabinet::kErrorArguments);
  EXPECT_EQ(x.Extract(path.c_str(), L"C"), 0);
  EXPECT_EQ(x.LastError().code, Cabinet::kErrorArguments);
  EXPECT_EQ(x.Extract((root_ + L"x").c_str(), dest_.c_str()), 0);  // one-letter name
  EXPECT_EQ(x.LastError().code, Cabinet::kErrorArguments);
  EXPECT_FALSE(Exists(dest_));
  EXPECT_EQ(x.Extract(path.c_str(), dest_.substr(0, dest_.size() - 1).c_str()), 1);
  EXPECT_EQ(x.Destination(), dest_);
  x.Destroy();
}

TEST_F(CabinetTest, OneCurrentExtractorPerThreadUntilTheSlotIsCleared) {
  {
    Cabinet::CExtract a, b;
    ASSERT_EQ(a.Initialize(), 1);
    EXPECT_EQ(Cabinet::CurrentExtractor(), &a);
    EXPECT_EQ(a.Initialize(), 0);
    EXPECT_EQ(a.LastError().code, Cabinet::kErrorSlotBusy);
    EXPECT_EQ(b.Initialize(), 0);
    EXPECT_EQ(b.LastError().code, Cabinet::kErrorSlotBusy);
    EXPECT_EQ(a.Destroy(), 1);
    EXPECT_EQ(b.Initialize(), 0);  // Destroy alone keeps the slot
    EXPECT_EQ(a.ReleaseThreadSlot(), 1);
    EXPECT_EQ(b.Initialize(), 1);
    EXPECT_EQ(Cabinet::CurrentExtractor(), &b);
  }  // b's destructor clears the slot
  EXPECT_EQ(Cabinet::CurrentExtractor(), nullptr);
  Cabinet::CExtract c;
  EXPECT_EQ(c.Initialize(), 1);
}

TEST_F(CabinetTest, CallsFromAnotherThreadAreError1011) {
  std::wstring path = Put(L"p.cab", cab::BuildCabinet(SampleEntries()));
  Cabinet::CExtract x;
  int init = -1, extract = -1, destroy = -1;
  Cabinet::ExtractError e1, e2, e3;
  std::thread t([&] {
    init = x.Initialize();
    e1 = x.LastError();
    extract = x.Extract(path.c_str(), dest_.c_str());
    e2 = x.LastError();
    destroy = x.Destroy();
    e3 = x.LastError();
  });
  t.join();
  EXPECT_EQ(init, 0);
  EXPECT_EQ(e1.code, Cabinet::kErrorWrongThread);
  EXPECT_EQ(extract, 0);
  EXPECT_EQ(e2.code, Cabinet::kErrorWrongThread);
  EXPECT_EQ(destroy, 0);
  EXPECT_EQ(e3.code, Cabinet::kErrorWrongThread);
  EXPECT_FALSE(Exists(dest_));
  // The owner can still use it, and a second thread runs its own extractor
  // while this one is current.
  ASSERT_EQ(x.Initialize(), 1);
  int other = -1;
  std::wstring otherDest = root_ + L"other\\";
  std::thread t2([&] {
    Cabinet::CExtract y;
    if (y.Initialize()) other = y.Extract(path.c_str(), otherDest.c_str());
    y.Destroy();
  });
  t2.join();
  EXPECT_EQ(other, 1);
  EXPECT_EQ(x.Extract(path.c_str(), dest_.c_str()), 1);
  ExpectTree(otherDest, SampleEntries());
  ExpectTree(dest_, SampleEntries());
}

// --- output files -----------------------------------------------------------

TEST_F(CabinetTest, ReadOnlyOutputFileIsReplaced) {
  auto entries = SampleEntries();
  std::wstring path = Put(L"p.cab", cab::BuildCabinet(entries));
  ASSERT_TRUE(::CreateDirectoryW(dest_.c_str(), nullptr));
  std::wstring old = dest_ + L"InstallInfo.kif";
  WriteAll(old, Text("old contents, longer than nothing"));
  ASSERT_TRUE(::SetFileAttributesW(old.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Run(path, dest_, false), 1);
  ExpectTree(dest_, entries);
}

TEST_F(CabinetTest, HiddenSystemOutputFileIsReplaced) {
  auto entries = SampleEntries();
  std::wstring path = Put(L"p.cab", cab::BuildCabinet(entries));
  ASSERT_TRUE(::CreateDirectoryW(dest_.c_str(), nullptr));
  std::wstring old = dest_ + L"InstallInfo.kif";
  WriteAll(old, Text("old contents, longer than nothing"));
  ASSERT_TRUE(::SetFileAttributesW(
      old.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(Run(path, dest_, false), 1);
  ExpectTree(dest_, entries);
  EXPECT_EQ(::GetFileAttributesW(old.c_str()) & 0x07u, 0u);  // the cabinet's attributes
}

TEST_F(CabinetTest, TimesAndAttributesAreApplied) {
  std::vector<cab::Entry> e(4);
  e[0].name = "ro.txt";
  e[0].attribs = 0x21;
  e[1].name = "hidden\\h.txt";
  e[1].attribs = 0x22;
  e[2].name = "plain.txt";
  e[2].attribs = 0x00;
  e[3].name = "utc.txt";
  e[3].attribs = 0x120;  // times already in UTC
  for (auto& f : e) {
    f.data = Text("x");
    f.date = 0x40E6;                           // 2012-07-06
    f.time = (12 << 11) | (34 << 5) | (56 / 2);  // 12:34:56
  }
  std::wstring path = Put(L"p.cab", cab::BuildCabinet(e, cab::Compression::Stored));
  ASSERT_EQ(Run(path, dest_, false), 1);

  auto attrs = [&](const wchar_t* n) { return ::GetFileAttributesW((dest_ + n).c_str()) & 0x27; };
  EXPECT_EQ(attrs(L"ro.txt"), 0x21u);
  EXPECT_EQ(attrs(L"hidden\\h.txt"), 0x22u);
  EXPECT_EQ(attrs(L"plain.txt") & 0x07u, 0x00u);  // Wine reports every file as archive

  FILETIME local, utc;
  ASSERT_TRUE(::DosDateTimeToFileTime(0x40E6, e[0].time, &local));
  ASSERT_TRUE(::LocalFileTimeToFileTime(&local, &utc));
  auto written = [&](const wchar_t* n) {
    WIN32_FILE_ATTRIBUTE_DATA d = {};
    ::GetFileAttributesExW((dest_ + n).c_str(), GetFileExInfoStandard, &d);
    return d.ftLastWriteTime;
  };
  auto same = [](FILETIME a, FILETIME b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
  };
  EXPECT_TRUE(same(written(L"ro.txt"), utc));
  EXPECT_TRUE(same(written(L"hidden\\h.txt"), utc));
  EXPECT_TRUE(same(written(L"utc.txt"), local));
  for (const wchar_t* n : {L"ro.txt", L"hidden\\h.txt"})
    ::SetFileAttributesW((dest_ + n).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CabinetTest, NamesWithoutTheUtf8FlagUseCodePage1252) {
  std::vector<cab::Entry> e(1);
  e[0].name = "caf\xC3\xA9.txt";  // "café" in UTF-8, flagged by the writer
  e[0].data = Text("1252");
  Bytes plain = cab::BuildCabinet(e, cab::Compression::Stored);
  uint32_t coffFiles = plain[16] | plain[17] << 8 | plain[18] << 16 | plain[19] << 24;
  ASSERT_EQ(plain[coffFiles + 14] & 0x80, 0x80);
  plain[coffFiles + 14] &= 0x7F;  // the same bytes, now read in code page 1252
  std::wstring path = Put(L"p.cab", plain);
  ASSERT_EQ(Run(path, dest_, false), 1);
  Bytes got;
  EXPECT_TRUE(ReadAll(dest_ + L"caf\u00C3\u00A9.txt", &got));
  EXPECT_TRUE(got == e[0].data);
}

// --- unsafe names -------------------------------------------------------------

TEST(CabinetNames, SafeAndUnsafeNames) {
  for (const char* ok : {"a.txt", "sub\\deeper\\x.bin", "sub/x", "$system32$\\k.dll",
                         "\xE4\xB8\xAD.txt", "console.txt", "com10", "nullable", "CONx", ".hidden"})
    EXPECT_TRUE(Cabinet::IsSafeCabinetName(W(ok).c_str())) << ok;
  for (const char* bad :
       {"", "..", "..\\x", "../x", "a\\..\\..\\x", "a\\.\\x", "C:x", "C:\\x", "\\x", "/x",
        "\\\\server\\share\\x", "x.txt:stream", "CON", "con", "nul.txt", "sub\\COM1", "LPT1.log",
        "aux", "prn.a.b", "COM\xC2\xB9", "a\\\\b", "a\\", "x.", "x ", "a?b", "a*b", "a<b", "a|b",
        "a\"b", "a\x01" "b"})
    EXPECT_FALSE(Cabinet::IsSafeCabinetName(W(bad).c_str())) << bad;
}

TEST_F(CabinetTest, UnsafeNamesAreRefusedAndNothingLandsOutside) {
  std::wstring tag = std::to_wstring(::GetCurrentProcessId());
  std::string t8 = kl::ToUtf8(tag);
  const std::string names[] = {
      "..\\evil" + t8 + ".txt", "../evil" + t8 + ".txt", "sub\\..\\..\\evil" + t8 + ".txt",
      "C:evil" + t8 + ".txt",   "C:\\evil" + t8 + ".txt", "\\evil" + t8 + ".txt",
      "\\\\srv\\share\\evil" + t8 + ".txt", "good.txt:evil" + t8, "CON", "nul.txt",
      "sub\\COM1",              "LPT1.log"};
  wchar_t cwd[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, cwd);
  ASSERT_TRUE(::SetCurrentDirectoryW(root_.c_str()));
  for (const std::string& bad : names) {
    std::vector<cab::Entry> e(2);
    e[0].name = "first.txt";
    e[0].data = Text("ok");
    e[1].name = bad;
    e[1].data = Text("must not be written");
    Bytes cabBytes = cab::BuildCabinet(e);
    ASSERT_FALSE(cabBytes.empty()) << bad;
    std::wstring path = Put(L"p.cab", cabBytes);
    Cabinet::ExtractError err;
    EXPECT_EQ(Run(path, dest_, false, &err), 0) << bad;
    EXPECT_EQ(err.code, Cabinet::kErrorCreateOutput) << bad;
    EXPECT_EQ(err.systemError, static_cast<uint32_t>(ERROR_INVALID_NAME)) << bad;
    EXPECT_EQ(List(dest_), std::vector<std::wstring>{L"first.txt"}) << bad;
    RemoveTree(dest_);
  }
  ::SetCurrentDirectoryW(cwd);
  EXPECT_EQ(List(root_), std::vector<std::wstring>{L"p.cab"});
  EXPECT_FALSE(Exists(L"C:\\evil" + tag + L".txt"));
  EXPECT_FALSE(Exists(std::wstring(cwd) + L"\\evil" + tag + L".txt"));
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  EXPECT_FALSE(Exists(std::wstring(temp) + L"evil" + tag + L".txt"));
}

// --- hooks ------------------------------------------------------------------

struct HookLog {
  std::vector<std::wstring> filtered;
  std::vector<float> percents;
  std::vector<uint32_t> sizes;
  int cabinets = 0;
  uint16_t setId = 0;
  Cabinet::CExtract* abortIn = nullptr;
};

int SkipTxt(const Cabinet::FileFilterInfo* f, uintptr_t ctx) {
  reinterpret_cast<HookLog*>(ctx)->filtered.push_back(f->outputPath);
  std::wstring n = f->fileName;
  return n.size() < 4 || n.substr(n.size() - 4) != L".txt";
}
void LogProgress(const Cabinet::ProgressInfo* p, uintptr_t ctx) {
  HookLog* log = reinterpret_cast<HookLog*>(ctx);
  log->percents.push_back(p->percent);
  log->sizes.push_back(p->written);
  if (log->abortIn && p->written > 0) log->abortIn->Abort();
}
void LogCabinet(const Cabinet::CabinetInfo* c, uintptr_t ctx) {
  HookLog* log = reinterpret_cast<HookLog*>(ctx);
  ++log->cabinets;
  log->setId = c->setId;
}

TEST_F(CabinetTest, HooksFilterReportProgressAndSeeTheCabinet) {
  auto entries = SampleEntries();
  std::wstring path = Put(L"p.cab", cab::BuildCabinet(entries, cab::Compression::MsZip, 4321));
  HookLog log;
  Cabinet::CExtract x;
  x.SetFileFilterHook(SkipTxt);
  x.SetProgressHook(LogProgress);
  x.SetCabinetInfoHook(LogCabinet);
  x.SetProgressInterval(0);
  x.SetHookContext(reinterpret_cast<uintptr_t>(&log));
  ASSERT_EQ(x.Initialize(), 1);
  ASSERT_EQ(x.Extract(path.c_str(), dest_.c_str()), 1);
  x.Destroy();
  EXPECT_EQ(log.cabinets, 1);
  EXPECT_EQ(log.setId, 4321);
  EXPECT_EQ(log.filtered.size(), 4u);
  EXPECT_EQ(log.filtered[1], dest_ + L"sub\\deeper\\file.bin");
  EXPECT_TRUE(Exists(dest_ + L"InstallInfo.kif"));
  EXPECT_TRUE(Exists(dest_ + L"sub\\deeper\\file.bin"));
  EXPECT_FALSE(Exists(dest_ + L"fwd"));
  ASSERT_GE(log.percents.size(), 4u);
  EXPECT_EQ(log.percents.front(), 0.0f);
  EXPECT_EQ(log.percents.back(), 100.0f);
  EXPECT_EQ(log.sizes.back(), 100000u);
}

TEST_F(CabinetTest, AbortStopsAndDeletesThePartlyWrittenFile) {
  std::vector<cab::Entry> e(2);
  e[0].name = "one.bin";
  e[0].data = Pattern(200000, 5);
  e[1].name = "two.bin";
  e[1].data = Pattern(1000, 6);
  std::wstring path = Put(L"p.cab", cab::BuildCabinet(e));
  HookLog log;
  Cabinet::CExtract x;
  log.abortIn = &x;
  x.SetProgressHook(LogProgress);
  x.SetHookContext(reinterpret_cast<uintptr_t>(&log));
  ASSERT_EQ(x.Initialize(), 1);
  EXPECT_EQ(x.Extract(path.c_str(), dest_.c_str()), 0);
  x.Destroy();
  EXPECT_FALSE(Exists(dest_ + L"one.bin"));
  EXPECT_FALSE(Exists(dest_ + L"two.bin"));
}

TEST(CabinetWorkBuffer, CreatedOnceAndOwned) {
  Cabinet::CExtract x;
  EXPECT_FALSE(x.HasWorkBuffer());
  x.CreateWorkBuffer();
  EXPECT_TRUE(x.HasWorkBuffer());
  x.CreateWorkBuffer();
  EXPECT_TRUE(x.HasWorkBuffer());
  EXPECT_FALSE(x.Keyed());
  EXPECT_EQ(x.SetPackageKey(), 1);
  EXPECT_TRUE(x.Keyed());
  EXPECT_EQ(x.ProgressInterval(), 200);
  EXPECT_EQ(x.CodePage(), 1252u);
  EXPECT_EQ(x.OwnerThread(), ::GetCurrentThreadId());
}

}  // namespace
