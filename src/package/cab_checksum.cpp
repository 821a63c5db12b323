#include "package/cab_checksum.h"

namespace cab {

uint32_t Checksum(const unsigned char* p, size_t cb, uint32_t seed) {
  uint32_t csum = seed;
  size_t words = cb / 4;
  for (size_t i = 0; i < words; ++i, p += 4)
    csum ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  uint32_t ul = 0;
  switch (cb % 4) {  // the trailing bytes go in from the high end
    case 3: ul |= uint32_t(*p++) << 16; [[fallthrough]];
    case 2: ul |= uint32_t(*p++) << 8; [[fallthrough]];
    case 1: ul |= uint32_t(*p); break;
    default: break;
  }
  return csum ^ ul;
}

}  // namespace cab
