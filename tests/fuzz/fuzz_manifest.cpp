// Fuzzes the packager's manifest reader: any bytes are parsed as a manifest.
// Nothing may crash, and a manifest that is accepted must carry a usable key
// name and display name, and an InstallInfo.kif that reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/keyname.h"
#include "klpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > klpack::kMaxManifestBytes) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  klpack::Manifest m;
  klpack::Status s = klpack::ParseManifest(text, "fuzz.txt", &m);
  if (s.message.size() > 4096) __builtin_trap();  // quoted input is cut
  if (!s.ok()) return 0;
  if (!kl::IsPlainKeyNameField(m.header.imeName, 40)) __builtin_trap();
  if (m.header.displayName[0] == 0) __builtin_trap();
  PackageHeader back;
  if (!klpack::HeaderFromBytes(klpack::HeaderBytes(m.header), &back)) __builtin_trap();
  for (size_t i = 0; i < 40; ++i)
    if (back.imeName[i] != m.header.imeName[i]) __builtin_trap();
  return 0;
}
