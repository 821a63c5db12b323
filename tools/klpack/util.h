// Small helpers of the packager: UTF-8 checks and files opened by path on
// every build (wide paths on Windows).
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "klpack.h"

namespace klpack {

bool IsValidUtf8(const std::string& s);

// An open C stream, closed when the owner goes.
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  // mode as for fopen ("rb", "wb", "r+b").
  bool Open(const fs::path& p, const char* mode);
  // Takes an open descriptor (closed with the stream).
  bool Adopt(int fd, const char* mode);
  bool Close();  // false when flushing failed
  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  bool Seek(uint64_t pos);
  bool Read(void* p, size_t n);   // exactly n bytes
  size_t ReadSome(void* p, size_t n);
  bool Write(const void* p, size_t n);
  uint64_t Size();

 private:
  FILE* f_ = nullptr;
};

// Reads a regular file of at most maxBytes; a folder, a device, a missing
// file or a larger one is an error naming the path.
Status ReadWholeFile(const fs::path& p, std::vector<unsigned char>* out,
                     uint64_t maxBytes = 256u << 20);
// Why p cannot be read as an input file ("" when it is a regular file,
// following links): "no such file", "is a folder", "is not a regular file".
std::string InputFileProblem(const fs::path& p);

// Text from input made safe to print: control characters and bytes that are
// not UTF-8 become \xNN; after maxBytes of input the rest becomes "...".
std::string Escape(const std::string& text, size_t maxBytes = SIZE_MAX);
// The same in double quotes, for messages (80 bytes by default).
std::string Quote(const std::string& text, size_t maxBytes = 80);

// Output files are never written through links and never replace anything
// but a regular file.
// An error when p exists and is not a regular file (a link, a folder, a
// device, a FIFO).
Status CheckOutputTarget(const fs::path& p);
// Creates p exclusively: fails when anything, a link included, has the name.
Status CreateNewFile(const fs::path& p, File* f);

// Creates files under a root folder without leaving it: every folder level
// below the root must be a real folder (made when missing), never a link;
// an existing regular file is replaced, anything else there is refused.
// Remembers what it made, so that a failed run can take it away again.
class OutputTree {
 public:
  explicit OutputTree(const fs::path& root) : root_(root) {}
  // parts: the folder levels and the file name, each already checked.
  Status Create(const std::vector<std::string>& parts, File* f, fs::path* made);
  // Removes the files and folders made so far (newest first).
  void RemoveMade();

 private:
  fs::path root_;
  std::vector<fs::path> files_, folders_;
};
// The reason of the last C library failure, for messages.
std::string LastError();

}  // namespace klpack
