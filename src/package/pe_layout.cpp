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

bool ReadPackageExtent(const unsigned char* data, size_t size, PackageExtent* out) {
  PeLayout layout;
  if (!out || !ReadPeLayout(data, size, &layout)) return false;
  const uint32_t e = layout.loaderFlags;
  if (e == 0 || e >= size) return false;
  // NumberOfRvaAndSizes follows LoaderFlags; the directories follow it, 8
  // bytes each; the security directory is the fifth.
  const uint64_t countAt = static_cast<uint64_t>(layout.loaderFlagsOffset) + 4;
  const uint64_t securityAt = countAt + 4 + 4 * 8;
  uint32_t certOffset = 0;
  uint32_t certSize = 0;
  if (Fits(countAt, 4, size) && Load32(data + countAt) > 4 && Fits(securityAt, 8, size)) {
    certOffset = Load32(data + securityAt);
    certSize = Load32(data + securityAt + 4);
  }
  out->offset = e;
  out->isSigned = certOffset != 0 || certSize != 0;
  out->certificateSize = certSize;
  if (!out->isSigned) {
    out->size = static_cast<uint32_t>(size - e);
    return true;
  }
  if (certOffset <= e || certSize == 0 || !Fits(certOffset, certSize, size)) return false;
  // The signer starts the table at a multiple of 8 in the file and fills the
  // gap with zeros; a package is whole 8-byte blocks, so such a tail of
  // fewer than 8 zero bytes is the signer's, not the package's.
  uint32_t n = certOffset - e;
  const uint32_t tail = n % 8;
  bool zeros = n > tail;
  for (uint32_t i = 0; zeros && i < tail; ++i) zeros = data[certOffset - 1 - i] == 0;
  if (zeros) n -= tail;
  out->size = n;
  return true;
}

bool ClearCertificateDirectory(unsigned char* data, size_t size) {
  PeLayout layout;
  if (!ReadPeLayout(data, size, &layout)) return false;
  const uint64_t countAt = static_cast<uint64_t>(layout.loaderFlagsOffset) + 4;
  const uint64_t securityAt = countAt + 4 + 4 * 8;
  if (!Fits(countAt, 4, size) || Load32(data + countAt) <= 4 || !Fits(securityAt, 8, size))
    return false;
  kl::Store32(data + securityAt, 0);
  kl::Store32(data + securityAt + 4, 0);
  return true;
}

bool WritePackageOffset(unsigned char* data, size_t size, uint32_t e) {
  PeLayout layout;
  if (!ReadPeLayout(data, size, &layout)) return false;
  kl::Store32(data + layout.loaderFlagsOffset, e);
  return true;
}
