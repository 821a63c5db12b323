#include "package/cab_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/le.h"

#include "package/cab_checksum.h"
#include "package/mszip_inflate.h"

namespace cab {
namespace {

constexpr size_t kHeaderSize = 36;
constexpr size_t kFolderSize = 8;
constexpr size_t kFileFixedSize = 16;
constexpr size_t kDataHeaderSize = 8;
constexpr size_t kMaxNameBytes = 256;        // including the NUL
constexpr uint32_t kMaxHeaderReserve = 60000;
constexpr size_t kInputBuffer = 2 * 65536;   // a whole read plus a block held over
constexpr size_t kOutputBlocks = 8;          // blocks decoded ahead before a write
constexpr size_t kHistory = MsZipInflater::kWindow;  // kept before them for back references
constexpr size_t kOutputBuffer = kHistory + kOutputBlocks * kMaxBlockOutput;
constexpr uint16_t kFirstContinuedFolder = 0xFFFD;
constexpr uint64_t kDecodeSlack = 64u << 20;
constexpr size_t kSmallRead = 24;        // one data block header, rounded out to whole units

enum : uint16_t { kStored = 0, kMsZip = 1, kQuantum = 2, kLzx = 3 };

using kl::Load16;
using kl::Load32;

}  // namespace

CabDecoder::CabDecoder() = default;

CabDecoder::~CabDecoder() { delete inflater_; }

DecodeResult CabDecoder::Fail(DecodeError e, const char* why) {
  error_ = e;
  detail_ = why;
  return DecodeResult::Failed;
}

DecodeResult CabDecoder::Refuse(const char* why) {
  error_ = DecodeError::None;
  detail_ = why;
  return DecodeResult::Unsupported;
}

DecodeResult CabDecoder::Decode(DecoderHost& host, const char* cabinetName,
                                const char* cabinetFolder) {
  error_ = DecodeError::None;
  detail_ = "";
  host_ = &host;
  cab_ = -1;
  DecodeResult r;
#if defined(__cpp_exceptions)
  try {
    r = Run(host, cabinetName ? cabinetName : "", cabinetFolder ? cabinetFolder : "");
  } catch (const std::bad_alloc&) {
    r = Fail(DecodeError::AllocFail, "out of memory");
  }
#else
  // Built without exceptions (the shipping program): a failed allocation
  // ends the program like any other in it.
  r = Run(host, cabinetName ? cabinetName : "", cabinetFolder ? cabinetFolder : "");
#endif
  if (cab_ != -1) host.Close(cab_);
  cab_ = -1;
  host_ = nullptr;
  // The tables are per cabinet; the buffers stay for the next run.
  folders_.clear();
  files_.clear();
  names_.clear();
  folder_ = -1;
  return r;
}

// ---------------------------------------------------------------------------
// Reading: whole chunks at multiples of 8, kept in in_ until used.

bool CabDecoder::SeekTo(uint64_t position) {
  if (position >= inBase_ && position <= inBase_ + inLen_) {
    inOff_ = static_cast<size_t>(position - inBase_);
    return true;
  }
  inBase_ = position & ~uint64_t(7);
  inLen_ = 0;
  inOff_ = static_cast<size_t>(position - inBase_);
  return true;
}

bool CabDecoder::Fill(size_t need) {
  if (inOff_ + need <= inLen_) return true;
  if (need > in_.size() - 8) return false;
  size_t keep = inOff_ & ~size_t(7);
  if (keep) {
    if (inLen_ > keep) {
      std::memmove(in_.data(), in_.data() + keep, inLen_ - keep);
      inLen_ -= keep;
    } else {
      inLen_ = 0;
    }
    inBase_ += keep;
    inOff_ -= keep;
  }
  while (inOff_ + need > inLen_) {
    uint64_t at = inBase_ + inLen_;
    if (at >= end_) return false;
    size_t n = std::min<size_t>(kMaxDecoderRead, (in_.size() - inLen_) & ~size_t(7));
    if (end_ - at < n) n = static_cast<size_t>(end_ - at);
    if (n == 0) return false;
    if (filePos_ != at) {
      if (host_->Seek(cab_, static_cast<int64_t>(at), 0) != static_cast<int64_t>(at)) return false;
      filePos_ = at;
    }
    int64_t got = host_->Read(cab_, in_.data() + inLen_, static_cast<uint32_t>(n));
    if (got != static_cast<int64_t>(n)) {
      filePos_ = ~uint64_t(0);  // unknown after a failed read
      return false;
    }
    filePos_ += n;
    inLen_ += n;
  }
  return true;
}

const unsigned char* CabDecoder::Take(size_t n) {
  if (!Fill(n)) return nullptr;
  const unsigned char* p = in_.data() + inOff_;
  inOff_ += n;
  return p;
}

// ---------------------------------------------------------------------------
// Header, folders and files

DecodeResult CabDecoder::Run(DecoderHost& host, const char* name, const char* folder) {
  std::string path = std::string(folder) + name;
  cab_ = host.Open(path.c_str());
  if (cab_ == -1) return Fail(DecodeError::CabinetNotFound, "cannot open the cabinet");
  int64_t size = host.Seek(cab_, 0, 2);
  if (size < 0 || host.Seek(cab_, 0, 0) != 0) return Fail(DecodeError::NotACabinet, "cannot seek");
  end_ = static_cast<uint64_t>(size);
  filePos_ = 0;
  if (in_.size() != kInputBuffer) in_.resize(kInputBuffer);
  if (out_.size() != kOutputBuffer) out_.resize(kOutputBuffer);
  inBase_ = 0;
  inLen_ = 0;
  inOff_ = 0;

  const unsigned char* h = Take(kHeaderSize);
  if (!h || std::memcmp(h, "MSCF", 4) != 0)
    return Fail(DecodeError::NotACabinet, "no cabinet header");
  const uint8_t minor = h[24], major = h[25];
  if (major != 1 || minor != 3) return Fail(DecodeError::UnknownVersion, "cabinet version not 1.3");
  // The cabinet's own length: at least its header, at most the file; what
  // follows it (a container's padding) is never read.
  const uint32_t cbCabinet = Load32(h + 8);
  if (cbCabinet < kHeaderSize || cbCabinet > end_)
    return Fail(DecodeError::Corrupt, "cabinet length outside the file");
  end_ = cbCabinet;
  const uint32_t coffFiles = Load32(h + 16);
  const uint16_t cFolders = Load16(h + 26);
  const uint16_t cFiles = Load16(h + 28);
  const uint16_t flags = Load16(h + 30);
  const uint16_t setId = Load16(h + 32);
  const uint16_t iCabinet = Load16(h + 34);
  if (flags & (kFlagPrevCabinet | kFlagNextCabinet)) return Refuse("cabinet of a set");

  uint32_t folderReserve = 0;
  dataReserve_ = 0;
  if (flags & kFlagReservePresent) {
    const unsigned char* r = Take(4);
    if (!r) return Fail(DecodeError::Corrupt, "truncated header");
    const uint32_t headerReserve = Load16(r);
    folderReserve = r[2];
    dataReserve_ = r[3];
    if (headerReserve > kMaxHeaderReserve)
      return Fail(DecodeError::ReserveMismatch, "header reserve too large");
    if (!Take(headerReserve)) return Fail(DecodeError::Corrupt, "truncated header reserve");
  }

  bool otherCompression = false;
  folders_.reserve(cFolders);
  for (uint16_t i = 0; i < cFolders; ++i) {
    const unsigned char* f = Take(kFolderSize + folderReserve);
    if (!f) return Fail(DecodeError::Corrupt, "truncated folder table");
    Folder fo{Load32(f), Load16(f + 4), Load16(f + 6)};
    const uint16_t type = fo.compression & 0x0F;
    if (type == kQuantum || type == kLzx) {
      otherCompression = true;  // refused once the tables have been checked
    } else if (type != kStored && type != kMsZip) {
      return Fail(DecodeError::BadCompression, "unknown compression type");
    }
    fo.compression = type;
    folders_.push_back(fo);
  }

  SeekTo(coffFiles);
  files_.reserve(cFiles);
  for (uint16_t i = 0; i < cFiles; ++i) {
    const unsigned char* e = Take(kFileFixedSize);
    if (!e) return Fail(DecodeError::Corrupt, "truncated file table");
    File f{Load32(e), Load32(e + 4), Load16(e + 8), Load16(e + 10), Load16(e + 12), Load16(e + 14), 0};
    if (f.folder >= kFirstContinuedFolder) return Refuse("file continued across cabinets");
    if (f.folder >= cFolders) return Fail(DecodeError::Corrupt, "file in a folder that is absent");
    // The name: NUL-terminated within kMaxNameBytes, not past the end.
    const uint64_t at = inBase_ + inOff_;
    if (at >= end_) return Fail(DecodeError::Corrupt, "truncated file name");
    const size_t avail = static_cast<size_t>(std::min<uint64_t>(kMaxNameBytes, end_ - at));
    if (!Fill(avail)) return Fail(DecodeError::Corrupt, "truncated file name");
    const unsigned char* n = in_.data() + inOff_;
    const void* nul = std::memchr(n, 0, avail);
    if (!nul) return Fail(DecodeError::Corrupt, "file name without an end");
    const size_t len = static_cast<size_t>(static_cast<const unsigned char*>(nul) - n);
    f.nameAt = static_cast<uint32_t>(names_.size());
    names_.append(reinterpret_cast<const char*>(n), len);
    names_.push_back('\0');
    inOff_ += len + 1;
    files_.push_back(f);
  }

  uint64_t totalBytes = 0;
  if (!CheckFileRanges(&totalBytes)) return DecodeResult::Failed;
  if (otherCompression) return Refuse("Quantum or LZX folder");

  CabinetHeaderInfo info{"", "", folder, setId, iCabinet, cFolders, cFiles, totalBytes};
  if (host.OnCabinetInfo(info) == -1) return Fail(DecodeError::UserAbort, "stopped");

  for (const File& f : files_) {
    DecodedFile d{names_.c_str() + f.nameAt, f.size, f.offset, f.folder, f.date, f.time,
                  f.attribs};
    intptr_t out = host.OnCopyFile(d);
    if (out == -1) return Fail(DecodeError::UserAbort, "stopped at a file");
    if (out == 0) continue;
    if (!WriteFile(f, out)) return DecodeResult::Failed;
    intptr_t closed = host.OnCloseFile(d, out);
    if (closed == -1) return Fail(DecodeError::UserAbort, "stopped after a file");
    if (closed <= 0) return Fail(DecodeError::TargetFile, "output file not finished");
  }
  return DecodeResult::Ok;
}

// ---------------------------------------------------------------------------
// File ranges

bool CabDecoder::ReadSmall(uint64_t pos, unsigned char* out, size_t n) {
  // Whole 8-byte units from a multiple of 8, like every other read.
  const uint64_t at = pos & ~uint64_t(7);
  const size_t skip = static_cast<size_t>(pos - at);
  unsigned char buf[kSmallRead];
  if (skip + n > sizeof buf || pos + n > end_) return false;
  size_t len = (skip + n + 7) & ~size_t(7);
  if (end_ - at < len) len = static_cast<size_t>(end_ - at);
  if (filePos_ != at) {
    if (host_->Seek(cab_, static_cast<int64_t>(at), 0) != static_cast<int64_t>(at)) {
      filePos_ = ~uint64_t(0);
      return false;
    }
    filePos_ = at;
  }
  if (host_->Read(cab_, buf, static_cast<uint32_t>(len)) != static_cast<int64_t>(len)) {
    filePos_ = ~uint64_t(0);
    return false;
  }
  filePos_ += len;
  std::memcpy(out, buf + skip, n);
  return true;
}

// Every file must lie inside its folder's data (the sum of the folder's
// blocks' sizes, read from the block headers alone), and no two files of a
// folder may share bytes: a few hundred entries over one large folder would
// otherwise make the output thousands of times the cabinet's size.
bool CabDecoder::CheckFileRanges(uint64_t* totalBytes) {
  std::vector<uint64_t> folderSize(folders_.size(), 0);
  const size_t headerBytes = kDataHeaderSize + dataReserve_;
  // Folders do not share blocks: more block headers than the cabinet holds
  // (folders pointing at the same data) would only make this walk long.
  uint64_t allBlocks = 0;
  for (const Folder& fo : folders_) allBlocks += fo.blocks;
  if (allBlocks * headerBytes > end_) {
    Fail(DecodeError::Corrupt, "more data blocks than the cabinet holds");
    return false;
  }
  for (size_t i = 0; i < folders_.size(); ++i) {
    uint64_t pos = folders_[i].dataStart;
    for (uint32_t b = 0; b < folders_[i].blocks; ++b) {
      unsigned char hdr[kDataHeaderSize];
      if (pos + headerBytes > end_ || !ReadSmall(pos, hdr, kDataHeaderSize)) {
        Fail(DecodeError::Corrupt, "data block header past the end");
        return false;
      }
      const uint32_t cbData = Load16(hdr + 4);
      const uint32_t cbUncomp = Load16(hdr + 6);
      if (cbData > kMaxBlockInput || cbUncomp > kMaxBlockOutput || cbUncomp == 0) {
        Fail(DecodeError::Corrupt, "data block size out of range");
        return false;
      }
      pos += headerBytes + cbData;
      if (pos > end_) {
        Fail(DecodeError::Corrupt, "data block past the end");
        return false;
      }
      folderSize[i] += cbUncomp;
    }
  }
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // (folder << 32 | offset, end)
  ranges.reserve(files_.size());
  uint64_t total = 0;
  for (const File& f : files_) {
    const uint64_t end = uint64_t(f.offset) + f.size;
    if (end > folderSize[f.folder]) {
      Fail(DecodeError::Corrupt, "file range past the folder's data");
      return false;
    }
    total += f.size;
    if (f.size) ranges.push_back({uint64_t(f.folder) << 32 | f.offset, uint64_t(f.folder) << 32 | end});
  }
  // Files listed out of order make their folder decode again from its
  // start; once per folder is what real cabinets need, so the decoding may
  // produce each folder's data twice (and a little), not without end.
  uint64_t allData = 0;
  for (uint64_t n : folderSize) allData += n;
  decodeBudget_ = 2 * allData + kDecodeSlack;
  decoded_ = 0;
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first < ranges[i - 1].second) {
      Fail(DecodeError::Corrupt, "file ranges overlap");
      return false;
    }
  }
  *totalBytes = total;
  return true;
}

