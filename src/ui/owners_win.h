// Small owners for Win32 resources: each closes what it holds exactly once,
// so error paths need no manual CloseHandle chains.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace ui {

// Owner of a value released by Close(value), with Invalid() as "nothing held".
template <class T, class Traits>
class Owner {
 public:
  Owner() = default;
  explicit Owner(T v) : v_(v) {}
  ~Owner() { reset(); }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Owner(Owner&& o) noexcept : v_(o.release()) {}
  Owner& operator=(Owner&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  T get() const { return v_; }
  bool valid() const { return !Traits::IsInvalid(v_); }
  explicit operator bool() const { return valid(); }
  T* out() {  // for APIs that return the value through a pointer
    reset();
    return &v_;
  }
  T release() {
    T v = v_;
    v_ = Traits::Invalid();
    return v;
  }
  void reset(T v = Traits::Invalid()) {
    if (!Traits::IsInvalid(v_)) Traits::Close(v_);
    v_ = v;
  }

 private:
  T v_ = Traits::Invalid();
};

struct HandleTraits {  // kernel handles where null means none
  static HANDLE Invalid() { return nullptr; }
  static bool IsInvalid(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE means none
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsInvalid(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FindTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsInvalid(HANDLE h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
  static void Close(HANDLE h) { ::FindClose(h); }
};
struct RegKeyTraits {
  static HKEY Invalid() { return nullptr; }
  static bool IsInvalid(HKEY k) { return k == nullptr; }
  static void Close(HKEY k) { ::RegCloseKey(k); }
};
struct ModuleTraits {
  static HMODULE Invalid() { return nullptr; }
  static bool IsInvalid(HMODULE m) { return m == nullptr; }
  static void Close(HMODULE m) { ::FreeLibrary(m); }
};
struct ViewTraits {
  static void* Invalid() { return nullptr; }
  static bool IsInvalid(void* p) { return p == nullptr; }
  static void Close(void* p) { ::UnmapViewOfFile(p); }
};
struct HeapTraits {  // blocks from the process heap
  static void* Invalid() { return nullptr; }
  static bool IsInvalid(void* p) { return p == nullptr; }
  static void Close(void* p) { ::HeapFree(::GetProcessHeap(), 0, p); }
};
struct GdiTraits {
  static HGDIOBJ Invalid() { return nullptr; }
  static bool IsInvalid(HGDIOBJ o) { return o == nullptr; }
  static void Close(HGDIOBJ o) { ::DeleteObject(o); }
};

using Handle = Owner<HANDLE, HandleTraits>;
using FileHandle = Owner<HANDLE, FileHandleTraits>;
using FindHandle = Owner<HANDLE, FindTraits>;
using RegKey = Owner<HKEY, RegKeyTraits>;
using Module = Owner<HMODULE, ModuleTraits>;
using MappedView = Owner<void*, ViewTraits>;
using HeapBlock = Owner<void*, HeapTraits>;
using GdiObject = Owner<HGDIOBJ, GdiTraits>;

// Process information from CreateProcessW: both handles owned.
struct ProcessInfo {
  Handle process;
  Handle thread;
  DWORD pid = 0;
  void Take(const PROCESS_INFORMATION& pi) {
    process.reset(pi.hProcess);
    thread.reset(pi.hThread);
    pid = pi.dwProcessId;
  }
};

// COM interface pointer.
template <class I>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  I* get() const { return p_; }
  I* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  I** out() {
    reset();
    return &p_;
  }
  void** out_void() { return reinterpret_cast<void**>(out()); }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  I* p_ = nullptr;
};

// Keeps COM initialised on this thread for the owner's lifetime.
class ComScope {
 public:
  ComScope() : hr_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT hr_;
};

}  // namespace ui
