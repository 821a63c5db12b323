#include "util.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

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

bool File::Adopt(int fd, const char* mode) {
  Close();
  if (fd < 0) return false;
#ifdef _WIN32
  f_ = _fdopen(fd, mode);
  if (!f_) _close(fd);
#else
  f_ = fdopen(fd, mode);
  if (!f_) ::close(fd);
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

std::string InputFileProblem(const fs::path& p) {
  std::error_code ec;
  fs::file_status st = fs::status(p, ec);
  if (st.type() == fs::file_type::not_found) return "no such file";
  if (ec) return "cannot be read: " + ec.message();
  if (st.type() == fs::file_type::directory) return "is a folder, not a file";
  if (st.type() != fs::file_type::regular) return "is not a regular file";
  return "";
}

Status ReadWholeFile(const fs::path& p, std::vector<unsigned char>* out, uint64_t maxBytes) {
  const std::string name = Quote(PathToUtf8(p), 200);
  std::string problem = InputFileProblem(p);
  if (!problem.empty()) return Status::Input(name + ": " + problem);
  File f;
  if (!f.Open(p, "rb")) return Status::Input(name + ": cannot open: " + LastError());
  const uint64_t size = f.Size();
  if (size > maxBytes)
    return Status::Input(name + ": larger than " + std::to_string(maxBytes) + " bytes");
  out->resize(static_cast<size_t>(size));
  if (!f.Read(out->data(), out->size()))
    return Status::Input(name + ": cannot read: " + LastError());
  unsigned char extra;
  if (f.ReadSome(&extra, 1) != 0) return Status::Input(name + ": grew while it was read");
  return Status::Ok();
}

std::string Quote(const std::string& text, size_t maxBytes) {
  return "\"" + Escape(text, maxBytes) + "\"";
}

std::string Escape(const std::string& text, size_t maxBytes) {
  std::string out;
  size_t i = 0;
  const size_t n = text.size();
  auto hex = [&out](unsigned c) {
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  };
  while (i < n) {
    if (i >= maxBytes) {
      out += "...";
      break;
    }
    unsigned c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      hex(c);
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
      if (len > 1 && i + len <= n && IsValidUtf8(text.substr(i, len))) {
        out.append(text, i, len);
        i += len;
      } else {
        hex(c);
        ++i;
      }
    }
  }
  return out;
}

Status CheckOutputTarget(const fs::path& p) {
  std::error_code ec;
  fs::file_status st = fs::symlink_status(p, ec);
  if (st.type() == fs::file_type::not_found || st.type() == fs::file_type::regular)
    return Status::Ok();
  const std::string name = Quote(PathToUtf8(p), 200);
  if (ec) return Status::Input(name + ": " + ec.message());
  if (st.type() == fs::file_type::symlink)
    return Status::Input(name + ": is a link; klpack does not write through links");
  if (st.type() == fs::file_type::directory) return Status::Input(name + ": is a folder");
  return Status::Input(name + ": exists and is not a regular file");
}

Status CreateNewFile(const fs::path& p, File* f) {
#ifdef _WIN32
  int fd = _wopen(p.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
#endif
  if (fd < 0 || !f->Adopt(fd, "wb"))
    return Status::Input(Quote(PathToUtf8(p), 200) + ": cannot create: " + LastError());
  return Status::Ok();
}

Status OutputTree::Create(const std::vector<std::string>& parts, File* f, fs::path* made) {
  fs::path p = root_;
  for (size_t i = 0; i < parts.size(); ++i) {
    p /= PathFromUtf8(parts[i]);
    const bool last = i + 1 == parts.size();
    std::error_code ec;
    fs::file_status st = fs::symlink_status(p, ec);
    const std::string name = Quote(PathToUtf8(p), 200);
    if (st.type() == fs::file_type::symlink)
      return Status::Input(name + ": is a link; klpack does not write through links");
    if (!last) {
      if (st.type() == fs::file_type::not_found) {
        if (!fs::create_directory(p, ec) || ec)
          return Status::Input(name + ": cannot create: " + ec.message());
        folders_.push_back(p);
      } else if (st.type() != fs::file_type::directory) {
        return Status::Input(name + ": is in the way (not a folder)");
      }
      continue;
    }
    if (st.type() == fs::file_type::regular) {
      if (!fs::remove(p, ec) || ec) return Status::Input(name + ": cannot replace: " + ec.message());
    } else if (st.type() != fs::file_type::not_found) {
      return Status::Input(name + ": exists and is not a regular file");
    }
    // Exclusive and without following links: a link made since the look
    // above makes the creation fail instead of writing through it.
    Status s = CreateNewFile(p, f);
    if (!s.ok()) return s;
    files_.push_back(p);
    *made = p;
  }
  return Status::Ok();
}

void OutputTree::RemoveMade() {
  std::error_code ec;
  for (auto it = files_.rbegin(); it != files_.rend(); ++it) fs::remove(*it, ec);
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) fs::remove(*it, ec);
  files_.clear();
  folders_.clear();
}

}  // namespace klpack
