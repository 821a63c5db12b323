#include "util.h"

#include <cerrno>
#include <cstring>

namespace klpack {

fs::path PathFromUtf8(const std::string& s) { return fs::u8path(s); }

std::string PathToUtf8(const fs::path& p) { return p.u8string(); }

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    unsigned c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) { ++i; continue; }
    size_t need;
    uint32_t v;
    if ((c & 0xE0) == 0xC0) { need = 2; v = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { need = 3; v = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { need = 4; v = c & 0x07; }
    else return false;
    if (i + need > n) return false;
    for (size_t k = 1; k < need; ++k) {
      unsigned b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      v = (v << 6) | (b & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kMin[need] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    i += need;
  }
  return true;
}

bool File::Open(const fs::path& p, const char* mode) {
  Close();
#ifdef _WIN32
  std::wstring m(mode, mode + std::strlen(mode));
  f_ = _wfopen(p.c_str(), m.c_str());
#else
  f_ = std::fopen(p.c_str(), mode);
#endif
  return f_ != nullptr;
}

bool File::Close() {
  if (!f_) return true;
  bool ok = std::fclose(f_) == 0;
  f_ = nullptr;
  return ok;
}

bool File::Seek(uint64_t pos) {
#ifdef _WIN32
  return _fseeki64(f_, static_cast<long long>(pos), SEEK_SET) == 0;
#else
  return fseeko(f_, static_cast<off_t>(pos), SEEK_SET) == 0;
#endif
}

bool File::Read(void* p, size_t n) { return n == 0 || std::fread(p, 1, n, f_) == n; }

size_t File::ReadSome(void* p, size_t n) { return std::fread(p, 1, n, f_); }

bool File::Write(const void* p, size_t n) { return n == 0 || std::fwrite(p, 1, n, f_) == n; }

uint64_t File::Size() {
#ifdef _WIN32
  long long cur = _ftelli64(f_);
  _fseeki64(f_, 0, SEEK_END);
  long long end = _ftelli64(f_);
  _fseeki64(f_, cur, SEEK_SET);
#else
  off_t cur = ftello(f_);
  fseeko(f_, 0, SEEK_END);
  off_t end = ftello(f_);
  fseeko(f_, cur, SEEK_SET);
#endif
  return end < 0 ? 0 : static_cast<uint64_t>(end);
}

std::string LastError() { return std::strerror(errno); }

Status ReadWholeFile(const fs::path& p, std::vector<unsigned char>* out) {
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return Status::Input(PathToUtf8(p) + ": no such file");
  File f;
  if (!f.Open(p, "rb")) return Status::Input(PathToUtf8(p) + ": cannot open: " + LastError());
  uint64_t size = f.Size();
  out->resize(static_cast<size_t>(size));
  if (!f.Read(out->data(), out->size()))
    return Status::Input(PathToUtf8(p) + ": cannot read: " + LastError());
  return Status::Ok();
}

}  // namespace klpack
