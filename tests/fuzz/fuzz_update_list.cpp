// libFuzzer target: a downloaded update list, decoded in whichever encoding
// its bytes select and parsed line by line, and the same bytes read as the
// list's signature file and as a publisher key text. No read may leave the
// input or the decoded block (ASan); every record's texts stay terminated
// within their fields; a signature that parses re-encodes to itself.
#include "update/update_list.h"
#include "update/update_signature.h"

#include <cstring>
#include <string>

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> buf(data, data + size);  // exact size: over-reads hit a redzone
  uint8_t raw[klupdate::kRawSignatureBytes];
  if (klupdate::DerSignatureToRaw(size ? buf.data() : nullptr, size, raw)) {
    const std::vector<uint8_t> again = klupdate::RawSignatureToDer(raw);
    if (again.size() != size || std::memcmp(again.data(), buf.data(), size) != 0) std::abort();
  }
  const std::string keyText(reinterpret_cast<const char*>(data), size);
  uint8_t point[klupdate::kP256PointBytes];
  klupdate::ParsePublicKeyText(keyText.c_str(), point);
  klupdate::DecodedText text = klupdate::DecodeText(size ? buf.data() : nullptr, size);
  if (text.units.empty() || text.units.back() != 0) std::abort();
  klupdate::UpdateEntryList list;
  size_t unknown = 0;
  const size_t n = klupdate::ParseUpdateList(
      text, &list, [](void* u) { ++*static_cast<size_t*>(u); }, &unknown);
  if (n != list.Count()) std::abort();
  for (size_t i = 0; i < list.Count(); ++i) {
    const klupdate::UpdateEntry* e = list.At(i);
    if (kl::StrLen(e->name, 40) >= 40 || kl::StrLen(e->cabUrl, 128) >= 128 ||
        kl::StrLen(e->path, 260) >= 260 || e->type < 0 || e->type > 8)
      std::abort();
  }
  return 0;
}
