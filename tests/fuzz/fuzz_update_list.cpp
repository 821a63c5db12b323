// libFuzzer target: a downloaded update list, decoded in whichever encoding
// its bytes select and parsed line by line. No read may leave the input or
// the decoded block (ASan); every record's texts stay terminated within
// their fields.
#include "update/update_list.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> buf(data, data + size);  // exact size: over-reads hit a redzone
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
