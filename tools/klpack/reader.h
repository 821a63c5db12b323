// Cabinet reading shared by the host (libmspack) and Windows (CExtract)
// readers: the input with its decryption layer, and where extracted files go.
#pragma once

#include <functional>
#include <memory>

#include "klpack.h"
#include "util.h"

namespace klpack {

// A cabinet's bytes (a file from an offset to its end, or memory), read as
// the plain cabinet: a "CRYP" container is deciphered block by block.
class Input {
 public:
  virtual ~Input() = default;
  uint64_t Size() const { return size_; }
  bool enciphered() const { return enciphered_; }
  const std::string& Name() const { return name_; }
  // Reads count plain bytes at pos (pos + count <= Size()); returns count, or
  // less on failure (a partial last block of a container cannot be read).
  uint32_t ReadAt(int64_t pos, unsigned char* out, uint32_t count, std::vector<unsigned char>& work);
  // The stored bytes as they are (no deciphering).
  bool RawCopy(uint64_t pos, unsigned char* out, size_t n) { return RawRead(pos, out, n); }

 protected:
  virtual bool RawRead(uint64_t pos, unsigned char* out, size_t n) = 0;
  friend Status OpenInput(const CabSource& src, std::unique_ptr<Input>* out);
  uint64_t size_ = 0;
  bool enciphered_ = false;
  std::string name_;
  BlowfishContext key_{};
};

// Opens src and checks its signature ("MSCF" or "CRYP").
Status OpenInput(const CabSource& src, std::unique_ptr<Input>* out);

// Where the files go: begin chooses a file or a memory block for the entry
// (neither: skipped); end runs after its bytes are complete; failed after a
// failed extraction (to remove the partial output).
struct FileSink {
  std::function<Status(const CabFileInfo&, File**, std::vector<unsigned char>**)> begin;
  std::function<Status(const CabFileInfo&)> end;
  std::function<void(const CabFileInfo&)> failed;
  explicit operator bool() const { return static_cast<bool>(begin); }
};

// Reads the cabinet's directory into listing and, when sink is set, every
// file's bytes through it: opens src and hands it to ReadOpenedCabinet.
Status ReadCabinet(const CabSource& src, CabListing* listing, const FileSink& sink);

// The part of ReadCabinet implemented per build (libmspack / CExtract): in is
// src opened, l the listing so far (enciphered, container size).
Status ReadOpenedCabinet(const CabSource& src, Input& in, CabListing l, CabListing* listing,
                         const FileSink& sink);

}  // namespace klpack
