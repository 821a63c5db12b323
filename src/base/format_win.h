// Bounded formatting into fixed wchar_t arrays (Windows only): the result is
// cut to the array's size less one and terminated, like every copy into the
// product's records.
#pragma once

#include <windows.h>
#include <strsafe.h>

namespace kl {

// Returns false when the result was cut.
template <size_t N, class... Args>
bool Format(wchar_t (&dst)[N], const wchar_t* fmt, Args... args) {
  return SUCCEEDED(StringCchPrintfW(dst, N, fmt, args...));
}

inline bool FormatN(wchar_t* dst, size_t cap, const wchar_t* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  HRESULT hr = StringCchVPrintfW(dst, cap, fmt, ap);
  va_end(ap);
  return SUCCEEDED(hr);
}

}  // namespace kl
