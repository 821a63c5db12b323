#include "pe_resources.h"

#include <algorithm>

#include "base/le.h"

namespace klpack {

namespace {

// Entries looked at per directory level: more than any real file has.
constexpr size_t kMaxEntries = 4096;

bool Has(size_t size, size_t off, size_t n) { return off <= size && n <= size - off; }

bool RvaToOffset(const PeResources& r, uint32_t rva, uint32_t size, size_t* out) {
  for (const PeResources::Section& s : r.sections) {
    const uint64_t span = std::max(s.vsize, s.rawSize);
    if (rva < s.va || rva - s.va >= span) continue;
    const uint64_t inSection = rva - s.va;
    if (inSection + size > s.rawSize) return false;  // not backed by file bytes
    const uint64_t off = static_cast<uint64_t>(s.raw) + inSection;
    if (off + size > r.fileSize) return false;
    *out = static_cast<size_t>(off);
    return true;
  }
  return false;
}

// One level: the entry with id `id` (or the first when id < 0).
bool Entry(const PeResources& r, size_t dirOff, long id, uint32_t* target) {
  if (dirOff > r.dirSize || r.dirSize - dirOff < 16) return false;
  const unsigned char* d = r.file + r.dir + dirOff;
  const size_t count = std::min<size_t>(kl::Load16(d + 12) + size_t{kl::Load16(d + 14)}, kMaxEntries);
  for (size_t i = 0; i < count; ++i) {
    const size_t e = dirOff + 16 + 8 * i;
    if (!Has(r.dirSize, e, 8)) return false;
    const uint32_t nameOrId = kl::Load32(r.file + r.dir + e);
    if (id >= 0 && ((nameOrId & 0x80000000u) || nameOrId != static_cast<uint32_t>(id))) continue;
    *target = kl::Load32(r.file + r.dir + e + 4);
    return true;
  }
  return false;
}

}  // namespace

bool OpenPeResources(const unsigned char* b, size_t size, PeResources* out) {
  *out = PeResources{};
  out->file = b;
  out->fileSize = size;
  if (!Has(size, 0, 64) || b[0] != 'M' || b[1] != 'Z') return false;
  const size_t nt = kl::Load32(b + 60);
  if (!Has(size, nt, 24) || kl::Load32(b + nt) != 0x00004550u) return false;
  const size_t sectionCount = kl::Load16(b + nt + 6);
  const size_t optSize = kl::Load16(b + nt + 20);
  const size_t opt = nt + 24;
  if (!Has(size, opt, optSize) || optSize < 2) return false;
  const uint16_t magic = kl::Load16(b + opt);
  const size_t countAt = magic == 0x20b ? 108 : magic == 0x10b ? 92 : 0;
  if (!countAt || optSize < countAt + 4 + 3 * 8) return false;
  if (kl::Load32(b + opt + countAt) < 3) return false;
  const size_t resDirAt = opt + countAt + 4 + 2 * 8;
  const uint32_t resRva = kl::Load32(b + resDirAt);
  const uint32_t resSize = kl::Load32(b + resDirAt + 4);
  const size_t table = opt + optSize;
  if (!Has(size, table, sectionCount * 40)) return false;
  for (size_t i = 0; i < sectionCount; ++i) {
    const unsigned char* s = b + table + 40 * i;
    out->sections.push_back({kl::Load32(s + 12), kl::Load32(s + 8), kl::Load32(s + 20), kl::Load32(s + 16)});
  }
  out->dirSize = resSize;
  return resRva && resSize && RvaToOffset(*out, resRva, resSize, &out->dir);
}

bool FindPeResource(const PeResources& r, uint32_t type, long id, const unsigned char** data,
                    size_t* size) {
  if (!r.dirSize) return false;
  uint32_t t1 = 0, t2 = 0, t3 = 0;
  if (!Entry(r, 0, static_cast<long>(type), &t1) || !(t1 & 0x80000000u)) return false;
  if (!Entry(r, t1 & 0x7FFFFFFFu, id, &t2) || !(t2 & 0x80000000u)) return false;
  if (!Entry(r, t2 & 0x7FFFFFFFu, -1, &t3) || (t3 & 0x80000000u)) return false;
  if (!Has(r.dirSize, t3, 16)) return false;
  const uint32_t dataRva = kl::Load32(r.file + r.dir + t3);
  const uint32_t dataSize = kl::Load32(r.file + r.dir + t3 + 4);
  size_t at = 0;
  if (!dataSize || !RvaToOffset(r, dataRva, dataSize, &at)) return false;
  *data = r.file + at;
  *size = dataSize;
  return true;
}

}  // namespace klpack
