// Reading packages: locating the package in a setup executable, the CRYP
// input layer, listing, extraction and the inspect report.
#include "reader.h"
#include "key_slot.h"

#include <cstdio>
#include <cstring>

#include "base/keyname.h"
#include "package/cryp_layer.h"
#include "package/pe_layout.h"

namespace klpack {
namespace {

constexpr uint64_t kMaxSetupBytes = 1u << 30;  // a setup the setup program could map

class FileInput : public Input {
 public:
  File file;
  uint64_t offset = 0;

 protected:
  bool RawRead(uint64_t pos, unsigned char* out, size_t n) override {
    return file.Seek(offset + pos) && file.Read(out, n);
  }
};

class MemoryInput : public Input {
 public:
  const std::vector<unsigned char>* bytes = nullptr;

 protected:
  bool RawRead(uint64_t pos, unsigned char* out, size_t n) override {
    if (pos > bytes->size() || bytes->size() - pos < n) return false;
    std::memcpy(out, bytes->data() + pos, n);
    return true;
  }
};

std::string DosTime(uint16_t date, uint16_t time) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", 1980 + (date >> 9),
                (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return buf;
}

// The folder levels and file name of a cabinet name, when the setup would
// extract it (the extractor's own rule); else the reason.
kl::NameProblem SplitCabinetName(const std::string& name, std::vector<std::string>* parts) {
  kl::NameProblem p = kl::CheckRelativePath(kl::FromUtf8(name));
  if (p != kl::NameProblem::None) return p;
  parts->clear();
  size_t start = 0;
  for (;;) {
    size_t end = name.find_first_of("\\/", start);
    parts->push_back(name.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return kl::NameProblem::None;
}

}  // namespace

uint32_t Input::ReadAt(int64_t pos, unsigned char* out, uint32_t count,
                       std::vector<unsigned char>& work) {
  if (count == 0) return 0;
  if (pos < 0 || static_cast<uint64_t>(pos) + count > size_) return 0;
  if (!enciphered_) return RawRead(static_cast<uint64_t>(pos), out, count) ? count : 0;
  CrypReadPlan plan = PlanCrypRead(pos, count);
  if (static_cast<uint64_t>(plan.alignedStart) + plan.length > size_) return 0;
  if (work.size() < plan.length) work.resize(plan.length);
  if (!RawRead(static_cast<uint64_t>(plan.alignedStart), work.data(), plan.length)) return 0;
  DecipherCrypSpan(&key_, work.data(), plan);
  if (plan.alignedStart == 0) std::memcpy(work.data(), "MSCF", 4);
  std::memcpy(out, work.data() + plan.skip, count);
  return count;
}

Status OpenInput(const CabSource& src, std::unique_ptr<Input>* out) {
  std::unique_ptr<Input> in;
  if (src.memory) {
    auto m = std::make_unique<MemoryInput>();
    m->bytes = src.memory;
    m->size_ = src.offset <= src.memory->size() ? src.memory->size() - src.offset : 0;
    if (src.offset) {
      // Memory sources start at their first byte; an offset means a copy.
      return Status::Usage("memory sources take no offset");
    }
    m->name_ = "(memory)";
    in = std::move(m);
  } else {
    auto f = std::make_unique<FileInput>();
    f->name_ = Quote(PathToUtf8(src.path), 200);
    std::string problem = InputFileProblem(src.path);
    if (!problem.empty()) return Status::Input(f->name_ + ": " + problem);
    if (!f->file.Open(src.path, "rb"))
      return Status::Input(f->name_ + ": cannot open: " + LastError());
    uint64_t total = f->file.Size();
    if (src.offset > total) return Status::Input(f->name_ + ": package offset beyond the end");
    f->offset = src.offset;
    f->size_ = std::min<uint64_t>(total - src.offset, src.length);
    in = std::move(f);
  }
  unsigned char sig[4];
  if (in->size_ < 4 || !in->RawRead(0, sig, 4))
    return Status::Input(in->name_ + ": too short for a cabinet");
  switch (ReadCabSignature(sig, 4)) {
    case CabSignature::Plain: in->enciphered_ = false; break;
    case CabSignature::Cryp: in->enciphered_ = true; break;
    default:
      return Status::Input(in->name_ + ": not a cabinet or package (neither \"MSCF\" nor \"CRYP\")");
  }
  if (in->enciphered_) {
    if (src.key) in->key_ = *src.key;
    else BlowfishSetKey(&in->key_, kPackageKeyLength);
  }
  *out = std::move(in);
  return Status::Ok();
}

Status ReadCabinet(const CabSource& src, CabListing* listing, const FileSink& sink) {
  std::unique_ptr<Input> in;
  Status s = OpenInput(src, &in);
  if (!s.ok()) return s;
  CabListing l;
  l.enciphered = in->enciphered();
  l.containerSize = in->Size();
  return ReadOpenedCabinet(src, *in, l, listing, sink);
}

Status ListCabinet(const CabSource& src, CabListing* out) {
  return ReadCabinet(src, out, FileSink{});
}

Status ExtractCabinetToMemory(const CabSource& src, CabListing* listing,
                              std::vector<MemoryFile>* files) {
  files->clear();
  FileSink sink;
  sink.begin = [&](const CabFileInfo& info, File**, std::vector<unsigned char>** mem) {
    files->push_back(MemoryFile{info, {}});
    files->back().data.reserve(std::min<uint32_t>(info.size, 1u << 20));
    *mem = &files->back().data;
    return Status::Ok();
  };
  sink.end = [](const CabFileInfo&) { return Status::Ok(); };
  sink.failed = [](const CabFileInfo&) {};
  return ReadCabinet(src, listing, sink);
}

Status ExtractCabinet(const CabSource& src, const fs::path& dir, CabListing* listing) {
  File current;
  fs::path currentPath;
  OutputTree tree(dir);
  FileSink sink;
  sink.begin = [&](const CabFileInfo& info, File** file, std::vector<unsigned char>**) {
    std::vector<std::string> parts;
    kl::NameProblem p = SplitCabinetName(info.name, &parts);
    if (p != kl::NameProblem::None)
      return Status::Input("the file name " + Quote(info.name) + " cannot be extracted: " +
                           kl::DescribeNameProblem(p) + " (the setup refuses this package)");
    Status s = tree.Create(parts, &current, &currentPath);
    if (!s.ok()) return s;
    *file = &current;
    return Status::Ok();
  };
  sink.end = [&](const CabFileInfo&) {
    if (!current.Close())
      return Status::Input(Quote(PathToUtf8(currentPath), 200) + ": cannot write: " + LastError());
    return Status::Ok();
  };
  sink.failed = [&](const CabFileInfo&) { current.Close(); };
  Status s = ReadCabinet(src, listing, sink);
  if (!s.ok()) {
    // Nothing of a failed extraction stays behind.
    current.Close();
    tree.RemoveMade();
  }
  return s;
}

Status LocatePackage(const fs::path& file, CabSource* src, uint32_t* e) {
  const std::string name = Quote(PathToUtf8(file), 200);
  std::string problem = InputFileProblem(file);
  if (!problem.empty()) return Status::Input(name + ": " + problem);
  File f;
  if (!f.Open(file, "rb")) return Status::Input(name + ": cannot open: " + LastError());
  uint64_t size = f.Size();
  std::vector<unsigned char> head(static_cast<size_t>(std::min<uint64_t>(size, 1 << 16)));
  if (!f.Read(head.data(), head.size())) return Status::Input(name + ": cannot read");
  src->path = file;
  src->memory = nullptr;
  *e = 0;
  if (head.size() >= 2 && head[0] == 'M' && head[1] == 'Z') {
    PeLayout pe{};
    if (!ReadPeLayout(head.data(), head.size(), &pe))
      return Status::Input(name + ": not a PE executable");
    if (pe.loaderFlags == 0) return Status::Input(name + ": no package (LoaderFlags is 0)");
    if (pe.loaderFlags >= size)
      return Status::Input(name + ": no package (LoaderFlags points past the end of the file)");
    // Where the package ends is the setup's own rule, read from the whole
    // file as the setup maps it.
    std::vector<unsigned char> whole;
    Status s = ReadWholeFile(file, &whole, kMaxSetupBytes);
    if (!s.ok()) return s;
    PackageExtent extent{};
    if (!ReadPackageExtent(whole.data(), whole.size(), &extent))
      return Status::Input(name + ": no package (its certificate table is damaged)");
    src->offset = extent.offset;
    src->length = extent.size;
    src->certificateBytes = extent.isSigned ? extent.certificateSize : 0;
    *e = extent.offset;
    return Status::Ok();
  }
  if (ReadCabSignature(head.data(), head.size()) == CabSignature::Other)
    return Status::Input(name + ": not a PE executable, package or cabinet");
  src->offset = 0;
  return Status::Ok();
}

Status Inspect(const fs::path& file, std::string* report) {
  CabSource src;
  uint32_t e = 0;
  Status s = LocatePackage(file, &src, &e);
  if (!s.ok()) return s;
  CabListing l;
  std::vector<MemoryFile> kif;
  // The directory, and InstallInfo.kif's bytes when the package has one.
  FileSink sink;
  sink.begin = [&](const CabFileInfo& info, File**, std::vector<unsigned char>** mem) {
    if (info.name == "InstallInfo.kif" && kif.empty()) {
      kif.push_back(MemoryFile{info, {}});
      *mem = &kif.back().data;
    }
    return Status::Ok();
  };
  sink.end = [](const CabFileInfo&) { return Status::Ok(); };
  sink.failed = [](const CabFileInfo&) {};
  // A package the setup refuses is still described as far as it was read,
  // with the reason as the result.
  const Status verdict = ReadCabinet(src, &l, sink);
  if (!verdict.ok() && l.files.empty()) return verdict;
  std::string r;
  r += "file: " + Escape(PathToUtf8(file)) + "\n";
  if (e) r += "executable part (E, LoaderFlags): " + std::to_string(e) + " bytes\n";
  if (e)
    r += src.certificateBytes
             ? "signed: yes, a certificate table of " + std::to_string(src.certificateBytes) +
                   " bytes follows the package (check it with osslsigncode verify)\n"
             : std::string("signed: no\n");
  if (e) {
    // The publisher key in the program part's key slot (what the setup and
    // the unstall.exe split off it verify update lists with).
    std::vector<unsigned char> whole;
    bool hasSlot = false;
    std::string key;
    if (ReadWholeFile(file, &whole, kMaxSetupBytes).ok() && e <= whole.size())
      key = ReadKeySlot(whole.data(), e, &hasSlot);
    r += "update key: " + (key.empty() ? std::string("none") : key) +
         (hasSlot ? "" : " (the program has no key slot)") + "\n";
  }
  r += "package: " + std::to_string(l.containerSize) + " bytes, " +
       (l.enciphered ? "enciphered (\"CRYP\")" : "plain cabinet (\"MSCF\")") + "\n";
  r += "cabinet: " + std::to_string(l.cabinetLength) + " bytes, set " + std::to_string(l.setId) +
       ", " + std::to_string(l.files.size()) + " files\n";
  PackageHeader h;
  if (!kif.empty() && HeaderFromBytes(kif[0].data, &h)) {
    r += "InstallInfo.kif (" + std::to_string(kif[0].data.size()) + " bytes):\n";
    for (const FieldInfo& f : HeaderFields()) {
      auto* v = reinterpret_cast<const wchar16*>(reinterpret_cast<const unsigned char*>(&h) +
                                                 f.offset);
      r += std::string("  ") + f.name + " = " +
           Escape(kl::ToUtf8(kl::string16_view(v, kl::StrLen(v)))) + "\n";
    }
  }
  r += "files:\n";
  for (const CabFileInfo& f : l.files) {
    char line[64];
    std::snprintf(line, sizeof line, "  %10u  %s  0x%02X  ", f.size, DosTime(f.date, f.time).c_str(),
                  f.attribs);
    r += line + Escape(f.name) + "\n";
  }
  *report = r;
  return verdict;
}

Status Extract(const fs::path& file, const fs::path& dir, std::string* report) {
  CabSource src;
  uint32_t e = 0;
  Status s = LocatePackage(file, &src, &e);
  if (!s.ok()) return s;
  if (report && src.certificateBytes)
    *report += "signed setup: its certificate table (" + std::to_string(src.certificateBytes) +
               " bytes) is not part of the package\n";
  std::error_code ec;
  const bool existed = fs::exists(fs::symlink_status(dir, ec));
  fs::create_directories(dir, ec);
  if (ec) return Status::Input(Quote(PathToUtf8(dir), 200) + ": cannot create: " + ec.message());
  if (!fs::is_directory(dir, ec)) return Status::Input(Quote(PathToUtf8(dir), 200) + ": not a folder");
  s = ExtractCabinet(src, dir, nullptr);
  if (!s.ok() && !existed) fs::remove(dir, ec);  // made for this run, and empty again
  return s;
}

}  // namespace klpack
