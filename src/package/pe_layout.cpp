#include "package/pe_layout.h"

#include "base/le.h"

namespace {

using kl::Load16;
using kl::Load32;

// True when [offset, offset + width) lies inside a buffer of size bytes
// (written so that nothing can wrap).
bool Fits(uint64_t offset, uint64_t width, size_t size) {
  return offset <= size && width <= size - offset;
}

}  // namespace

bool ReadPeLayout(const unsigned char* data, size_t size, PeLayout* out) {
  if (data == nullptr || out == nullptr) return false;
  if (!Fits(0, 2, size) || data[0] != 'M' || data[1] != 'Z') return false;
  if (!Fits(kPeLfanewOffset, 4, size)) return false;
  const uint32_t lfanew = Load32(data + kPeLfanewOffset);
  // "PE\0\0", the 20-byte file header, then the optional header's magic.
  if (!Fits(lfanew, 4 + 20 + 2, size)) return false;
  const unsigned char* pe = data + lfanew;
  if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0) return false;
  const uint16_t magic = Load16(pe + 24);
  uint32_t flagsAt;
  if (magic == kPeMagic32)
    flagsAt = kLoaderFlagsPe32;
  else if (magic == kPeMagic64)
    flagsAt = kLoaderFlagsPe64;
  else
    return false;
  const uint64_t offset = static_cast<uint64_t>(lfanew) + flagsAt;
  if (!Fits(offset, 4, size)) return false;
  out->lfanew = lfanew;
  out->magic = magic;
  out->loaderFlagsOffset = static_cast<uint32_t>(offset);
  out->loaderFlags = Load32(data + offset);
  return true;
}

uint32_t ReadPackageOffset(const unsigned char* data, size_t size) {
  PeLayout layout;
  if (!ReadPeLayout(data, size, &layout)) return 0;
  if (layout.loaderFlags > size) return 0;
  return layout.loaderFlags;
}

bool WritePackageOffset(unsigned char* data, size_t size, uint32_t e) {
  PeLayout layout;
  if (!ReadPeLayout(data, size, &layout)) return false;
  kl::Store32(data + layout.loaderFlagsOffset, e);
  return true;
}
