// Building packages: the setup executable (stub + enciphered package), plain
// cabinets, and config.ksc files.
#include <algorithm>
#include <cstring>
#include <map>

#include "base/keyname.h"

#include "key_slot.h"
#include "klpack.h"
#include "package/cab_writer.h"
#include "package/cryp_layer.h"
#include "package/pe_layout.h"
#include "util.h"

namespace klpack {
namespace {

constexpr size_t kChunk = 1 << 16;
// The setup program the package is appended to (a few hundred kilobytes).
constexpr uint64_t kMaxStubBytes = 64u << 20;

// Writes a cabinet into a file after `base` bytes that are already there.
// With a key, the container is enciphered as it goes: bytes from 56 on in
// whole 8-byte blocks, padded at the end, "CRYP" over the signature.
class FileCabSink : public cab::Sink {
 public:
  FileCabSink(File& f, uint64_t base, const BlowfishContext* key)
      : f_(f), base_(base), key_(key) {}

  bool Write(const unsigned char* p, size_t n) override {
    buf_.insert(buf_.end(), p, p + n);
    return buf_.size() < 4 * kChunk || Flush(false);
  }

  bool Patch(uint64_t offset, const unsigned char* p, size_t n) override {
    if (offset >= bufStart_) {
      if (offset + n > bufStart_ + buf_.size()) return false;
      std::memcpy(buf_.data() + (offset - bufStart_), p, n);
      return true;
    }
    // Already on disk: only the plain head may change there.
    if (offset + n > bufStart_ || (key_ && offset + n > kCrypPlainBytes)) return false;
    return f_.Seek(base_ + offset) && f_.Write(p, n) && f_.Seek(base_ + bufStart_);
  }

  // Pads, enciphers and writes the rest; then the "CRYP" signature.
  bool Finish() {
    if (key_) {
      uint64_t end = bufStart_ + buf_.size();
      buf_.insert(buf_.end(), static_cast<size_t>((8 - end % 8) % 8), 0);
    }
    if (!Flush(true)) return false;
    if (key_ && !Patch(0, reinterpret_cast<const unsigned char*>("CRYP"), 4)) return false;
    return true;
  }

  uint64_t size() const { return bufStart_ + buf_.size(); }

 private:
  bool Flush(bool all) {
    size_t n = buf_.size();
    if (key_) {
      if (!all) n -= static_cast<size_t>((bufStart_ + n) % 8);  // whole blocks only
      uint64_t from = std::max<uint64_t>(bufStart_, kCrypPlainBytes);
      if (bufStart_ + n > from) {
        size_t at = static_cast<size_t>(from - bufStart_);
        BlowfishEncryptBlocks(key_, buf_.data() + at, (n - at) / 8);
      }
    }
    if (!f_.Write(buf_.data(), n)) return false;
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
    bufStart_ += n;
    return true;
  }

