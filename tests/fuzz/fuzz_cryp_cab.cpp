// Fuzzes the package reader: the input is taken as a container (plain or
// "CRYP"), read through the decryption layer by the product's cabinet
// engine (the packager's reader), listed and every
// file extracted into memory. Nothing may crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "klpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  klpack::CabSource src;
  src.memory = &bytes;
  klpack::CabListing listing;
  std::vector<klpack::MemoryFile> files;
  klpack::Status s = klpack::ExtractCabinetToMemory(src, &listing, &files);
  if (s.ok() && files.size() != listing.files.size()) __builtin_trap();
  return 0;
}
