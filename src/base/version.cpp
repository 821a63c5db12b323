#include "base/version.h"

#include <cstdio>

namespace kl {

Version VersionFromText(const wchar16* text) {
  uint64_t fields[4] = {0, 0, 0, 0};
  if (!text) return 0;
  auto readInt = [](const wchar16* s) -> uint64_t {
    while (*s == u' ' || (*s >= 9 && *s <= 13)) ++s;
    bool neg = false;
    if (*s == u'+' || *s == u'-') neg = *s++ == u'-';
    uint64_t v = 0;
    while (*s >= u'0' && *s <= u'9') v = v * 10 + static_cast<uint64_t>(*s++ - u'0');
    return (neg ? (0 - v) : v) & 0xFFFF;
  };
  fields[0] = readInt(text);
  const wchar16* dot = text;
  for (int f = 1; f < 4; ++f) {
    while (*dot && *dot != u'.') ++dot;
    if (!*dot) break;
    ++dot;
    fields[f] = readInt(dot);
  }
  return (((fields[0] << 16 | fields[1]) << 16 | fields[2]) << 16) | fields[3];
}

void VersionToText(Version v, wchar16* out, size_t cap) {
  if (!cap) return;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", static_cast<int>((v >> 48) & 0xFFFF),
                static_cast<int>((v >> 32) & 0xFFFF), static_cast<int>((v >> 16) & 0xFFFF),
                static_cast<int>(v & 0xFFFF));
  size_t i = 0;
  for (; buf[i] && i + 1 < cap; ++i) out[i] = static_cast<wchar16>(buf[i]);
  out[i] = 0;
}

}  // namespace kl
