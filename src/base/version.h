// Product and file versions: four 16-bit fields in one number, major first,
// as the update lists, the version resources and the uninstall record carry them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"

namespace kl {

// Four 16-bit fields, major first.
using Version = uint64_t;
// "major.minor.build.revision"; missing fields are 0, each field modulo 65536.
Version VersionFromText(const wchar16* text);
// "%d.%d.%d.%d" into out (cap units, cut and terminated).
void VersionToText(Version v, wchar16* out, size_t cap);
template <size_t N>
void VersionToText(Version v, wchar16 (&out)[N]) { VersionToText(v, out, N); }

}  // namespace kl
