#include "update/config_ksc.h"

#include "base/le.h"
#include "update/update_list.h"

namespace klupdate {

namespace {

// Copies at most 39 characters of the 80-byte field at p (stops at a NUL).
void TakeName(const unsigned char* p, wchar16 (&dst)[40]) {
  size_t n = 0;
  for (; n < 39; ++n) {
    const wchar16 c = static_cast<wchar16>(kl::Load16(p + 2 * n));
    if (!c) break;
    dst[n] = c;
  }
  dst[n] = 0;
}

}  // namespace

bool FindKscRecord(const unsigned char* data, size_t size, const wchar16* name, KscDrivers* out) {
  if (!data || !name || !out || size < 4) return false;
  const size_t count = data[0];
  for (size_t i = 0; i < count; ++i) {
    const size_t slot = 4 + 4 * i;
    if (slot + 4 > size) break;  // the table itself runs out of the file
    const size_t rec = kl::Load32(data + slot);
    // The whole record up to the end of the skin driver field must be there.
    if (rec > size || size - rec < kKscSkinAt + kKscDriverBytes) continue;
    // The record name: UTF-16 up to its NUL, which must come before the
    // code-table field.
    wchar16 recName[(kKscCodeTableAt - kKscNameAt) / 2];
    size_t n = 0;
    bool terminated = false;
    for (; n < sizeof recName / sizeof recName[0]; ++n) {
      const wchar16 c = static_cast<wchar16>(kl::Load16(data + rec + kKscNameAt + 2 * n));
      recName[n] = c;
      if (!c) {
        terminated = true;
        break;
      }
    }
    if (!terminated || !EqualNoCase(recName, name)) continue;
    TakeName(data + rec + kKscCodeTableAt, out->tableDriver);
    TakeName(data + rec + kKscMainAt, out->mainDriver);
    TakeName(data + rec + kKscSkinAt, out->skinDriver);
    return true;
  }
  return false;
}

}  // namespace klupdate