// ---------------------------------------------------------------------------
// Folder data

bool CabDecoder::StartFolder(uint16_t index) {
  const Folder& fo = folders_[index];
  SeekTo(fo.dataStart);
  folder_ = index;
  nextBlock_ = 0;
  outBase_ = 0;
  outLen_ = 0;
  history_ = 0;  // no history from another folder
  if (fo.compression == kMsZip && !inflater_) inflater_ = new MsZipInflater();
  return true;
}

// Appends the next data block's output to out_ (room for one block is there).
bool CabDecoder::DecodeBlock() {
  const Folder& fo = folders_[static_cast<size_t>(folder_)];
  if (nextBlock_ >= fo.blocks) {
    Fail(DecodeError::Corrupt, "file data beyond the folder's blocks");
    return false;
  }
  unsigned char hdr[kDataHeaderSize];
  const unsigned char* p = Take(kDataHeaderSize + dataReserve_);
  if (!p) {
    Fail(DecodeError::Corrupt, "truncated data block");
    return false;
  }
  std::memcpy(hdr, p, kDataHeaderSize);
  const uint32_t csum = Load32(hdr);
  const uint32_t cbData = Load16(hdr + 4);
  const uint32_t cbUncomp = Load16(hdr + 6);
  if (cbData > kMaxBlockInput || cbUncomp > kMaxBlockOutput || cbUncomp == 0) {
    Fail(DecodeError::Corrupt, "data block size out of range");
    return false;
  }
  const unsigned char* d = Take(cbData);
  if (!d) {
    Fail(DecodeError::Corrupt, "truncated data block");
    return false;
  }
  if (csum != 0 && Checksum(hdr + 4, 4, Checksum(d, cbData, 0)) != csum) {
    Fail(DecodeError::Corrupt, "data block checksum");
    return false;
  }
  unsigned char* out = out_.data() + kHistory + outLen_;
  if (fo.compression == kStored) {
    if (cbData != cbUncomp) {
      Fail(DecodeError::Corrupt, "stored block sizes differ");
      return false;
    }
    std::memcpy(out, d, cbData);
  } else {
    if (cbData < 2 || d[0] != 'C' || d[1] != 'K') {
      Fail(DecodeError::Corrupt, "MSZIP block without its mark");
      return false;
    }
    // A block is a deflate stream of its own that may refer back into the
    // output of the blocks before it, which lies right before `out`.
    if (!inflater_->Inflate(d + 2, cbData - 2, out, cbUncomp, history_ + outLen_)) {
      Fail(DecodeError::Corrupt, "bad MSZIP data");
      return false;
    }
  }
  outLen_ += cbUncomp;
  ++nextBlock_;
  decoded_ += cbUncomp;
  if (decoded_ > decodeBudget_) {
    Fail(DecodeError::Corrupt, "files so out of order that the folders decode again and again");
    return false;
  }
  return true;
}

