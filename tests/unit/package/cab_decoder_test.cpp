// The cabinet decoding engine on cabinets held in memory: our own writer's
// cabinets in both compressions, hand-assembled ones (several folders,
// reserved areas, MSZIP with history across blocks in both styles), foreign
// ones from gcab, and damaged or unsupported input.
#include "package/cab_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "package/cab_writer.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Noise(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<unsigned char>(x >> 16);
  }
  return b;
}

Bytes Words(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"pinyin ", "input ", "skin ", "dictionary ", "\r\n"};
  Bytes b;
  uint32_t x = seed;
  while (b.size() < n) {
    x = x * 1103515245u + 12345u;
    for (const char* w = kWords[(x >> 16) % 5]; *w && b.size() < n; ++w)
      b.push_back(static_cast<unsigned char>(*w));
  }
  return b;
}

struct Seen {
  std::string name;
  Bytes data;
  uint16_t date, time, attribs;
};

// Serves a cabinet from memory and records what the engine does with it.
class MemoryHost : public cab::DecoderHost {
 public:
  explicit MemoryHost(const Bytes& cab) : cab_(cab) {}

  intptr_t Open(const char* path) override {
    opened = path;
    if (failOpen) return -1;
    ++open;
    pos_ = 0;
    return 3;
  }
  int64_t Read(intptr_t h, void* buffer, uint32_t count) override {
    EXPECT_EQ(h, 3);
    EXPECT_LE(count, cab::kMaxDecoderRead);
    EXPECT_EQ(pos_ % 8, 0u);
    ++reads;
    if (pos_ >= cab_.size()) return 0;
    size_t n = std::min<size_t>(count, cab_.size() - pos_);
    std::memcpy(buffer, cab_.data() + pos_, n);
    pos_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t Seek(intptr_t, int64_t distance, int origin) override {
    int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(pos_)
                                                 : static_cast<int64_t>(cab_.size());
    if (base + distance < 0) return -1;
    pos_ = static_cast<size_t>(base + distance);
    return static_cast<int64_t>(pos_);
  }
  int Close(intptr_t) override {
    ++closed;
    return 0;
  }
  int64_t Write(intptr_t h, const void* data, uint32_t count) override {
    EXPECT_EQ(h, 100 + static_cast<intptr_t>(files.size()) - 1);
    if (failWrite) return -1;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    files.back().data.insert(files.back().data.end(), p, p + count);
    return count;
  }
  intptr_t OnCabinetInfo(const cab::CabinetHeaderInfo& c) override {
    ++cabinetInfos;
    setId = c.setId;
    return 0;
  }
  intptr_t OnCopyFile(const cab::DecodedFile& f) override {
    ++copies;
    if (abortAtCopy == copies) return -1;
    if (skip.find(f.name) != std::string::npos) return 0;
    files.push_back({f.name, {}, f.date, f.time, f.attribs});
    return 100 + static_cast<intptr_t>(files.size()) - 1;
  }
  intptr_t OnCloseFile(const cab::DecodedFile& f, intptr_t h) override {
    EXPECT_EQ(h, 100 + static_cast<intptr_t>(files.size()) - 1);
    EXPECT_EQ(files.back().data.size(), f.size);
    return abortAtClose ? -1 : 1;
  }

  const Bytes& cab_;
  size_t pos_ = 0;
  std::string opened, skip = "\x01";
  bool failOpen = false, failWrite = false, abortAtClose = false;
  int abortAtCopy = 0, open = 0, closed = 0, reads = 0, cabinetInfos = 0, copies = 0;
  uint16_t setId = 0;
  std::vector<Seen> files;
};

cab::DecodeResult Decode(const Bytes& c, MemoryHost* host, cab::DecodeError* e = nullptr) {
  cab::CabDecoder d;
  cab::DecodeResult r = d.Decode(*host, "p.cab", "dir/");
  if (e) *e = d.error();
  EXPECT_EQ(host->open, host->closed);  // the cabinet is always closed again
  (void)c;
  return r;
}

void ExpectFiles(const MemoryHost& h, const std::vector<cab::Entry>& want) {
  ASSERT_EQ(h.files.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(h.files[i].name, want[i].name);
    EXPECT_TRUE(h.files[i].data == want[i].data) << want[i].name;
    EXPECT_EQ(h.files[i].date, want[i].date);
    EXPECT_EQ(h.files[i].time, want[i].time);
  }
}

std::vector<cab::Entry> Mixed() {
  std::vector<cab::Entry> e(6);
  e[0].name = "InstallInfo.kif";
  e[0].data = Words(2668, 1);
  e[1].name = "empty.txt";
  e[2].name = "bin\\noise.bin";  // > 64 KiB incompressible
  e[2].data = Noise(70000, 2);
  e[3].name = "dict/words.txt";  // spans several blocks
  e[3].data = Words(150000, 3);
  e[3].time = (12 << 11) | (34 << 5) | 28;
  e[4].name = "\xE4\xB8\xAD\xE6\x96\x87\\\xE5\x90\x8D.txt";
  e[4].data = Words(10, 4);
  e[5].name = "also-empty";
  return e;
}

TEST(CabDecoder, OwnCabinetsRoundTripInBothCompressions) {
  for (cab::Compression c : {cab::Compression::Stored, cab::Compression::MsZip}) {
    auto entries = Mixed();
    Bytes cabinet = cab::BuildCabinet(entries, c, 77);
    ASSERT_FALSE(cabinet.empty());
    MemoryHost h(cabinet);
    ASSERT_EQ(Decode(cabinet, &h), cab::DecodeResult::Ok);
    EXPECT_EQ(h.opened, "dir/p.cab");
    EXPECT_EQ(h.cabinetInfos, 1);
    EXPECT_EQ(h.setId, 77);
    ExpectFiles(h, entries);
    EXPECT_EQ(h.files[4].attribs & 0x80, 0x80);  // the writer flags UTF-8 names
    EXPECT_EQ(h.files[0].attribs & 0x80, 0);
  }
}

TEST(CabDecoder, SkippedFilesAreNotWrittenAndLaterOnesStillAre) {
  auto entries = Mixed();
  Bytes cabinet = cab::BuildCabinet(entries);
  MemoryHost h(cabinet);
  h.skip = "dict/words.txt InstallInfo.kif";
  ASSERT_EQ(Decode(cabinet, &h), cab::DecodeResult::Ok);
  EXPECT_EQ(h.copies, 6);
  ASSERT_EQ(h.files.size(), 4u);
  EXPECT_TRUE(h.files[1].data == entries[2].data);
  EXPECT_TRUE(h.files[2].data == entries[4].data);
}

// --- hand-assembled cabinets ---------------------------------------------------

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

struct RawBlock {
  Bytes payload;  // as stored in the data block
  uint16_t uncompressed;
};
struct RawFolder {
  uint16_t type;
  std::vector<RawBlock> blocks;
};
struct RawFile {
  std::string name;
  uint32_t size, offset;
  uint16_t folder;
};
struct Layout {
  uint16_t flags = 0;
  uint16_t headerReserve = 0;
  uint8_t folderReserve = 0, dataReserve = 0;
  bool checksums = true;
};

Bytes Assemble(const std::vector<RawFolder>& folders, const std::vector<RawFile>& files,
               const Layout& l = Layout()) {
  Bytes b(36, 0);
  std::memcpy(b.data(), "MSCF", 4);
  b[24] = 3;
  b[25] = 1;
  Put16(b, 26, static_cast<uint32_t>(folders.size()));
  Put16(b, 28, static_cast<uint32_t>(files.size()));
  uint16_t flags = l.flags;
  if (l.headerReserve || l.folderReserve || l.dataReserve) flags |= cab::kFlagReservePresent;
  Put16(b, 30, flags);
  if (flags & cab::kFlagReservePresent) {
    b.resize(b.size() + 4);
    Put16(b, 36, l.headerReserve);
    b[38] = l.folderReserve;
    b[39] = l.dataReserve;
    b.resize(b.size() + l.headerReserve, 0xAB);
  }
  const char kSet[] = "other.cab\0disk\0";
  if (flags & cab::kFlagPrevCabinet) b.insert(b.end(), kSet, kSet + sizeof kSet - 1);
  if (flags & cab::kFlagNextCabinet) b.insert(b.end(), kSet, kSet + sizeof kSet - 1);
  const size_t folderAt = b.size();
  b.resize(b.size() + folders.size() * (8 + l.folderReserve), 0xCD);
  Put32(b, 16, static_cast<uint32_t>(b.size()));
  for (const RawFile& f : files) {
    size_t at = b.size();
    b.resize(at + 16, 0);
    Put32(b, at, f.size);
    Put32(b, at + 4, f.offset);
    Put16(b, at + 8, f.folder);
    Put16(b, at + 10, 0x40E6);
    Put16(b, at + 14, 0x20);
    b.insert(b.end(), f.name.begin(), f.name.end());
    b.push_back(0);
  }
  for (size_t i = 0; i < folders.size(); ++i) {
    size_t fo = folderAt + i * (8 + l.folderReserve);
    Put32(b, fo, static_cast<uint32_t>(b.size()));
    Put16(b, fo + 4, static_cast<uint32_t>(folders[i].blocks.size()));
    Put16(b, fo + 6, folders[i].type);
    for (const RawBlock& blk : folders[i].blocks) {
      size_t at = b.size();
      b.resize(at + 8 + l.dataReserve, 0xEF);
      Put16(b, at + 4, static_cast<uint32_t>(blk.payload.size()));
      Put16(b, at + 6, blk.uncompressed);
      b.insert(b.end(), blk.payload.begin(), blk.payload.end());
      uint32_t sum = 0;
      if (l.checksums) {
        sum = cab::Checksum(blk.payload.data(), blk.payload.size(), 0);
        sum = cab::Checksum(b.data() + at + 4, 4, sum);
      }
      Put32(b, at, sum);
    }
  }
  Put32(b, 8, static_cast<uint32_t>(b.size()));
  return b;
}

std::vector<RawBlock> StoredBlocks(const Bytes& data) {
  std::vector<RawBlock> out;
  for (size_t at = 0; at < data.size(); at += 32768) {
    size_t n = std::min<size_t>(32768, data.size() - at);
    out.push_back({Bytes(data.begin() + at, data.begin() + at + n), static_cast<uint16_t>(n)});
  }
  return out;
}

// MSZIP the way the cabinet format describes it: every block a complete
// deflate stream that may refer back to the previous 32 KiB of output.
std::vector<RawBlock> MsZipWithHistory(const Bytes& data) {
  std::vector<RawBlock> out;
  z_stream z = {};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  for (size_t at = 0; at < data.size(); at += 32768) {
    size_t n = std::min<size_t>(32768, data.size() - at);
    deflateReset(&z);
    if (at) deflateSetDictionary(&z, data.data() + at - 32768, 32768);
    Bytes buf(2 + n + 1024);
    buf[0] = 'C';
    buf[1] = 'K';
    z.next_in = const_cast<unsigned char*>(data.data() + at);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = buf.data() + 2;
    z.avail_out = static_cast<uInt>(buf.size() - 2);
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    buf.resize(buf.size() - z.avail_out);
    out.push_back({buf, static_cast<uint16_t>(n)});
  }
  deflateEnd(&z);
  return out;
}

// One deflate stream cut at sync-flush points: blocks end without a final
// deflate block and carry the history on.
std::vector<RawBlock> MsZipSyncFlushed(const Bytes& data) {
  std::vector<RawBlock> out;
  z_stream z = {};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  for (size_t at = 0; at < data.size(); at += 32768) {
    size_t n = std::min<size_t>(32768, data.size() - at);
    Bytes buf(2 + n + 1024);
    buf[0] = 'C';
    buf[1] = 'K';
    z.next_in = const_cast<unsigned char*>(data.data() + at);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = buf.data() + 2;
    z.avail_out = static_cast<uInt>(buf.size() - 2);
    EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
    buf.resize(buf.size() - z.avail_out);
    out.push_back({buf, static_cast<uint16_t>(n)});
  }
  deflateEnd(&z);
  return out;
}

// Text that repeats at a distance, so later blocks do refer back.
Bytes Repeating() {
  Bytes unit = Words(20000, 9);
  Bytes d;
  for (int i = 0; i < 8; ++i) d.insert(d.end(), unit.begin(), unit.end());
  return d;
}

TEST(CabDecoder, MsZipWithHistoryAcrossBlocksInBothStyles) {
  Bytes data = Repeating();
  for (int style = 0; style < 2; ++style) {
    RawFolder f{1, style ? MsZipSyncFlushed(data) : MsZipWithHistory(data)};
    ASSERT_GE(f.blocks.size(), 4u);
    // The later blocks are tiny: they can only be decoded with the history.
    EXPECT_LT(f.blocks[2].payload.size(), 2000u);
    Bytes c = Assemble({f}, {{"a.txt", 100000, 0, 0}, {"b.txt", 60000, 100000, 0}});
    MemoryHost h(c);
    ASSERT_EQ(Decode(c, &h), cab::DecodeResult::Ok) << style;
    ASSERT_EQ(h.files.size(), 2u);
    EXPECT_TRUE(h.files[0].data == Bytes(data.begin(), data.begin() + 100000));
    EXPECT_TRUE(h.files[1].data == Bytes(data.begin() + 100000, data.end()));
  }
}

TEST(CabDecoder, HistoryCarriesOverWhenTheOutputBufferStartsAgain) {
  // 20 blocks: the decoder's buffer holds 8, so it starts over twice, and
  // the first block after each restart refers back into the one before it.
  Bytes unit = Words(50000, 10);
  Bytes data;
  while (data.size() < 20 * 32768) data.insert(data.end(), unit.begin(), unit.end());
  data.resize(20 * 32768);
  RawFolder f{1, MsZipWithHistory(data)};
  ASSERT_EQ(f.blocks.size(), 20u);
  EXPECT_LT(f.blocks[8].payload.size(), 4000u);  // only decodable with its history
  // One file up to 300000, then one over the rest, and one small one from
  // before the first (listed out of order: the folder decodes again).
  Bytes c = Assemble({f}, {{"a", 298000, 2000, 0}, {"b", 20 * 32768 - 300000, 300000, 0},
                           {"c", 1000, 100, 0}});
  MemoryHost h(c);
  ASSERT_EQ(Decode(c, &h), cab::DecodeResult::Ok);
  ASSERT_EQ(h.files.size(), 3u);
  EXPECT_TRUE(h.files[0].data == Bytes(data.begin() + 2000, data.begin() + 300000));
  EXPECT_TRUE(h.files[1].data == Bytes(data.begin() + 300000, data.end()));
  EXPECT_TRUE(h.files[2].data == Bytes(data.begin() + 100, data.begin() + 1100));
}

TEST(CabDecoder, SeveralFoldersReservedAreasAndAFileListedOutOfOrder) {
  Bytes one = Noise(40000, 5), two = Repeating();
  RawFolder a{0, StoredBlocks(one)}, b{1, MsZipWithHistory(two)};
  Layout l;
  l.headerReserve = 20;
  l.folderReserve = 3;
  l.dataReserve = 5;
  // The second file of folder 1 comes before its first: the folder restarts.
  Bytes c = Assemble({a, b},
                     {{"one.bin", 40000, 0, 0},
                      {"late.txt", 60000, 100000, 1},
                      {"early.txt", 100000, 0, 1}},
                     l);
  MemoryHost h(c);
  ASSERT_EQ(Decode(c, &h), cab::DecodeResult::Ok);
  ASSERT_EQ(h.files.size(), 3u);
  EXPECT_TRUE(h.files[0].data == one);
  EXPECT_TRUE(h.files[1].data == Bytes(two.begin() + 100000, two.end()));
  EXPECT_TRUE(h.files[2].data == Bytes(two.begin(), two.begin() + 100000));
}

TEST(CabDecoder, SetsAndOtherCompressionsAreLeftToAnotherReader) {
  Bytes data = Words(5000, 1);
  for (int kind = 0; kind < 4; ++kind) {
    Layout l;
    RawFolder f{0, StoredBlocks(data)};
    if (kind == 0) l.flags = cab::kFlagNextCabinet;
    if (kind == 1) l.flags = cab::kFlagPrevCabinet;
    if (kind == 2) f.type = 3;             // LZX
    if (kind == 3) f.type = 2 | (4 << 8);  // Quantum with its level
    Bytes c = Assemble({f}, {{"a.txt", 5000, 0, 0}}, l);
    MemoryHost h(c);
    EXPECT_EQ(Decode(c, &h), cab::DecodeResult::Unsupported) << kind;
    EXPECT_EQ(h.cabinetInfos + h.copies, 0) << kind;  // nothing was announced
    EXPECT_EQ(h.open, 1);
  }
  // A file continued from another cabinet is refused even without the flags.
  Bytes c = Assemble({{0, StoredBlocks(data)}}, {{"a.txt", 5000, 0, 0xFFFD}});
  MemoryHost h(c);
  EXPECT_EQ(Decode(c, &h), cab::DecodeResult::Unsupported);
}

// --- failures ------------------------------------------------------------------

TEST(CabDecoder, DamagedCabinetsFailWithTheirReason) {
  Bytes good = cab::BuildCabinet(Mixed());
  auto expect = [](Bytes c, cab::DecodeError want, const char* what) {
    MemoryHost h(c);
    cab::DecodeError e;
    EXPECT_EQ(Decode(c, &h, &e), cab::DecodeResult::Failed) << what;
    EXPECT_EQ(e, want) << what;
  };
  Bytes c = good;
  c[0] = 'X';
  expect(c, cab::DecodeError::NotACabinet, "signature");
  expect(Bytes(good.begin(), good.begin() + 20), cab::DecodeError::NotACabinet, "short header");
  c = good;
  c[24] = 4;
  expect(c, cab::DecodeError::UnknownVersion, "version 1.4");
  c = good;
  c[42] = 7;
  expect(c, cab::DecodeError::BadCompression, "compression 7");
  c = good;
  Put16(c, 44 + 8, 5);  // first file in folder 5 of 1
  expect(c, cab::DecodeError::Corrupt, "folder index");
  c = good;
  c[c.size() - 10] ^= 0x40;  // checksum catches it even inside stored deflate data
  expect(c, cab::DecodeError::Corrupt, "flipped data byte");
  expect(Bytes(good.begin(), good.end() - 100), cab::DecodeError::Corrupt, "cut data");
  c = good;
  Put16(c, 40, 2);  // fewer blocks than the files need
  expect(c, cab::DecodeError::Corrupt, "block count");

  MemoryHost h(good);
  h.failOpen = true;
  cab::DecodeError e;
  EXPECT_EQ(Decode(good, &h, &e), cab::DecodeResult::Failed);
  EXPECT_EQ(e, cab::DecodeError::CabinetNotFound);
}

// File ranges are checked to the byte before anything is announced: a file
// may end exactly at its folder's end and the next may start right where the
// one before ends; one byte more is refused, with its reason.
TEST(CabDecoder, FileRangesAreCheckedToTheByteBeforeAnyFileIsAnnounced) {
  const Bytes data = Words(5000, 12), other = Words(700, 13);
  const std::vector<RawFolder> folders = {{0, StoredBlocks(data)}, {1, MsZipWithHistory(other)}};
  struct Case {
    std::vector<RawFile> files;
    const char* reason;  // "" for a cabinet that decodes
  } cases[] = {
      {{{"a", 3000, 0, 0}, {"b", 2000, 3000, 0}, {"c", 700, 0, 1}, {"end", 0, 5000, 0}}, ""},
      {{{"a", 3000, 0, 0}, {"b", 2001, 3000, 0}}, "file range past the folder's data"},
      {{{"end", 0, 5001, 0}}, "file range past the folder's data"},
      {{{"c", 701, 0, 1}}, "file range past the folder's data"},
      {{{"a", 3000, 0, 0}, {"b", 2000, 2999, 0}}, "file ranges overlap"},
      // Listed out of order, and the same offsets in another folder (no overlap).
      {{{"b", 2000, 3000, 0}, {"a", 3001, 0, 0}}, "file ranges overlap"},
      {{{"a", 700, 0, 0}, {"c", 700, 0, 1}}, ""},
  };
  for (const Case& c : cases) {
    Bytes cabinet = Assemble(folders, c.files);
    MemoryHost h(cabinet);
    cab::CabDecoder d;
    const cab::DecodeResult r = d.Decode(h, "p.cab", "dir/");
    const std::string what = c.files.back().name + " " + std::to_string(c.files.back().size) + "@" +
                             std::to_string(c.files.back().offset);
    if (!*c.reason) {
      EXPECT_EQ(r, cab::DecodeResult::Ok) << what << ": " << d.detail();
      EXPECT_EQ(h.files.size(), c.files.size()) << what;
      continue;
    }
    EXPECT_EQ(r, cab::DecodeResult::Failed) << what;
    EXPECT_EQ(d.error(), cab::DecodeError::Corrupt) << what;
    EXPECT_STREQ(d.detail(), c.reason) << what;
    EXPECT_EQ(h.cabinetInfos + h.copies, 0) << what;  // refused before the first file
  }
}

TEST(CabDecoder, CallerStopsAndWriteFailuresEndTheRun) {
  Bytes c = cab::BuildCabinet(Mixed());
  cab::DecodeError e;
  {
    MemoryHost h(c);
    h.abortAtCopy = 3;
    EXPECT_EQ(Decode(c, &h, &e), cab::DecodeResult::Failed);
    EXPECT_EQ(e, cab::DecodeError::UserAbort);
    EXPECT_EQ(h.copies, 3);
  }
  {
    MemoryHost h(c);
    h.abortAtClose = true;
    EXPECT_EQ(Decode(c, &h, &e), cab::DecodeResult::Failed);
    EXPECT_EQ(e, cab::DecodeError::UserAbort);
    EXPECT_EQ(h.copies, 1);
  }
  {
    MemoryHost h(c);
    h.failWrite = true;
    EXPECT_EQ(Decode(c, &h, &e), cab::DecodeResult::Failed);
    EXPECT_EQ(e, cab::DecodeError::TargetFile);
  }
}

TEST(CabDecoder, EveryTruncationAndManyFlippedBytesFailCleanly) {
  std::vector<cab::Entry> e(2);
  e[0].name = "a.txt";
  e[0].data = Words(40000, 7);
  e[1].name = "b.bin";
  e[1].data = Noise(3000, 8);
  Bytes good = cab::BuildCabinet(e);
  for (size_t n = 0; n < good.size(); n += (n < 200 ? 1 : 97)) {
    Bytes cut(good.begin(), good.begin() + n);
    MemoryHost h(cut);
    EXPECT_EQ(Decode(cut, &h), cab::DecodeResult::Failed) << n;
  }
  for (size_t at = 0; at < good.size(); at += 13) {
    Bytes c = good;
    c[at] ^= static_cast<unsigned char>(1 + at % 255);
    MemoryHost h(c);
    Decode(c, &h);  // any result, but no crash or overread (sanitizers watch)
  }
}

// --- a foreign writer ------------------------------------------------------------

#ifndef _WIN32
TEST(CabDecoder, GcabMsZipCabinetDecodes) {
  if (std::system("command -v gcab >/dev/null 2>&1") != 0) GTEST_SKIP() << "gcab not installed";
  char tmpl[] = "/tmp/kl_gcab_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  Bytes big = Repeating(), noise = Noise(50000, 3), small = Words(1000, 4);
  auto write = [&](const char* n, const Bytes& b) {
    std::ofstream(dir + "/" + n, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  };
  write("big.txt", big);
  write("noise.bin", noise);
  write("small.txt", small);
  std::string cmd = "cd " + dir + " && gcab -c -z out.cab big.txt noise.bin small.txt >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream in(dir + "/out.cab", std::ios::binary);
  Bytes c((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(c.size(), 100u);
  EXPECT_EQ(c[42], 1);  // MSZIP
  MemoryHost h(c);
  cab::CabDecoder d;
  EXPECT_EQ(d.Decode(h, "out.cab", ""), cab::DecodeResult::Ok) << d.detail();
  ASSERT_EQ(h.files.size(), 3u);
  for (const Seen& s : h.files) {
    if (s.name == "big.txt") EXPECT_TRUE(s.data == big);
    else if (s.name == "noise.bin") EXPECT_TRUE(s.data == noise);
    else EXPECT_TRUE(s.data == small) << s.name;
  }
  std::system(("rm -rf " + dir).c_str());
}
#endif

}  // namespace
