#include "update/update_list.h"

#include <algorithm>
#include <cstdio>

namespace klupdate {

namespace {

// Decodes UTF-8 from data[0..size) into out (cap units, the last one kept for
// the terminator); returns units written.
size_t DecodeUtf8(const unsigned char* data, size_t size, wchar16* out, size_t cap) {
  size_t i = 0;
  size_t n = 0;
  while (i < size && n + 1 < cap) {
    const unsigned b0 = data[i];
    size_t need;
    if (b0 < 0x80) need = 1;
    else if ((b0 & 0xE0) == 0xC0) need = 2;
    else if ((b0 & 0xF0) == 0xE0) need = 3;
    else if ((b0 & 0xF8) == 0xF0) need = 4;
    else need = 5;
    if (size - i < need) break;  // cut off by the end of the data: no unit
    const unsigned char* b = data + i;
    uint32_t u;
    switch (need) {
      case 1: u = b0; break;
      case 2: u = ((b0 & 0x1Fu) << 6) | (b[1] & 0x3Fu); break;
      case 3: u = (b0 << 12) | ((b[1] & 0x3Fu) << 6) | (b[2] & 0x3Fu); break;
      case 4: u = ((b[1] & 0x0Fu) << 12) | ((b[2] & 0x3Fu) << 6) | (b[3] & 0x3Fu); break;
      default: u = ((b[2] & 0x0Fu) << 12) | ((b[3] & 0x3Fu) << 6) | (b[4] & 0x3Fu); break;
    }
    out[n++] = static_cast<wchar16>(u & 0xFFFF);
    i += need;
  }
  return n;
}

wchar16 Fold(wchar16 c) {
  return (c >= u'a' && c <= u'z') ? static_cast<wchar16>(c - u'a' + u'A') : c;
}

struct TypeRow {
  int32_t code;
  const wchar16* id;
  const wchar16* display;
};

const TypeRow kTypes[] = {
    {kTypeKmeDrive, KL_T("KME_DRIVE"), KL_T("码表驱动")},
    {kTypeSkinDrive, KL_T("SKIN_DRIVE"), KL_T("界面驱动")},
    {kTypeImeMain, KL_T("IME_MAIN"), KL_T("IME驱动")},
    {kTypeImeGenCab, KL_T("IMEGENCAB"), KL_T("生成器压缩包")},
    {kTypeUpdate, KL_T("UPDATE"), KL_T("生成器更新")},
    {kTypeConfigDrive, KL_T("CONFIG_DRIVE"), KL_T("配置程序")},
    {kTypeInstallBaseDrive, KL_T("INSTALLBASE_DRIVE"), KL_T("安装程序")},
    {kTypeSkinZip, KL_T("SKINZIP"), KL_T("Kelo皮肤")},
};

// Copies text[from, to) into dst (cap units, cut and terminated).
void CopyRange(const wchar16* text, size_t from, size_t to, wchar16* dst, size_t cap) {
  size_t n = to > from ? to - from : 0;
  if (n > cap - 1) n = cap - 1;
  for (size_t i = 0; i < n; ++i) dst[i] = text[from + i];
  dst[n] = 0;
}

// Position of the first c in line[from, len), or len.
size_t FindChar(const wchar16* line, size_t from, size_t len, wchar16 c) {
  for (size_t i = from; i < len; ++i)
    if (line[i] == c) return i;
  return len;
}

// Reads the items of one line into e.
void ParseLine(const wchar16* line, size_t len, UpdateEntry* e, UnknownKeyFn unknownKey,
               void* user) {
  wchar16 key[kKeyChars];
  wchar16 value[kValueChars];
  size_t pos = 0;
  while (pos < len) {
    const size_t lt = FindChar(line, pos, len, u'<');
    const size_t eq = FindChar(line, pos, len, u'=');
    const size_t gt = FindChar(line, pos, len, u'>');
    if (lt == len || gt == len) break;
    const size_t keyEnd = (eq != len && eq > lt && eq < gt) ? eq : gt;
    CopyRange(line, lt + 1, keyEnd, key, kKeyChars);
    if (eq != len) {
      const size_t valueEnd = gt > eq ? gt : len;
      CopyRange(line, eq + 1, valueEnd, value, kValueChars);
    } else {
      kl::Copy(value, KL_T("auto"));
    }
    pos = gt + 1;

    if (EqualNoCase(key, KL_T("TYPE"))) {
      e->type = TypeFromIdentifier(value);
    } else if (EqualNoCase(key, KL_T("NAME"))) {
      kl::Copy(e->name, value);
    } else if (EqualNoCase(key, KL_T("VERSION"))) {
      e->serverVersion = VersionFromText(value);
    } else if (EqualNoCase(key, KL_T("SAVEPATH"))) {
      kl::Copy(e->path, value);
    } else if (EqualNoCase(key, KL_T("CABURL"))) {
      kl::Copy(e->cabUrl, value);
    } else if (EqualNoCase(key, KL_T("SHA256"))) {
      ParseDigestText(value, &e->sha256);
    } else if (EqualNoCase(key, KL_T("PNGSHA256"))) {
      ParseDigestText(value, &e->pictureSha256);
    } else if (unknownKey) {
      unknownKey(user);
    }
  }
}

}  // namespace

size_t Latin1Converter(const unsigned char* bytes, size_t n, wchar16* out, size_t cap) {
  const size_t m = std::min(n, cap);
  for (size_t i = 0; i < m; ++i) out[i] = bytes[i];
  return m;
}

bool LooksLikeUtf8(const unsigned char* data, size_t size) {
  size_t expected = 0;
  bool high = false;
  for (size_t i = 0; i < size; ++i) {
    const unsigned b = data[i];
    if (expected) {
      if ((b & 0xC0) != 0x80) return false;
      --expected;
      continue;
    }
    if (b < 0x80) continue;
    high = true;
    if ((b & 0xC0) == 0x80) return false;
    for (unsigned mask = 0x40; mask && (b & mask); mask >>= 1) ++expected;
  }
  return expected == 0 && high;
}

DecodedText DecodeText(const unsigned char* data, size_t size, AnsiConverter ansi) {
  DecodedText r;
  if (!data) size = 0;
  if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    r.encoding = TextEncoding::kUtf8Bom;
    r.units.assign(size + 7, 0);
    r.length = static_cast<int32_t>(DecodeUtf8(data + 3, size - 3, r.units.data(), r.units.size()));
    return r;
  }
  if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
    const bool big = data[0] == 0xFE;
    r.encoding = big ? TextEncoding::kUtf16Be : TextEncoding::kUtf16Le;
    // A block of `size` bytes, plus one unit so that the text always ends in
    // a NUL (an odd size leaves half a unit).
    r.units.assign(size / 2 + 1, 0);
    const size_t body = size - 2;
    for (size_t i = 0; i < body; i += 2) {
      const unsigned lo = data[2 + i];
      const unsigned hi = (i + 1 < body) ? data[2 + i + 1] : 0;
      r.units[i / 2] = static_cast<wchar16>(lo | (hi << 8));
    }
    if (big) {
      for (auto& u : r.units) {
        if (!u) break;
        const uint16_t v = static_cast<uint16_t>(u);
        u = static_cast<wchar16>(static_cast<uint16_t>((v >> 8) | (v << 8)));
      }
    }
    r.length = static_cast<int32_t>(std::min<size_t>(size / 2, INT32_MAX));
    return r;
  }
  if (LooksLikeUtf8(data, size)) {
    r.encoding = TextEncoding::kUtf8;
    r.units.assign(size + 10, 0);
    r.length = static_cast<int32_t>(DecodeUtf8(data, size, r.units.data(), r.units.size()));
    return r;
  }
  r.encoding = TextEncoding::kAnsi;
  size_t n = 0;
  while (n < size && data[n]) ++n;
  r.units.assign(n + 1, 0);
  if (n && ansi) ansi(data, n, r.units.data(), n);
  r.length = static_cast<int32_t>(kl::StrLen(r.units.data(), r.units.size()));
  return r;
}

