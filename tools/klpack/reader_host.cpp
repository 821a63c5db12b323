// Cabinet reading on the host: libmspack's cabinet decompressor over an I/O
// layer that deciphers "CRYP" containers on the fly (the same read rule as
// the product's extractor: bytes 0..55 plain, "MSCF" handed out for "CRYP",
// whole 8-byte blocks deciphered from 56 on).
#include <mspack.h>

#include <cstring>
#include <memory>

#include "klpack.h"
#include "package/cryp_layer.h"
#include "reader.h"
#include "util.h"

namespace klpack {
namespace {

const char kInputName[] = "\x01" "cabinet";
const char kOutputName[] = "\x01" "output";

struct Output {
  File* file = nullptr;
  std::vector<unsigned char>* memory = nullptr;
};

struct System;

struct Handle {
  System* sys;
  bool input;
  int64_t pos;
};

struct System {
  mspack_system base;
  Input* in;
  Output out;
  std::vector<unsigned char> work;
};

System* SysOf(mspack_system* s) { return reinterpret_cast<System*>(s); }
Handle* H(mspack_file* f) { return reinterpret_cast<Handle*>(f); }

mspack_file* SysOpen(mspack_system* self, const char* name, int mode) {
  System* sys = SysOf(self);
  bool input = std::strcmp(name, kInputName) == 0 && mode == MSPACK_SYS_OPEN_READ;
  bool output = std::strcmp(name, kOutputName) == 0 && mode == MSPACK_SYS_OPEN_WRITE;
  if (!input && !output) return nullptr;
  return reinterpret_cast<mspack_file*>(new Handle{sys, input, 0});
}

void SysClose(mspack_file* f) { delete H(f); }

int SysRead(mspack_file* f, void* buffer, int bytes) {
  Handle* h = H(f);
  if (!h->input || bytes < 0) return -1;
  Input& in = *h->sys->in;
  const int64_t size = static_cast<int64_t>(in.Size());
  if (h->pos >= size || bytes == 0) return 0;
  uint32_t count = static_cast<uint32_t>(std::min<int64_t>(bytes, size - h->pos));
  if (in.ReadAt(h->pos, static_cast<unsigned char*>(buffer), count, h->sys->work) != count)
    return -1;
  h->pos += count;
  return static_cast<int>(count);
}

int SysWrite(mspack_file* f, void* buffer, int bytes) {
  Handle* h = H(f);
  if (h->input || bytes < 0) return -1;
  Output& out = h->sys->out;
  const auto* p = static_cast<const unsigned char*>(buffer);
  if (out.memory) out.memory->insert(out.memory->end(), p, p + bytes);
  if (out.file && !out.file->Write(p, static_cast<size_t>(bytes))) return -1;
  return bytes;
}

int SysSeek(mspack_file* f, off_t offset, int mode) {
  Handle* h = H(f);
  if (!h->input) return -1;
  const int64_t size = static_cast<int64_t>(h->sys->in->Size());
  int64_t base = mode == MSPACK_SYS_SEEK_START ? 0
                 : mode == MSPACK_SYS_SEEK_CUR ? h->pos
                 : mode == MSPACK_SYS_SEEK_END ? size
                                               : -1;
  if (base < 0) return -1;
  int64_t to = base + static_cast<int64_t>(offset);
  if (to < 0 || to > size) return -1;
  h->pos = to;
  return 0;
}

off_t SysTell(mspack_file* f) { return static_cast<off_t>(H(f)->pos); }

void SysMessage(mspack_file*, const char*, ...) {}

void* SysAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void SysFree(void* p) { std::free(p); }
void SysCopy(void* src, void* dst, size_t bytes) { std::memmove(dst, src, bytes); }

const char* MspackError(int code) {
  switch (code) {
    case MSPACK_ERR_OPEN: return "cannot open";
    case MSPACK_ERR_READ: return "read error (truncated or not a multiple of 8)";
    case MSPACK_ERR_WRITE: return "write error";
    case MSPACK_ERR_SEEK: return "seek error";
    case MSPACK_ERR_NOMEMORY: return "out of memory";
    case MSPACK_ERR_SIGNATURE: return "bad signature";
    case MSPACK_ERR_DATAFORMAT: return "bad data format";
    case MSPACK_ERR_CHECKSUM: return "checksum mismatch";
    case MSPACK_ERR_DECRUNCH: return "decompression failed";
    default: return "error";
  }
}

std::string Latin1ToUtf8(const char* s) {
  std::string out;
  for (; *s; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

struct Decompressor {
  explicit Decompressor(System* sys)
      : d(mspack_create_cab_decompressor(&sys->base)) {}
  ~Decompressor() {
    if (d && cab) d->close(d, cab);
    if (d) mspack_destroy_cab_decompressor(d);
  }
  mscab_decompressor* d;
  mscabd_cabinet* cab = nullptr;
};

}  // namespace

// Reads the cabinet and hands each file to sink (which may skip it).
Status ReadOpenedCabinet(const CabSource&, Input& in, CabListing l, CabListing* listing,
                         const FileSink& sink) {
  const std::string what = in.Name();
  System sys{};
  sys.base = {SysOpen, SysClose, SysRead, SysWrite, SysSeek, SysTell, SysMessage,
              SysAlloc, SysFree, SysCopy, nullptr};
  sys.in = &in;
  Decompressor dc(&sys);
  if (!dc.d) return Status::Input(what + ": cannot start the cabinet reader");
  dc.cab = dc.d->open(dc.d, kInputName);
  if (!dc.cab) {
    int err = dc.d->last_error(dc.d);
    if (l.enciphered)
      return Status::Input(what + ": cannot read the package (wrong key or corrupt: " +
                           MspackError(err) + ")");
    return Status::Input(what + ": corrupt cabinet (" + std::string(MspackError(err)) + ")");
  }
  l.cabinetLength = static_cast<uint32_t>(dc.cab->length);
  l.setId = dc.cab->set_id;
  std::vector<mscabd_file*> entries;
  for (mscabd_file* f = dc.cab->files; f; f = f->next) {
    CabFileInfo info;
    info.name = (f->attribs & MSCAB_ATTRIB_UTF_NAME) ? std::string(f->filename)
                                                     : Latin1ToUtf8(f->filename);
    info.size = f->length;
    info.attribs = static_cast<uint16_t>(f->attribs);
    info.date = static_cast<uint16_t>(((f->date_y - 1980) << 9) | (f->date_m << 5) | f->date_d);
    info.time = static_cast<uint16_t>((f->time_h << 11) | (f->time_m << 5) | (f->time_s / 2));
    l.files.push_back(info);
    entries.push_back(f);
  }
  if (listing) *listing = l;
  if (!sink) return Status::Ok();
  for (size_t i = 0; i < entries.size(); ++i) {
    File* file = nullptr;
    std::vector<unsigned char>* memory = nullptr;
    Status s = sink.begin(l.files[i], &file, &memory);
    if (!s.ok()) return s;
    if (!file && !memory) continue;
    sys.out = Output{file, memory};
    int rc = dc.d->extract(dc.d, entries[i], kOutputName);
    sys.out = Output{};
    if (rc != MSPACK_ERR_OK) {
      sink.failed(l.files[i]);
      std::string m = what + ": " + l.files[i].name + ": " + MspackError(rc);
      if (l.enciphered && rc != MSPACK_ERR_WRITE) m += " (wrong key or corrupt package)";
      return Status::Input(m);
    }
    s = sink.end(l.files[i]);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

}  // namespace klpack
