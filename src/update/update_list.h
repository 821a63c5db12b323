// The update server's text lists, portable part: decoding a downloaded text
// file in any of the five encodings into one UTF-16 block, the list grammar,
// the record each line becomes, type identifiers and version numbers.
//
// Everything here works on bytes or text already in memory; the download and
// the file reading live in the Windows side (update_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/text.h"
#include "base/version.h"
#include "update/update_signature.h"

namespace klupdate {

using kl::wchar16;

// ---- text decoding ----------------------------------------------------------

enum class TextEncoding { kUtf8Bom, kUtf16Le, kUtf16Be, kUtf8, kAnsi };

// Converts n bytes of the system's ANSI code page into at most cap units at
// out (no terminator needed); returns the units written. The Windows side
// passes MultiByteToWideChar(CP_ACP); the host default maps each byte to the
// unit of the same value.
using AnsiConverter = size_t (*)(const unsigned char* bytes, size_t n, wchar16* out, size_t cap);
size_t Latin1Converter(const unsigned char* bytes, size_t n, wchar16* out, size_t cap);

struct DecodedText {
  std::vector<wchar16> units;  // zero-filled block; always holds a NUL after the text
  int32_t length = 0;          // the decoder's count (see DecodeText)
  TextEncoding encoding = TextEncoding::kAnsi;
  const wchar16* text() const { return units.empty() ? nullptr : units.data(); }
};

// The UTF-8 test of the unsigned branch: every sequence complete and at least
// one byte with its high bit set.
bool LooksLikeUtf8(const unsigned char* data, size_t size);

// Decodes a byte block by its signature (EF BB BF, FF FE, FE FF), then the
// UTF-8 test, else the ANSI code page. Never reads outside [data, data+size);
// a UTF-8 sequence cut off by the end of the data produces no unit.
// length: units decoded (UTF-8), size / 2 (UTF-16), units before the NUL (ANSI).
DecodedText DecodeText(const unsigned char* data, size_t size,
                       AnsiConverter ansi = Latin1Converter);

// ---- versions ---------------------------------------------------------------

using kl::Version;
using kl::VersionFromText;
using kl::VersionToText;

// ---- types ------------------------------------------------------------------

enum : int32_t {
  kTypeUnknown = 0,
  kTypeKmeDrive = 1,
  kTypeSkinDrive = 2,
  kTypeImeMain = 3,
  kTypeImeGenCab = 4,
  kTypeUpdate = 5,
  kTypeConfigDrive = 6,
  kTypeInstallBaseDrive = 7,
  kTypeSkinZip = 8,
};

// Case-insensitive match of a TYPE value; 0 when nothing matches.
int32_t TypeFromIdentifier(const wchar16* identifier);
// "KME_DRIVE" ...; null for 0 and unknown codes.
const wchar16* TypeIdentifier(int32_t type);
// "码表驱动" ... "未知标识" (a constant text; nothing is overwritten).
const wchar16* TypeDisplayName(int32_t type);

// ASCII case-insensitive equality of two NUL-terminated texts.
bool EqualNoCase(const wchar16* a, const wchar16* b);

// Whether url starts with "http://" or "https://" (scheme in any letter
// case): the only addresses lists, cabinets, skins and pictures come from.
bool IsWebUrl(kl::string16_view url);

// ---- records ----------------------------------------------------------------

struct UpdateEntry {
  int32_t type = 0;
  wchar16 name[40] = {};
  Version localVersion = 0;
  Version serverVersion = 0;
  wchar16 path[260] = {};
  wchar16 cabUrl[128] = {};
  // <SHA256=...> and <PNGSHA256=...> of a signed list: the download at
  // CABURL and, for a skin package, its picture at CABURL + ".png".
  Digest sha256;
  Digest pictureSha256;
};

// Owns its records; starts with room for 16 and doubles.
class UpdateEntryList {
 public:
  UpdateEntryList() { items_.reserve(16); }
  UpdateEntry* Append(std::unique_ptr<UpdateEntry> e);
  size_t Count() const { return items_.size(); }
  UpdateEntry* At(size_t i) const { return i < items_.size() ? items_[i].get() : nullptr; }
  size_t Capacity() const { return items_.capacity(); }

 private:
  std::vector<std::unique_ptr<UpdateEntry>> items_;
};

// ---- list grammar -----------------------------------------------------------

constexpr size_t kLineChars = 512;   // a longer line is cut and continued
constexpr size_t kKeyChars = 128;    // key buffer (127 kept)
constexpr size_t kValueChars = 512;  // value buffer (511 kept)

// Called once per unrecognised key ("未知的更新标识！" in the engine).
using UnknownKeyFn = void (*)(void* user);

// Appends one record per line of the decoded text to list. Reads only the
// units of text (and never past its units vector). Returns records appended.
size_t ParseUpdateList(const DecodedText& text, UpdateEntryList* list,
                       UnknownKeyFn unknownKey = nullptr, void* user = nullptr);

// The same on a NUL-terminated text of `length` units held in a block of
// `units` units (length is clamped to the block).
size_t ParseUpdateText(const wchar16* text, size_t units, int32_t length, UpdateEntryList* list,
                       UnknownKeyFn unknownKey = nullptr, void* user = nullptr);

}  // namespace klupdate