  File& f_;
  uint64_t base_;
  const BlowfishContext* key_;
  std::vector<unsigned char> buf_;
  uint64_t bufStart_ = 0;  // container offset of buf_[0]
};

// A 16-bit set number that follows from the package's content description.
uint16_t DeriveSetId(const std::vector<unsigned char>& head, const std::vector<SourceFile>& files) {
  uint32_t h = 2166136261u;
  auto mix = [&h](const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 16777619u;
  };
  mix(head.data(), head.size());
  for (const SourceFile& f : files) {
    mix(f.name.data(), f.name.size() + 1);
    mix(&f.size, sizeof f.size);
  }
  return static_cast<uint16_t>(h ^ (h >> 16));
}

// Writes the cabinet of `first` (optional, from memory) and the folder's
// files into out at `base`.
Status WriteCabinet(File& out, uint64_t base, const BlowfishContext* key, uint16_t setId,
                    uint16_t date, uint16_t time, const std::string& firstName,
                    const std::vector<unsigned char>* first, const std::vector<SourceFile>& files,
                    const std::string& outName) {
  FileCabSink sink(out, base, key);
  cab::StreamWriter w(sink, cab::Compression::MsZip, setId);
  std::vector<cab::FileInfo> infos;
  if (first) infos.push_back({firstName, static_cast<uint32_t>(first->size()), date, time, 0x20});
  for (const SourceFile& f : files)
    infos.push_back({f.name, static_cast<uint32_t>(f.size), date, time, 0x20});
  auto writeFailed = [&]() {
    return Status::Input(outName + ": cannot write: " +
                         (w.error().empty() ? LastError() : w.error()));
  };
  if (!w.Begin(infos)) return writeFailed();
  if (first && !w.Add(first->data(), first->size())) return writeFailed();
  std::vector<unsigned char> buf(kChunk);
  for (const SourceFile& f : files) {
    File in;
    const std::string name = PathToUtf8(f.path);
    if (!in.Open(f.path, "rb")) return Status::Input(name + ": cannot open: " + LastError());
    uint64_t left = f.size;
    while (left > 0) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
      size_t got = in.ReadSome(buf.data(), want);
      if (got == 0) return Status::Input(name + ": file shrank while it was being packed");
      if (!w.Add(buf.data(), got)) return writeFailed();
      left -= got;
    }
    unsigned char extra;
    if (in.ReadSome(&extra, 1) != 0)
      return Status::Input(name + ": file grew while it was being packed");
  }
  if (!w.Finish() || !sink.Finish()) return writeFailed();
  return Status::Ok();
}

// Writes through a temporary file next to out; out appears only when
// everything succeeded, and a failure leaves any earlier out untouched. Only
// a regular file (or nothing) may stand at out; the temporary file is made
// exclusively, so neither is ever written through a link.
template <class Fn>
Status WriteAtomically(const fs::path& out, Fn fn, Status (*finish)(const fs::path&) = nullptr) {
  Status s = CheckOutputTarget(out);
  if (!s.ok()) return s;
  fs::path tmp = out;
  tmp += ".klpack-part";
  const std::string outName = PathToUtf8(out);
  std::error_code ec;
  // A part left by an earlier run that stopped: a file or a link, removed
  // itself (never what a link points to).
  fs::file_status st = fs::symlink_status(tmp, ec);
  if (st.type() == fs::file_type::regular || st.type() == fs::file_type::symlink) fs::remove(tmp, ec);
  {
    File f;
    s = CreateNewFile(tmp, &f);
    if (!s.ok()) return s;
    s = fn(f, outName);
    if (s.ok() && !f.Close()) s = Status::Input(Quote(outName, 200) + ": cannot write: " + LastError());
  }
  if (s.ok() && finish) s = finish(tmp);
  if (s.ok()) s = CheckOutputTarget(out);
  if (s.ok()) {
    fs::rename(tmp, out, ec);
    if (ec) s = Status::Input(Quote(outName, 200) + ": cannot write: " + ec.message());
  }
  if (!s.ok()) fs::remove(tmp, ec);
  return s;
}

// The PE checksum (optional header, e_lfanew + 88) of a whole file, written
// into it: the 16-bit words summed with their carries folded back, the field
// itself counted as zero, plus the file's length.
Status WritePeChecksum(const fs::path& path) {
  File f;
  const std::string name = Quote(PathToUtf8(path), 200);
  if (!f.Open(path, "r+b")) return Status::Input(name + ": cannot open: " + LastError());
  const uint64_t size = f.Size();
  unsigned char head[64];
  if (size < sizeof head || !f.Read(head, sizeof head))
    return Status::Input(name + ": cannot read");
  const uint64_t field = uint64_t{head[60]} | uint64_t{head[61]} << 8 | uint64_t{head[62]} << 16 |
                         uint64_t{head[63]} << 24;
  const uint64_t at = field + 88;
  if (at + 4 > size || size > 0xFFFFFFFFu) return Status::Input(name + ": not a PE executable");
  if (!f.Seek(0)) return Status::Input(name + ": cannot read");
  uint64_t sum = 0, pos = 0;
  std::vector<unsigned char> buf(kChunk);
  while (pos < size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
    if (!f.Read(buf.data(), n)) return Status::Input(name + ": cannot read");
    for (size_t i = 0; i < n; i += 2) {
      const uint64_t p = pos + i;
      uint32_t word = buf[i] | (i + 1 < n ? uint32_t{buf[i + 1]} << 8 : 0);
      if (p + 1 >= at && p < at + 4) word = 0;  // the checksum field (at is even)
      sum += word;
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    pos += n;
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  const uint32_t checksum = static_cast<uint32_t>(sum + size);
  const unsigned char le[4] = {static_cast<unsigned char>(checksum), static_cast<unsigned char>(checksum >> 8),
                               static_cast<unsigned char>(checksum >> 16), static_cast<unsigned char>(checksum >> 24)};
  if (!f.Seek(at) || !f.Write(le, 4) || !f.Close())
    return Status::Input(name + ": cannot write: " + LastError());
  return Status::Ok();
}

constexpr int kMaxFolderDepth = 64;
constexpr size_t kMaxListedNames = 12;

// Walks dir (cabinet names under prefix) without following links to
// folders. Every listing error, and every entry that is neither a file, a
// link to a file nor a folder, stops the walk with a message naming it.
Status Walk(const fs::path& dir, const std::string& prefix, int depth,
            std::vector<SourceFile>* out) {
  if (depth > kMaxFolderDepth)
    return Status::Input(Quote(PathToUtf8(dir), 200) + ": folders nested deeper than " +
                         std::to_string(kMaxFolderDepth) + " levels");
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return Status::Input(Quote(PathToUtf8(dir), 200) + ": cannot list: " + ec.message());
  for (; it != fs::directory_iterator();) {
    const fs::path p = it->path();
    const std::string where = Quote(PathToUtf8(p), 200);
    std::string part = PathToUtf8(p.filename());
    if (!IsValidUtf8(part)) return Status::Input(where + ": name is not UTF-8");
    if (part.find('\\') != std::string::npos)
      return Status::Input(where + ": name contains a backslash");
    const std::string name = prefix.empty() ? part : prefix + "\\" + part;
    fs::file_status st = it->symlink_status(ec);
    if (ec) return Status::Input(where + ": " + ec.message());
    if (st.type() == fs::file_type::symlink) {
      fs::file_status target = fs::status(p, ec);
      if (ec || target.type() == fs::file_type::not_found)
        return Status::Input(where + ": a link whose target cannot be reached");
      if (target.type() == fs::file_type::directory)
        return Status::Input(where + ": a link to a folder (klpack does not follow links to folders)");
      st = target;
    }
    if (st.type() == fs::file_type::directory) {
      Status s = Walk(p, name, depth + 1, out);
      if (!s.ok()) return s;
    } else if (st.type() == fs::file_type::regular) {
      SourceFile f;
      f.path = p;
      f.name = name;
      f.size = fs::file_size(p, ec);
      if (ec) return Status::Input(where + ": " + ec.message());
      if (name.size() > 255) return Status::Input(where + ": name longer than 255 bytes");
      if (f.size > 0x7FFF0000u) return Status::Input(where + ": file too large");
      out->push_back(std::move(f));
      if (out->size() > 65000) return Status::Input(where + ": too many files for one cabinet");
    } else {
      return Status::Input(where + ": neither a file nor a folder (a device, FIFO or socket)");
    }
    it.increment(ec);
    if (ec) return Status::Input(Quote(PathToUtf8(dir), 200) + ": cannot list: " + ec.message());
  }
  return Status::Ok();
}

// The names the setup would refuse (the extractor's rule) and names that
// are one file on Windows (letter case), all listed in one message.
Status CheckNames(const std::string& folderName, const std::vector<SourceFile>& files,
                  const std::vector<std::string>& reserved) {
  std::vector<std::string> bad;
  std::map<kl::string16, std::string> seenFiles, seenFolders;
  for (const std::string& r : reserved) seenFiles[kl::FoldCase(kl::FromUtf8(r))] = r;
  for (const SourceFile& f : files) {
    const kl::string16 wide = kl::FromUtf8(f.name);
    kl::NameProblem p = kl::CheckRelativePath(wide);
    if (p != kl::NameProblem::None) {
      bad.push_back(Quote(f.name) + " (" + kl::DescribeNameProblem(p) + ")");
      continue;
    }
    const kl::string16 key = kl::FoldCase(wide);
    auto clash = seenFiles.find(key);
    if (clash != seenFiles.end()) {
      const bool ours = std::find(reserved.begin(), reserved.end(), clash->second) != reserved.end();
      bad.push_back(Quote(f.name) + (ours ? " (klpack writes " + Quote(clash->second) + " itself)"
                                          : " (the same name as " + Quote(clash->second) +
                                                " on Windows)"));
      continue;
    }
    seenFiles[key] = f.name;
    for (size_t cut = wide.find(u'\\'); cut != kl::string16::npos; cut = wide.find(u'\\', cut + 1))
      seenFolders.emplace(kl::FoldCase(wide.substr(0, cut)), kl::ToUtf8(wide.substr(0, cut)));
  }
  // A file named like another file's folder.
  for (const SourceFile& f : files) {
    auto it = seenFolders.find(kl::FoldCase(kl::FromUtf8(f.name)));
    if (it != seenFolders.end())
      bad.push_back(Quote(f.name) + " (a file where " + Quote(it->second) + " is a folder)");
  }
  if (bad.empty()) return Status::Ok();
  std::string m = Quote(folderName, 200) + ": " + std::to_string(bad.size()) +
                  (bad.size() == 1 ? " name" : " names") + " the setup cannot extract: ";
  for (size_t i = 0; i < bad.size() && i < kMaxListedNames; ++i) m += (i ? ", " : "") + bad[i];
  if (bad.size() > kMaxListedNames)
    m += " and " + std::to_string(bad.size() - kMaxListedNames) + " more";
  return Status::Input(m);
}

}  // namespace

Status CollectFolder(const fs::path& folder, std::vector<SourceFile>* out,
                     const std::vector<std::string>& reserved) {
  out->clear();
  const std::string folderName = PathToUtf8(folder);
  std::error_code ec;
  fs::file_status st = fs::status(folder, ec);
  if (st.type() == fs::file_type::not_found) return Status::Input(Quote(folderName, 200) + ": no such folder");
  if (st.type() != fs::file_type::directory) return Status::Input(Quote(folderName, 200) + ": not a folder");
  Status s = Walk(folder, "", 0, out);
  if (!s.ok()) return s;
  std::sort(out->begin(), out->end(),
            [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  return CheckNames(folderName, *out, reserved);
}

Status LoadProduct(const fs::path& manifestPath, const fs::path& folder, Manifest* manifest,
                   std::vector<SourceFile>* files) {
  Status s = LoadManifest(manifestPath, manifest);
  if (!s.ok()) return s;
  return CollectFolder(folder, files, {"InstallInfo.kif"});
}

Status BuildSetup(const fs::path& manifestPath, const fs::path& folder, const fs::path& stubPath,
                  const fs::path& out, const BuildOptions& opt) {
  Manifest m;
  std::vector<SourceFile> files;
  Status s = LoadProduct(manifestPath, folder, &m, &files);
  if (!s.ok()) return s;
  std::vector<unsigned char> stub;
  s = ReadWholeFile(stubPath, &stub, kMaxStubBytes);
  if (!s.ok()) return s;
  const std::string stubName = PathToUtf8(stubPath);
  PeLayout pe{};
  if (!ReadPeLayout(stub.data(), stub.size(), &pe))
    return Status::Input(stubName + ": not a PE executable");
  if (pe.loaderFlags != 0)
    return Status::Input(stubName + ": already carries a package (LoaderFlags is not 0)");
  if (stub.size() > 0xFFFFFFF0u) return Status::Input(stubName + ": too large");
  // The key goes into the program part, before the package is appended and
  // before any signature is made over it.
  if (opt.updateKey && !(s = WriteKeySlot(&stub, stubName, opt.updateKey)).ok()) return s;
  const uint32_t e = static_cast<uint32_t>(stub.size());
  if (!WritePackageOffset(stub.data(), stub.size(), e))
    return Status::Input(stubName + ": not a PE executable");

  BlowfishContext packageKey;
  const BlowfishContext* key = opt.key;
  if (!key) {
    BlowfishSetKey(&packageKey, kPackageKeyLength);
    key = &packageKey;
  }
  std::vector<unsigned char> kif = HeaderBytes(m.header);
  uint16_t setId = m.haveSetId ? m.setId : DeriveSetId(kif, files);
  // A stub that carries a PE checksum gets the one of the whole setup (the
  // key and the package changed its bytes); one without keeps none.
  const bool checksummed = pe.lfanew + 92 <= stub.size() && (stub[pe.lfanew + 88] | stub[pe.lfanew + 89] |
                                                             stub[pe.lfanew + 90] | stub[pe.lfanew + 91]);
  return WriteAtomically(
      out,
      [&](File& f, const std::string& outName) {
        if (!f.Write(stub.data(), stub.size()))
          return Status::Input(outName + ": cannot write: " + LastError());
        return WriteCabinet(f, e, key, setId, m.date, m.time, "InstallInfo.kif", &kif, files,
                            outName);
      },
      checksummed ? &WritePeChecksum : nullptr);
}

Status BuildPlainCab(const fs::path& folder, const fs::path& out) {
  std::vector<SourceFile> files;
  Status s = CollectFolder(folder, &files);
  if (!s.ok()) return s;
  if (files.empty()) return Status::Input(Quote(PathToUtf8(folder), 200) + ": no files to pack");
  uint16_t setId = DeriveSetId({}, files);
  return WriteAtomically(out, [&](File& f, const std::string& outName) {
    return WriteCabinet(f, 0, nullptr, setId, 0x40E6, 0, "", nullptr, files, outName);
  });
}

Status BuildKsc(const std::vector<KscRecord>& records, std::vector<unsigned char>* out) {
  if (records.empty()) return Status::Usage("ksc: at least one --record is needed");
  if (records.size() > 255) return Status::Input("ksc: at most 255 records");
  const size_t table = 4 + 4 * records.size();
  out->assign(table + kKscRecordSize * records.size(), 0);
  unsigned char* p = out->data();
  p[0] = static_cast<unsigned char>(records.size());
  // fileName: the value names a driver file in the install folder, so it
  // must be one plain file name (no path).
  auto put = [](unsigned char* at, size_t bytes, const std::string& text, const char* what,
                bool fileName, Status* err) {
    if (!IsValidUtf8(text)) {
      *err = Status::Input(std::string("ksc: ") + what + " is not valid UTF-8");
      return;
    }
    if (text.find('\0') != std::string::npos) {
      *err = Status::Input(std::string("ksc: ") + what + " holds a NUL byte");
      return;
    }
    kl::string16 v = kl::FromUtf8(text);
    if (v.size() > bytes / 2 - 1) {
      *err = Status::Input(std::string("ksc: ") + what + " " + Quote(text) + " is longer than " +
                           std::to_string(bytes / 2 - 1) + " characters");
      return;
    }
    kl::NameProblem p = fileName && !v.empty() ? kl::CheckFileName(v) : kl::NameProblem::None;
    if (p != kl::NameProblem::None) {
      *err = Status::Input(std::string("ksc: ") + what + " " + Quote(text) +
                           " must be a plain file name: " + kl::DescribeNameProblem(p));
      return;
    }
    for (size_t i = 0; i < v.size(); ++i) {
      at[2 * i] = static_cast<unsigned char>(v[i]);
      at[2 * i + 1] = static_cast<unsigned char>(static_cast<uint16_t>(v[i]) >> 8);
    }
  };
  for (size_t i = 0; i < records.size(); ++i) {
    const size_t off = table + kKscRecordSize * i;
    for (int k = 0; k < 4; ++k) p[4 + 4 * i + k] = static_cast<unsigned char>(off >> (8 * k));
    unsigned char* r = p + off;
    const KscRecord& rec = records[i];
    if (rec.name.empty()) return Status::Usage("ksc: --record needs a name");
    Status err;
    put(r + kKscNameOffset, 80, rec.name, "record name", false, &err);
    if (err.ok()) put(r + kKscCodeTableOffset, 80, rec.codeTable, "--code-table", true, &err);
    if (err.ok()) put(r + kKscMainOffset, 80, rec.mainDriver, "--main", true, &err);
    if (err.ok()) put(r + kKscSkinOffset, 80, rec.skin, "--skin", true, &err);
    if (!err.ok()) return err;
  }
  return Status::Ok();
}

Status WriteKsc(const std::vector<KscRecord>& records, const fs::path& out) {
  std::vector<unsigned char> bytes;
  Status s = BuildKsc(records, &bytes);
  if (!s.ok()) return s;
  return WriteAtomically(out, [&](File& f, const std::string& outName) {
    if (!f.Write(bytes.data(), bytes.size()))
      return Status::Input(outName + ": cannot write: " + LastError());
    return Status::Ok();
  });
}

}  // namespace klpack
