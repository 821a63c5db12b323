// libFuzzer target: PE header reading and LoaderFlags writing on arbitrary
// bytes. Every access must stay inside the buffer (ASan), reading must agree
// with the layout it reports, and a write must touch only LoaderFlags.
#include "package/pe_layout.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exact-size copy so any overread lands in an ASan redzone.
  std::vector<unsigned char> buf(data, data + size);
  const unsigned char* p = size ? buf.data() : nullptr;

  PeLayout layout;
  const bool isPe = ReadPeLayout(p, size, &layout);
  const uint32_t e = ReadPackageOffset(p, size);
  if (!isPe && e != 0) std::abort();
  if (isPe) {
    if (layout.magic != kPeMagic32 && layout.magic != kPeMagic64) std::abort();
    if (static_cast<uint64_t>(layout.loaderFlagsOffset) + 4 > size) std::abort();
    if (e != (layout.loaderFlags <= size ? layout.loaderFlags : 0u)) std::abort();
  }

  std::vector<unsigned char> copy = buf;
  const uint32_t value = size >= 4 ? (data[0] | (data[1] << 8) | (data[2] << 16) |
                                      (static_cast<uint32_t>(data[3]) << 24))
                                   : 0x12345678u;
  const bool wrote = WritePackageOffset(size ? copy.data() : nullptr, size, value);
  if (wrote != isPe) std::abort();
  for (size_t i = 0; i < size; ++i) {
    const bool inField = isPe && i >= layout.loaderFlagsOffset && i < layout.loaderFlagsOffset + 4u;
    if (!inField && copy[i] != buf[i]) std::abort();
  }
  if (wrote) {
    PeLayout again;
    if (!ReadPeLayout(copy.data(), size, &again) || again.loaderFlags != value) std::abort();
  }
  return 0;
}
