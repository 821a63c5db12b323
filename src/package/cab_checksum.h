// The cabinet data-block checksum, shared by the reader and the writer. Kept
// apart so that a program that only reads cabinets links no compressor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cab {

// The standard cabinet checksum over cb bytes, continuing from seed.
uint32_t Checksum(const unsigned char* p, size_t cb, uint32_t seed);

}  // namespace cab
