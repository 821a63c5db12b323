// Small helpers of the packager: UTF-8 checks and files opened by path on
// every build (wide paths on Windows).
#pragma once

#include <cstdint>
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

Status ReadWholeFile(const fs::path& p, std::vector<unsigned char>* out);
// The reason of the last C library failure, for messages.
std::string LastError();

}  // namespace klpack
