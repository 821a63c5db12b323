// Cabinet reading in the Windows build of klpack: the product's own
// extractor (FDI with the CRYP layer), into its memory target.
#include <windows.h>

#include <cstring>

#include "base/le.h"
#include "package/cabinet_win.h"
#include "reader.h"

namespace klpack {
namespace {

struct ReadRun {
  const FileSink* sink = nullptr;
  bool extracting = false;
  std::vector<CabFileInfo> files;
  CabFileInfo current;
  File* file = nullptr;
  std::vector<unsigned char>* memory = nullptr;
  Status status;
};

int OnFilter(const Cabinet::FileFilterInfo* f, uintptr_t context) {
  ReadRun* run = reinterpret_cast<ReadRun*>(context);
  CabFileInfo info;
  info.name = kl::ToUtf8(kl::string16_view(f->nameInCabinet));
  info.size = f->size;
  info.attribs = f->attributes;
  WORD date = 0, time = 0;
  FileTimeToDosDateTime(&f->time, &date, &time);
  info.date = date;
  info.time = time;
  if (!run->extracting) {
    run->files.push_back(info);
    return 0;
  }
  run->current = info;
  run->file = nullptr;
  run->memory = nullptr;
  if (!run->status.ok()) return 0;
  run->status = run->sink->begin(info, &run->file, &run->memory);
  return run->status.ok() && (run->file || run->memory) ? 1 : 0;
}

void OnDone(const wchar_t*, const Cabinet::MemoryBlock* block, uintptr_t context) {
  ReadRun* run = reinterpret_cast<ReadRun*>(context);
  if (!run->status.ok() || !block) return;
  const size_t n = block->length > 0 ? static_cast<size_t>(block->length) : 0;
  if (run->memory) run->memory->insert(run->memory->end(), block->data, block->data + n);
  if (run->file && !run->file->Write(block->data, n)) {
    run->status = Status::Input(run->current.name + ": cannot write: " + LastError());
    return;
  }
  run->status = run->sink->end(run->current);
  run->file = nullptr;
  run->memory = nullptr;
}

// A temporary copy of the cabinet's bytes (the extractor reads whole files).
class TempCopy {
 public:
  ~TempCopy() {
    if (!path_.empty()) DeleteFileW(path_.c_str());
  }
  Status Make(Input& in) {
    wchar_t dir[MAX_PATH + 1], name[MAX_PATH + 1];
    if (!GetTempPathW(MAX_PATH, dir) || !GetTempFileNameW(dir, L"klp", 0, name))
      return Status::Input("cannot create a temporary file");
    path_ = name;
    File f;
    if (!f.Open(fs::path(path_), "wb")) return Status::Input("cannot create a temporary file");
    std::vector<unsigned char> buf(1 << 16), work;
    // Raw copy: the extractor deciphers by itself.
    for (uint64_t pos = 0; pos < in.Size();) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), in.Size() - pos));
      if (!in.RawCopy(pos, buf.data(), n) || !f.Write(buf.data(), n))
        return Status::Input("cannot write a temporary file");
      pos += n;
    }
    if (!f.Close()) return Status::Input("cannot write a temporary file");
    return Status::Ok();
  }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace

Status ReadOpenedCabinet(const CabSource& src, Input& in, CabListing l, CabListing* listing,
                         const FileSink& sink) {
  const std::string what = in.Name();
  unsigned char head[36];
  std::vector<unsigned char> work;
  if (in.Size() < sizeof head || in.ReadAt(0, head, sizeof head, work) != sizeof head)
    return Status::Input(what + ": corrupt cabinet (too short)");
  l.cabinetLength = kl::Load32(head + 8);
  l.setId = static_cast<uint16_t>(head[32] | head[33] << 8);

  TempCopy copy;
  Status s = copy.Make(in);
  if (!s.ok()) return s;

  ReadRun run;
  run.sink = &sink;
  Cabinet::CExtract x;
  if (l.enciphered) {
    if (src.key) x.Cipher() = *src.key;
    else x.SetPackageKey();
    x.CreateWorkBuffer();
  }
  if (!x.Initialize())
    return Status::Input(what + ": cannot start the cabinet reader (error " +
                         std::to_string(x.LastError().code) + ")");
  x.SetFileFilterHook(OnFilter);
  x.SetFileDoneHook(OnDone);
  x.SetHookContext(reinterpret_cast<uintptr_t>(&run));
  auto fail = [&](const char* stage) {
    const Cabinet::ExtractError& e = x.LastError();
    if (e.code == Cabinet::kErrorCreateOutput && e.systemError == ERROR_INVALID_NAME)
      return Status::Input(what + ": a file name the setup cannot extract" +
                           (run.current.name.empty() ? std::string()
                                                     : " after " + Quote(run.current.name)) +
                           " (the setup refuses this package)");
    if (e.code == Cabinet::kErrorNotSingleCabinet)
      return Status::Input(what + ": not one cabinet the setup reads (a set, or LZX or Quantum)");
    if (e.code == Cabinet::kErrorCabinetLoop)
      return Status::Input(what + ": a cabinet set that names a cabinet twice");
    std::string m = what + ": corrupt cabinet while " + stage + " (FDI error " +
                    std::to_string(x.FdiError().erfOper) + ", code " + std::to_string(e.code) + ")";
    if (l.enciphered) m += " (wrong key or corrupt package)";
    return Status::Input(m);
  };
  // First the directory, then (when asked) the files.
  int ok = x.Extract(copy.path().c_str(), L"MEMORY\\");
  Status result;
  if (!ok) {
    result = fail("listing");
  } else {
    l.files = run.files;
    if (listing) *listing = l;
    if (sink) {
      run.extracting = true;
      ok = x.Extract(copy.path().c_str(), L"MEMORY\\");
      if (!run.status.ok()) result = run.status;
      else if (!ok) result = fail("extracting");
      if (!result.ok() && sink.failed) sink.failed(run.current);
    }
  }
  x.Destroy();
  return result;
}

}  // namespace klpack
