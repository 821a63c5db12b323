#include "package/cryp_prefetch_win.h"

#include <cstring>

#include "package/cryp_layer.h"

namespace Cabinet {

CrypPrefetch::~CrypPrefetch() {
  if (!thread_) return;
  Wait();
  ::InterlockedExchange(&stop_, 1);
  ::SetEvent(work_.get());
  ::WaitForSingleObject(thread_.get(), INFINITE);
}

bool CrypPrefetch::Start(const BlowfishContext* cipher) {
  cipher_ = cipher;
  if (thread_) return true;
  if (failed_) return false;
  failed_ = true;  // one attempt per extractor
  buffer_.reset(::HeapAlloc(::GetProcessHeap(), 0, kCapacity));
  work_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  done_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!buffer_ || !work_ || !done_) return false;
  thread_.reset(::CreateThread(nullptr, 64 * 1024, Worker, this, STACK_SIZE_PARAM_IS_A_RESERVATION,
                               nullptr));
  if (!thread_) return false;
  failed_ = false;
  return true;
}

DWORD WINAPI CrypPrefetch::Worker(void* self) {
  CrypPrefetch& p = *static_cast<CrypPrefetch*>(self);
  for (;;) {
    ::WaitForSingleObject(p.work_.get(), INFINITE);
    if (::InterlockedCompareExchange(&p.stop_, 0, 0)) return 0;
    // The extractor may have taken the stretch back already.
    if (::InterlockedCompareExchange(&p.state_, kRunning, kQueued) != kQueued) continue;
    BlowfishDecryptBlocks(p.cipher_, p.Buffer(), p.length_ / 8);
    ::InterlockedExchange(&p.state_, kDone);
    ::SetEvent(p.done_.get());
  }
}

void CrypPrefetch::Decipher(int handle, int64_t start, uint32_t length) {
  Drop();
  if (!thread_ || start < kCrypPlainBytes || (start & 7) != 0 || (length & 7) != 0 ||
      length == 0 || length > kCapacity)
    return;
  handle_ = handle;
  start_ = start;
  length_ = length;
  pending_ = true;
  ::InterlockedExchange(&state_, kQueued);
  ::SetEvent(work_.get());
}

void CrypPrefetch::Wait() {
  if (!pending_) return;
  pending_ = false;
  // A worker that has not started yet (a busy machine gives it no time) is
  // not waited for: the stretch is deciphered here, as without read-ahead.
  if (::InterlockedCompareExchange(&state_, kIdle, kQueued) == kQueued) {
    BlowfishDecryptBlocks(cipher_, Buffer(), length_ / 8);
    return;
  }
  ::WaitForSingleObject(done_.get(), INFINITE);
  ::InterlockedExchange(&state_, kIdle);
}

bool CrypPrefetch::Take(int handle, int64_t pos, uint32_t count, void* out) {
  if (handle != handle_ || handle_ == 0 || pos < start_ || count > length_ ||
      pos - start_ > static_cast<int64_t>(length_ - count))
    return false;
  Wait();
  std::memcpy(out, Buffer() + (pos - start_), count);
  return true;
}

void CrypPrefetch::Drop() {
  Wait();
  handle_ = 0;
  start_ = 0;
  length_ = 0;
}

}  // namespace Cabinet
