// Text basics shared by every build: the 16-bit character type of the product's
// records, bounded copies into fixed arrays, and UTF-8 conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kl {

// One UTF-16 code unit. On Windows this is wchar_t, so fixed arrays of it go
// straight into Win32 calls; elsewhere it is char16_t.
#ifdef _WIN32
using wchar16 = wchar_t;
#else
using wchar16 = char16_t;
#endif
static_assert(sizeof(wchar16) == 2, "records hold UTF-16 text");

using string16 = std::basic_string<wchar16>;
using string16_view = std::basic_string_view<wchar16>;

// Length of a NUL-terminated string, never reading past max units.
template <class C>
size_t StrLen(const C* s, size_t max = SIZE_MAX) {
  size_t n = 0;
  if (s)
    while (n < max && s[n]) ++n;
  return n;
}

// Copies src into dst of cap units: at most cap-1 units and a terminator.
// Returns false when src was cut (or cap is 0). A null src copies "".
template <class C>
bool CopyN(C* dst, size_t cap, const C* src) {
  if (cap == 0) return false;
  size_t n = StrLen(src, cap);
  bool fits = n < cap;
  if (!fits) n = cap - 1;
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  dst[n] = 0;
  return fits;
}

// Appends src to the string in dst of cap units with the same cutting rule.
template <class C>
bool AppendN(C* dst, size_t cap, const C* src) {
  size_t used = StrLen(dst, cap);
  if (used >= cap) return false;
  return CopyN(dst + used, cap - used, src);
}

template <class C, size_t N>
bool Copy(C (&dst)[N], const C* src) { return CopyN(dst, N, src); }
template <class C, size_t N>
bool Append(C (&dst)[N], const C* src) { return AppendN(dst, N, src); }

// First occurrence of needle in hay, or nullptr (exact, case-sensitive).
template <class C>
const C* Find(const C* hay, const C* needle) {
  if (!hay || !needle) return nullptr;
  if (!*needle) return hay;
  for (; *hay; ++hay) {
    const C* h = hay;
    const C* n = needle;
    while (*h && *n && *h == *n) { ++h; ++n; }
    if (!*n) return hay;
  }
  return nullptr;
}

// UTF-8 <-> UTF-16. Invalid UTF-8 bytes become U+FFFD; unpaired surrogates
// become U+FFFD in UTF-8 output.
string16 FromUtf8(std::string_view s);
std::string ToUtf8(string16_view s);

// Compile-time widening of an ASCII/UTF-16 literal: KL_T("x") is u"x" or L"x".
#ifdef _WIN32
#define KL_T(s) L##s
#else
#define KL_T(s) u##s
#endif

}  // namespace kl