bool CabDecoder::WriteFile(const File& f, intptr_t handle) {
  if (folder_ != f.folder || f.offset < outBase_) {
    if (!StartFolder(f.folder)) return false;
  }
  uint64_t cur = f.offset;
  const uint64_t stop = cur + f.size;
  while (cur < stop) {
    const uint64_t have = outBase_ + outLen_;
    if (cur >= outBase_ && cur < have) {
      const size_t take = static_cast<size_t>(std::min(stop, have) - cur);
      const int64_t wrote =
          host_->Write(handle, out_.data() + kHistory + (cur - outBase_), static_cast<uint32_t>(take));
      if (wrote != static_cast<int64_t>(take)) {
        Fail(DecodeError::TargetFile, "cannot write a file");
        return false;
      }
      cur += take;
      continue;
    }
    // Everything buffered lies before cur: decode ahead, as far as the file
    // goes or the buffer holds.
    if (kOutputBuffer - kHistory - outLen_ < kMaxBlockOutput) {
      // Start over at the front; the last kHistory bytes of output stay
      // before it as the history.
      unsigned char* data = out_.data();
      std::memmove(data, data + outLen_, kHistory);
      history_ = std::min(kHistory, history_ + outLen_);
      outBase_ += outLen_;
      outLen_ = 0;
    }
    do {
      if (!DecodeBlock()) return false;
    } while (outBase_ + outLen_ < stop && kOutputBuffer - kHistory - outLen_ >= kMaxBlockOutput);
  }
  return true;
}

}  // namespace cab
