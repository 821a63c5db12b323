// Cabinet decoding engine: reads a Microsoft cabinet (version 1.3, stored or
// MSZIP) through caller-supplied file primitives and hands every file's bytes
// to the caller, in the manner of the system cabinet library's copy loop.
//
// The engine never touches the file system itself. It opens the cabinet with
// DecoderHost::Open, reads it sequentially through Read/Seek (every read asks
// for at most kMaxDecoderRead bytes at an offset that is a multiple of 8, so
// a block-cipher read layer underneath serves it without extra work) and
// closes it before Decode returns. For each file it asks OnCopyFile for an
// output handle (0 skips the file, -1 stops), writes the bytes through Write
// and then calls OnCloseFile, which owns closing the output handle.
//
// What it does not decode - cabinets that belong to a set (previous or next
// cabinet flags) and Quantum or LZX folders - is reported as Unsupported
// before any notification is made, so the caller can hand the cabinet to
// another reader. Before anything is announced the engine checks that the
// version is 1.3, the cabinet's length fits the file, and every file lies
// inside its folder's data without sharing bytes with another file (for
// LZX and Quantum cabinets too, before they are reported Unsupported). Memory use is fixed (read buffer, output buffer with
// the MSZIP history, inflater tables) apart from the file table, whatever the size of the cabinet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cab {

class MsZipInflater;

// Error numbers, the same values as the system cabinet library's FDIERROR_*.
enum class DecodeError : int {
  None = 0,
  CabinetNotFound = 1,   // Open failed
  NotACabinet = 2,       // no "MSCF" header, or the header cannot be read
  UnknownVersion = 3,    // a version above 1.3
  Corrupt = 4,           // bad tables, data blocks, checksums or compressed data
  AllocFail = 5,         // out of memory
  BadCompression = 6,    // unknown compression type
  TargetFile = 8,        // a write to an output handle failed
  ReserveMismatch = 9,   // reserved-area sizes out of range
  UserAbort = 11,        // a notification returned -1 (or refused a file)
};

enum class DecodeResult { Ok, Unsupported, Failed };

// Largest single read request the engine makes.
constexpr uint32_t kMaxDecoderRead = 65520;
// Largest uncompressed size of a data block, and of its stored bytes.
constexpr uint32_t kMaxBlockOutput = 32768;
constexpr uint32_t kMaxBlockInput = 32768 + 6144;

// Header flags.
constexpr uint16_t kFlagPrevCabinet = 0x0001;
constexpr uint16_t kFlagNextCabinet = 0x0002;
constexpr uint16_t kFlagReservePresent = 0x0004;

struct CabinetHeaderInfo {
  const char* nextCabinet;  // "" unless the cabinet names a next one
  const char* nextDisk;
  const char* cabinetPath;  // the folder Decode was given
  uint16_t setId;
  uint16_t cabinetNumber;
  uint16_t folders;
  uint16_t files;
  uint64_t totalBytes;  // the sum of the files' sizes (what a full extraction writes)
};

struct DecodedFile {
  const char* name;  // raw bytes from the cabinet, NUL-terminated (attribs 0x80: UTF-8)
  uint32_t size;
  uint32_t offset;   // in the folder's uncompressed data
  uint16_t folder;
  uint16_t date;     // DOS date and time
  uint16_t time;
  uint16_t attribs;
};

// The caller's side. Handles are opaque integers; -1 is failure.
class DecoderHost {
 public:
  virtual ~DecoderHost() = default;
  virtual intptr_t Open(const char* path) = 0;                             // handle or -1
  virtual int64_t Read(intptr_t handle, void* buffer, uint32_t count) = 0; // bytes or -1
  virtual int64_t Seek(intptr_t handle, int64_t distance, int origin) = 0; // 0 set, 1 cur, 2 end
  virtual int Close(intptr_t handle) = 0;
  virtual int64_t Write(intptr_t handle, const void* data, uint32_t count) = 0;  // bytes or -1
  // -1 stops the run; anything else goes on.
  virtual intptr_t OnCabinetInfo(const CabinetHeaderInfo& info) = 0;
  // An output handle; 0 skips the file; -1 stops the run.
  virtual intptr_t OnCopyFile(const DecodedFile& file) = 0;
  // After the last byte: a positive result goes on, anything else stops.
  virtual intptr_t OnCloseFile(const DecodedFile& file, intptr_t handle) = 0;
};

class CabDecoder {
 public:
  CabDecoder();
  ~CabDecoder();
  CabDecoder(const CabDecoder&) = delete;
  CabDecoder& operator=(const CabDecoder&) = delete;

  // Decodes folder + name (both handed to Open joined, as given).
  DecodeResult Decode(DecoderHost& host, const char* cabinetName, const char* cabinetFolder);

  DecodeError error() const { return error_; }
  // A short English reason for the last failure or refusal ("" after success).
  const char* detail() const { return detail_; }

 private:
  struct Folder {
    uint32_t dataStart;
    uint16_t blocks;
    uint16_t compression;
  };
  struct File {
    uint32_t size;
    uint32_t offset;
    uint16_t folder;
    uint16_t date;
    uint16_t time;
    uint16_t attribs;
    uint32_t nameAt;  // into names_
  };

  DecodeResult Fail(DecodeError e, const char* why);
  DecodeResult Refuse(const char* why);
  DecodeResult Run(DecoderHost& host, const char* name, const char* folder);
  // Buffered reading of the cabinet.
  bool Fill(size_t need);
  const unsigned char* Take(size_t n);
  bool SeekTo(uint64_t position);
  // A few bytes at pos read directly, the buffer left as it is.
  bool ReadSmall(uint64_t pos, unsigned char* out, size_t n);
  // Folder sizes from the block headers; file ranges inside them, disjoint.
  bool CheckFileRanges(uint64_t* totalBytes);
  // Folder decoding into the output buffer.
  bool StartFolder(uint16_t index);
  bool DecodeBlock();
  bool WriteFile(const File& f, intptr_t out);

  DecoderHost* host_ = nullptr;
  intptr_t cab_ = -1;
  uint64_t end_ = 0;       // cabinet file size
  uint64_t filePos_ = 0;   // where the host's file position stands
  std::vector<unsigned char> in_;
  uint64_t inBase_ = 0;    // file offset of in_[0]
  size_t inLen_ = 0;       // valid bytes in in_
  size_t inOff_ = 0;       // next unread byte

  uint8_t dataReserve_ = 0;
  std::vector<Folder> folders_;
  std::vector<File> files_;
  std::string names_;

  MsZipInflater* inflater_ = nullptr;
  // The folder's output: kHistory bytes of what came before, then up to
  // kOutputBlocks blocks; out_[kHistory + i] is folder offset outBase_ + i.
  std::vector<unsigned char> out_;
  size_t history_ = 0;     // bytes of the folder's earlier output before out_[kHistory]
  int folder_ = -1;        // folder being decoded
  uint32_t nextBlock_ = 0;
  uint64_t outBase_ = 0;   // folder offset of out_[0]
  size_t outLen_ = 0;
  uint64_t decoded_ = 0;       // bytes decoded in this run
  uint64_t decodeBudget_ = 0;  // at most this many (see CheckFileRanges)

  DecodeError error_ = DecodeError::None;
  const char* detail_ = "";
};

}  // namespace cab
