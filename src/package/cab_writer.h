// Cabinet writing: Microsoft cabinet files (version 1.3, one folder), stored or
// MSZIP-compressed. Portable; used by the packager and by tests that need
// cabinets to read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/cab_checksum.h"  // cab::Checksum

namespace cab {

struct Entry {
  std::string name;                  // as stored: UTF-8, "\" between folders
  std::vector<unsigned char> data;
  uint16_t date = 0x40E6;            // DOS date (6 July 2012)
  uint16_t time = 0;                 // DOS time
  uint16_t attribs = 0x20;           // archive; 0x80 is added for non-ASCII names
};

enum class Compression { Stored, MsZip };

// Builds a whole cabinet in memory (for tests and small tools). Names are
// written exactly as given. Returns an empty vector when the input cannot be
// a cabinet (too many files, a name that is empty or too long, too much data).
std::vector<unsigned char> BuildCabinet(const std::vector<Entry>& files,
                                        Compression c = Compression::MsZip,
                                        uint16_t setId = 0);

// Where a streaming cabinet goes. Write appends; Patch overwrites bytes that
// were written before (only header fields below offset 56 are ever patched).
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool Write(const unsigned char* p, size_t n) = 0;
  virtual bool Patch(uint64_t offset, const unsigned char* p, size_t n) = 0;
};

// Sink into a byte vector.
class MemorySink : public Sink {
 public:
  std::vector<unsigned char> bytes;
  bool Write(const unsigned char* p, size_t n) override;
  bool Patch(uint64_t offset, const unsigned char* p, size_t n) override;
};

// One file as announced before its bytes.
struct FileInfo {
  std::string name;
  uint32_t size = 0;
  uint16_t date = 0x40E6;
  uint16_t time = 0;
  uint16_t attribs = 0x20;
};

// Largest number of uncompressed bytes one data block holds.
constexpr size_t kBlockSize = 32768;

// Writes one cabinet as it goes: Begin with the list of files (names and
// sizes), then the files' bytes in order through Add (in any pieces), then
// Finish, which writes the last block and patches the cabinet length and the
// block count into the header. Memory use is two blocks and the deflate state,
// whatever the size of the files.
class StreamWriter {
 public:
  StreamWriter(Sink& sink, Compression c, uint16_t setId);
  ~StreamWriter();
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  bool Begin(const std::vector<FileInfo>& files);
  bool Add(const unsigned char* p, size_t n);
  bool Finish();

  // Why the last call failed ("" when none did).
  const std::string& error() const { return error_; }
  // Bytes written so far (the cabinet length after Finish).
  uint64_t size() const { return written_; }

 private:
  bool Fail(const std::string& why);
  bool FlushBlock();
  bool Emit(const unsigned char* p, size_t n);

  Sink& sink_;
  Compression compression_;
  uint16_t setId_;
  void* zstream_ = nullptr;
  std::vector<unsigned char> block_;     // pending uncompressed bytes
  std::vector<unsigned char> previous_;  // the block before, which MSZIP may refer back into
  std::vector<unsigned char> out_;       // one encoded data block
  uint64_t expected_ = 0;                // sum of the announced sizes
  uint64_t received_ = 0;
  uint64_t written_ = 0;
  uint32_t blocks_ = 0;
  bool begun_ = false;
  bool finished_ = false;
  bool failed_ = false;
  std::string error_;
};

}  // namespace cab
