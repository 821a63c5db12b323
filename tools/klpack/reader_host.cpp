// Cabinet reading on the host: the product's own decoding engine over the
// CRYP read layer, with the extractor's name rule, so that inspect and
// extract give the setup program's verdict on a package. (The tests compare
// it with libmspack as an independent reader.)
#include <cstring>

#include "base/keyname.h"
#include "base/le.h"
#include "klpack.h"
#include "package/cab_decoder.h"
#include "reader.h"
#include "util.h"

namespace klpack {
namespace {

// Code page 1252 for names not flagged UTF-8, as the extractor reads them.
std::string Cp1252ToUtf8(const char* s) {
  static const uint16_t k80[32] = {
      0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  kl::string16 w;
  for (; *s; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    w.push_back(static_cast<kl::wchar16>(c >= 0x80 && c < 0xA0 ? k80[c - 0x80] : c));
  }
  return kl::ToUtf8(w);
}

class EngineRun : public cab::DecoderHost {
 public:
  EngineRun(Input& in, const FileSink* sink) : in_(in), sink_(sink) {}

  intptr_t Open(const char*) override {
    pos_ = 0;
    return 3;
  }
  int64_t Read(intptr_t, void* buffer, uint32_t count) override {
    const uint64_t size = in_.Size();
    if (pos_ >= size || count == 0) return 0;
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, size - pos_));
    if (in_.ReadAt(static_cast<int64_t>(pos_), static_cast<unsigned char*>(buffer), n, work_) != n)
      return -1;
    pos_ += n;
    return n;
  }
  int64_t Seek(intptr_t, int64_t distance, int origin) override {
    const int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(pos_)
                                                       : static_cast<int64_t>(in_.Size());
    if (base + distance < 0) return -1;
    pos_ = static_cast<uint64_t>(base + distance);
    return static_cast<int64_t>(pos_);
  }
  int Close(intptr_t) override { return 0; }
  int64_t Write(intptr_t, const void* data, uint32_t count) override {
    const auto* p = static_cast<const unsigned char*>(data);
    if (memory_) memory_->insert(memory_->end(), p, p + count);
    if (file_ && !file_->Write(p, count)) {
      status_ = Status::Input(Quote(current_.name) + ": cannot write: " + LastError());
      return -1;
    }
    return count;
  }
  intptr_t OnCabinetInfo(const cab::CabinetHeaderInfo& c) override {
    setId_ = c.setId;
    return 0;
  }
  intptr_t OnCopyFile(const cab::DecodedFile& f) override {
    CabFileInfo info;
    info.name = (f.attribs & 0x80) ? std::string(f.name) : Cp1252ToUtf8(f.name);
    for (char& ch : info.name)
      if (ch == '/') ch = '\\';
    info.size = f.size;
    info.date = f.date;
    info.time = f.time;
    info.attribs = f.attribs;
    files_.push_back(info);
    // The extractor refuses the whole package at the first name it would
    // not write.
    kl::NameProblem p = kl::CheckRelativePath(kl::FromUtf8(info.name));
    if (p != kl::NameProblem::None && refused_.empty())
      refused_ = "the file name " + Quote(info.name) + " cannot be extracted: " +
                 kl::DescribeNameProblem(p) + " (the setup refuses this package)";
    if (!extracting_ || !refused_.empty()) return 0;
    current_ = info;
    file_ = nullptr;
    memory_ = nullptr;
    status_ = sink_->begin(info, &file_, &memory_);
    if (!status_.ok()) return -1;
    return file_ || memory_ ? 7 : 0;
  }
  intptr_t OnCloseFile(const cab::DecodedFile&, intptr_t) override {
    file_ = nullptr;
    memory_ = nullptr;
    status_ = sink_->end(current_);
    return status_.ok() ? 1 : -1;
  }

  Input& in_;
  const FileSink* sink_;
  std::vector<unsigned char> work_;
  uint64_t pos_ = 0;
  bool extracting_ = false;
  std::vector<CabFileInfo> files_;
  std::string refused_;
  uint16_t setId_ = 0;
  CabFileInfo current_;
  File* file_ = nullptr;
  std::vector<unsigned char>* memory_ = nullptr;
  Status status_;
};

}  // namespace

Status ReadOpenedCabinet(const CabSource&, Input& in, CabListing l, CabListing* listing,
                         const FileSink& sink) {
  const std::string what = in.Name();
  unsigned char head[36];
  std::vector<unsigned char> work;
  if (in.Size() < sizeof head || in.ReadAt(0, head, sizeof head, work) != sizeof head)
    return Status::Input(what + ": corrupt cabinet (too short)");
  l.cabinetLength = kl::Load32(head + 8);
  if (l.enciphered && in.Size() % 8 != 0)
    return Status::Input(what + ": package of " + std::to_string(in.Size()) +
                         " bytes, not a multiple of 8 (truncated or corrupt package)");

  // The directory first (every file skipped), then, when asked, the files.
  for (int pass = 0; pass < (sink ? 2 : 1); ++pass) {
    EngineRun run(in, &sink);
    run.extracting_ = pass == 1;
    cab::CabDecoder decoder;
    cab::DecodeResult r = decoder.Decode(run, "cabinet", "");
    if (r == cab::DecodeResult::Unsupported)
      return Status::Input(what + ": not one cabinet the setup reads (" + decoder.detail() + ")");
    if (r == cab::DecodeResult::Failed) {
      if (!run.status_.ok()) {
        if (sink.failed) sink.failed(run.current_);
        return run.status_;
      }
      if (pass == 1 && sink.failed) sink.failed(run.current_);
      std::string m = what + ": corrupt cabinet (" + decoder.detail() + ")";
      if (l.enciphered) m += " (wrong key or corrupt package)";
      return Status::Input(m);
    }
    if (pass == 0) {
      l.setId = run.setId_;
      l.files = run.files_;
      if (listing) *listing = l;
      if (!run.refused_.empty()) return Status::Input(what + ": " + run.refused_);
    }
  }
  return Status::Ok();
}

}  // namespace klpack
