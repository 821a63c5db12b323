#include "package/cab_writer.h"

#include <zlib.h>

#include <cstring>

#include "base/le.h"

namespace cab {
namespace {

constexpr size_t kHeaderSize = 36;
constexpr size_t kFolderSize = 8;
constexpr size_t kFileFixedSize = 16;
constexpr size_t kDataHeaderSize = 8;
// Names longer than this are refused by the common readers.
constexpr size_t kMaxName = 255;
// Uncompressed bytes one folder may hold.
constexpr uint64_t kMaxFolderBytes = 0x7FFF8000u;

using kl::Store16;
using kl::Store32;

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

z_stream* Z(void* p) { return static_cast<z_stream*>(p); }

}  // namespace

bool MemorySink::Write(const unsigned char* p, size_t n) {
  bytes.insert(bytes.end(), p, p + n);
  return true;
}

bool MemorySink::Patch(uint64_t offset, const unsigned char* p, size_t n) {
  if (offset > bytes.size() || bytes.size() - offset < n) return false;
  std::memcpy(bytes.data() + offset, p, n);
  return true;
}

StreamWriter::StreamWriter(Sink& sink, Compression c, uint16_t setId)
    : sink_(sink), compression_(c), setId_(setId) {}

StreamWriter::~StreamWriter() {
  if (zstream_) {
    deflateEnd(Z(zstream_));
    delete Z(zstream_);
  }
}

bool StreamWriter::Fail(const std::string& why) {
  failed_ = true;
  if (error_.empty()) error_ = why;
  return false;
}

bool StreamWriter::Emit(const unsigned char* p, size_t n) {
  if (!sink_.Write(p, n)) return Fail("cannot write the cabinet");
  written_ += n;
  if (written_ > 0xFFFFFFFFu) return Fail("cabinet larger than 4 GiB");
  return true;
}

bool StreamWriter::Begin(const std::vector<FileInfo>& files) {
  if (begun_) return Fail("cabinet already begun");
  begun_ = true;
  if (files.size() > 0xFFFF) return Fail("more than 65535 files");
  size_t fileBytes = 0;
  for (const FileInfo& f : files) {
    if (f.name.empty()) return Fail("a file name is empty");
    if (f.name.size() > kMaxName) return Fail("file name longer than 255 bytes: " + f.name);
    if (f.name.find('\0') != std::string::npos) return Fail("file name holds a NUL byte");
    expected_ += f.size;
    fileBytes += kFileFixedSize + f.name.size() + 1;
  }
  if (expected_ > kMaxFolderBytes) return Fail("more than 2 GiB of file data");

  if (compression_ == Compression::MsZip) {
    auto* z = new z_stream();
    if (deflateInit2(z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      delete z;
      return Fail("cannot start the compressor");
    }
    zstream_ = z;
  }
  block_.reserve(kBlockSize);
  out_.resize(kDataHeaderSize + kBlockSize + 64);

  const uint32_t firstFile = kHeaderSize + kFolderSize;
  const uint32_t firstData = static_cast<uint32_t>(firstFile + fileBytes);
  std::vector<unsigned char> head(firstData, 0);
  unsigned char* h = head.data();
  std::memcpy(h, "MSCF", 4);
  // 8: cabinet length, patched by Finish.
  Store32(h + 16, firstFile);
  h[24] = 3;  // version 1.3
  h[25] = 1;
  Store16(h + 26, 1);  // one folder
  Store16(h + 28, static_cast<uint32_t>(files.size()));
  Store16(h + 30, 0);  // no set neighbours, no reserved areas
  Store16(h + 32, setId_);
  Store16(h + 34, 0);
  unsigned char* folder = h + kHeaderSize;
  Store32(folder, firstData);
  // folder + 4: data block count, patched by Finish.
  Store16(folder + 6, compression_ == Compression::MsZip ? 1 : 0);
  unsigned char* p = h + firstFile;
  uint32_t offset = 0;
  for (const FileInfo& f : files) {
    Store32(p, f.size);
    Store32(p + 4, offset);
    Store16(p + 8, 0);
    Store16(p + 10, f.date);
    Store16(p + 12, f.time);
    uint16_t attribs = f.attribs;
    if (!IsAscii(f.name)) attribs |= 0x80;
    Store16(p + 14, attribs);
    std::memcpy(p + kFileFixedSize, f.name.data(), f.name.size());
    p += kFileFixedSize + f.name.size() + 1;
    offset += f.size;
  }
  return Emit(head.data(), head.size());
}

bool StreamWriter::FlushBlock() {
  const size_t n = block_.size();
  if (n == 0) return true;
  if (blocks_ == 0xFFFF) return Fail("more than 65535 data blocks");
  unsigned char* d = out_.data() + kDataHeaderSize;
  size_t cb = 0;
  bool packed = false;
  if (compression_ == Compression::MsZip) {
    // Every block is a deflate stream of its own, after the "CK" mark, that
    // may refer back into the block before it (the folder's history, which
    // every MSZIP reader keeps).
    z_stream* z = Z(zstream_);
    if (deflateReset(z) != Z_OK) return Fail("compressor failed");
    if (!previous_.empty() &&
        deflateSetDictionary(z, previous_.data(), static_cast<uInt>(previous_.size())) != Z_OK)
      return Fail("compressor failed");
    d[0] = 'C';
    d[1] = 'K';
    z->next_in = block_.data();
    z->avail_in = static_cast<uInt>(n);
    z->next_out = d + 2;
    z->avail_out = static_cast<uInt>(kBlockSize + 5);  // larger than stored: not worth it
    int rc = deflate(z, Z_FINISH);
    if (rc == Z_STREAM_END) {
      cb = 2 + (kBlockSize + 5 - z->avail_out);
      packed = true;
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      return Fail("compressor failed");
    }
    if (!packed) {
      // Incompressible: one final stored deflate block.
      d[2] = 0x01;
      Store16(d + 3, static_cast<uint32_t>(n));
      Store16(d + 5, static_cast<uint32_t>(~n & 0xFFFF));
      std::memcpy(d + 7, block_.data(), n);
      cb = 7 + n;
    }
  } else {
    std::memcpy(d, block_.data(), n);
    cb = n;
  }
  unsigned char* hdr = out_.data();
  Store16(hdr + 4, static_cast<uint32_t>(cb));
  Store16(hdr + 6, static_cast<uint32_t>(n));
  uint32_t sum = Checksum(d, cb, 0);
  sum = Checksum(hdr + 4, 4, sum);
  Store32(hdr, sum);
  ++blocks_;
  block_.swap(previous_);
  block_.clear();
  return Emit(hdr, kDataHeaderSize + cb);
}

bool StreamWriter::Add(const unsigned char* p, size_t n) {
  if (failed_) return false;
  if (!begun_ || finished_) return Fail("cabinet not open for data");
  if (n > expected_ - received_) return Fail("more file data than announced");
  received_ += n;
  while (n > 0) {
    size_t take = kBlockSize - block_.size();
    if (take > n) take = n;
    block_.insert(block_.end(), p, p + take);
    p += take;
    n -= take;
    if (block_.size() == kBlockSize && !FlushBlock()) return false;
  }
  return true;
}

bool StreamWriter::Finish() {
  if (failed_) return false;
  if (!begun_ || finished_) return Fail("cabinet not open");
  if (received_ != expected_) return Fail("less file data than announced");
  if (!FlushBlock()) return false;
  finished_ = true;
  unsigned char v[4];
  Store32(v, static_cast<uint32_t>(written_));
  if (!sink_.Patch(8, v, 4)) return Fail("cannot write the cabinet");
  Store16(v, blocks_);
  if (!sink_.Patch(kHeaderSize + 4, v, 2)) return Fail("cannot write the cabinet");
  return true;
}

std::vector<unsigned char> BuildCabinet(const std::vector<Entry>& files, Compression c,
                                        uint16_t setId) {
  MemorySink sink;
  StreamWriter w(sink, c, setId);
  std::vector<FileInfo> infos;
  infos.reserve(files.size());
  for (const Entry& e : files) {
    if (e.data.size() > 0xFFFFFFFFu) return {};
    infos.push_back({e.name, static_cast<uint32_t>(e.data.size()), e.date, e.time, e.attribs});
  }
  if (!w.Begin(infos)) return {};
  for (const Entry& e : files)
    if (!e.data.empty() && !w.Add(e.data.data(), e.data.size())) return {};
  if (!w.Finish()) return {};
  return std::move(sink.bytes);
}

}  // namespace cab
