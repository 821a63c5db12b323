// Force-included into the Windows builds: the standard library's bounds
// checks stay on, but a failed one stops the program at once instead of
// formatting a message from the file name and the full signature of the
// function (several kilobytes of text in the shipping program, and a GUI
// program has no console to print it to).
#pragma once

#ifdef __cplusplus
#include <bits/c++config.h>

#if defined(_GLIBCXX_ASSERTIONS) && defined(__glibcxx_assert_impl)
#undef __glibcxx_assert_impl
#define __glibcxx_assert_impl(_Condition)           \
  if (__builtin_expect(!bool(_Condition), false)) { \
    __glibcxx_constexpr_assert(false);              \
    __builtin_trap();                               \
  }
#endif
#endif
