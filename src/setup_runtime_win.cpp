// Linked into the setup program only (it is built without exceptions; see the
// top-level CMakeLists.txt). The C++ runtime's error paths each pull in
// machinery larger than the rest of the program: exception objects and the
// unwinder, the demangler of the default terminate handler, std::string's
// out-of-line copy for the exception messages, the C99 formatter. Here every
// such path ends the process as an uncaught exception would, and the few
// formatted strings the program makes go to the system's formatter.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

[[noreturn]] void Die() { std::abort(); }

}  // namespace

namespace __gnu_cxx {
void __verbose_terminate_handler() { Die(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { Die(); }
void __throw_bad_array_new_length() { Die(); }
void __throw_length_error(const char*) { Die(); }
void __throw_logic_error(const char*) { Die(); }
void __throw_out_of_range(const char*) { Die(); }
void __throw_out_of_range_fmt(const char*, ...) { Die(); }
void __throw_invalid_argument(const char*) { Die(); }
void __throw_runtime_error(const char*) { Die(); }
void __throw_system_error(int) { Die(); }
void __throw_bad_function_call() { Die(); }
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept { Die(); }
}  // namespace std

// Allocation failure ends the program (there is nobody to catch it).
void* operator new(size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) Die();
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

// Function-local statics: one lock for all of them (they are few and their
// set-up is short). The first byte of the guard says "done".
namespace {
CRITICAL_SECTION* GuardLock() {
  static CRITICAL_SECTION* lock = nullptr;  // constant-initialised, no guard
  if (!lock) {
    auto* fresh = static_cast<CRITICAL_SECTION*>(std::malloc(sizeof(CRITICAL_SECTION)));
    if (!fresh) Die();
    ::InitializeCriticalSection(fresh);
    if (::InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&lock), fresh,
                                            nullptr) != nullptr) {
      ::DeleteCriticalSection(fresh);
      std::free(fresh);
    }
  }
  return lock;
}
}  // namespace

extern "C" {
// Nothing is ever thrown, so no frame is ever unwound: the library parts built
// with exceptions (the thread support) keep their unwind tables but never
// reach these.
#if defined(_WIN64)
int __gxx_personality_seh0() { Die(); }
#else
int __gxx_personality_v0() { Die(); }
#endif
void _Unwind_Resume(void*) { Die(); }

int __cxa_guard_acquire(long long* g) {
  if (__atomic_load_n(reinterpret_cast<char*>(g), __ATOMIC_ACQUIRE)) return 0;
  ::EnterCriticalSection(GuardLock());
  if (*reinterpret_cast<char*>(g)) {
    ::LeaveCriticalSection(GuardLock());
    return 0;
  }
  return 1;  // the caller initialises, then calls __cxa_guard_release
}
void __cxa_guard_release(long long* g) {
  __atomic_store_n(reinterpret_cast<char*>(g), 1, __ATOMIC_RELEASE);
  ::LeaveCriticalSection(GuardLock());
}
void __cxa_guard_abort(long long*) { ::LeaveCriticalSection(GuardLock()); }

// The program's few narrow formats (%d, %s, widths) through the C runtime's
// own formatter, with the C99 result: always terminated, the full length.
int __mingw_vsnprintf(char* buf, size_t n, const char* fmt, va_list ap) {
  va_list again;
  va_copy(again, ap);
  int len = _vscprintf(fmt, again);
  va_end(again);
  if (n) {
    int r = _vsnprintf(buf, n, fmt, ap);
    if (r < 0 || static_cast<size_t>(r) >= n) buf[n - 1] = '\0';
  }
  return len;
}
}  // extern "C"