bool EqualNoCase(const wchar16* a, const wchar16* b) {
  if (!a || !b) return false;
  for (;; ++a, ++b) {
    if (Fold(*a) != Fold(*b)) return false;
    if (!*a) return true;
  }
}

bool IsWebUrl(kl::string16_view url) {
  for (const char* scheme : {"http://", "https://"}) {
    size_t i = 0;
    while (scheme[i] && i < url.size() &&
           Fold(url[i]) == Fold(static_cast<wchar16>(scheme[i])))
      ++i;
    if (!scheme[i]) return true;
  }
  return false;
}

int32_t TypeFromIdentifier(const wchar16* identifier) {
  for (const auto& t : kTypes)
    if (EqualNoCase(identifier, t.id)) return t.code;
  return kTypeUnknown;
}

const wchar16* TypeIdentifier(int32_t type) {
  for (const auto& t : kTypes)
    if (t.code == type) return t.id;
  return nullptr;
}

const wchar16* TypeDisplayName(int32_t type) {
  for (const auto& t : kTypes)
    if (t.code == type) return t.display;
  return KL_T("未知标识");
}

UpdateEntry* UpdateEntryList::Append(std::unique_ptr<UpdateEntry> e) {
  if (items_.size() == items_.capacity()) items_.reserve(items_.size() * 2);
  items_.push_back(std::move(e));
  return items_.back().get();
}

size_t ParseUpdateText(const wchar16* text, size_t units, int32_t length, UpdateEntryList* list,
                       UnknownKeyFn unknownKey, void* user) {
  if (!text || !list || length <= 3) return 0;
  // The text ends at its length, at its first NUL, and at the end of its block.
  size_t end = std::min<size_t>(static_cast<size_t>(length), units);
  end = kl::StrLen(text, end);
  const size_t limit = static_cast<size_t>(length) - 3;
  wchar16 line[kLineChars + 1];
  size_t p = 0;
  size_t added = 0;
  while (p < limit && p < end) {
    size_t n = 0;
    while (p < end && n < kLineChars && text[p] != 13 && text[p] != 10) line[n++] = text[p++];
    line[n] = 0;
    while (p < end && (text[p] == 13 || text[p] == 10)) ++p;
    auto e = std::make_unique<UpdateEntry>();
    ParseLine(line, n, e.get(), unknownKey, user);
    list->Append(std::move(e));
    ++added;
  }
  return added;
}

size_t ParseUpdateList(const DecodedText& text, UpdateEntryList* list, UnknownKeyFn unknownKey,
                       void* user) {
  return ParseUpdateText(text.text(), text.units.size(), text.length, list, unknownKey, user);
}

}  // namespace klupdate
