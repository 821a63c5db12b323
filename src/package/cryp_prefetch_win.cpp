#include "package/cryp_prefetch_win.h"

#include <cstring>

#include "package/cryp_layer.h"

namespace Cabinet {

namespace {

// A piece of a stretch: small enough that the two threads share a stretch
// evenly, large enough that taking one costs nothing next to it.
constexpr uint32_t kPieceBytes = 4096;
// taken_ while a stretch is being handed over: past any number of pieces.
constexpr LONG kClosed = 0x40000000;

// How long the worker keeps looking for the next stretch before it sleeps:
// the reader hands one over after inflating the last (well under a
// millisecond), and waking a sleeping thread can take longer than that.
constexpr LONGLONG kLookAheadMicroseconds = 2000;

LONGLONG Microseconds() {
  static const LONGLONG perMicrosecond = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f.QuadPart >= 1000000 ? f.QuadPart / 1000000 : 1;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return now.QuadPart / perMicrosecond;
}

LONG Read(volatile LONG& v) { return ::InterlockedCompareExchange(&v, 0, 0); }

}  // namespace

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
  if (!buffer_ || !work_) return false;
  thread_.reset(::CreateThread(nullptr, 64 * 1024, Worker, this, STACK_SIZE_PARAM_IS_A_RESERVATION,
                               nullptr));
  if (!thread_) return false;
  failed_ = false;
  return true;
}

void CrypPrefetch::DecipherPieces() {
  for (;;) {
    const LONG piece = ::InterlockedIncrement(&taken_) - 1;
    if (piece >= Read(pieces_)) return;
    const uint32_t at = static_cast<uint32_t>(piece) * kPieceBytes;
    const uint32_t bytes = length_ - at < kPieceBytes ? length_ - at : kPieceBytes;
    BlowfishDecryptBlocks(cipher_, Buffer() + at, bytes / 8);
    ::InterlockedIncrement(&finished_);
  }
}

DWORD WINAPI CrypPrefetch::Worker(void* self) {
  CrypPrefetch& p = *static_cast<CrypPrefetch*>(self);
  auto workLeft = [&p] { return Read(p.taken_) < Read(p.pieces_); };
  for (;;) {
    const LONGLONG until = Microseconds() + kLookAheadMicroseconds;
    while (!workLeft() && !Read(p.stop_) && Microseconds() < until) YieldProcessor();
    if (!workLeft() && !Read(p.stop_)) {
      ::InterlockedExchange(&p.sleeping_, 1);
      // Work handed over before the flag was seen is found here.
      if (!workLeft() && !Read(p.stop_)) ::WaitForSingleObject(p.work_.get(), INFINITE);
      ::InterlockedExchange(&p.sleeping_, 0);
    }
    if (Read(p.stop_)) return 0;
    p.DecipherPieces();
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
  // A late take of the worker's for the last stretch must not land in this
  // one before it is open: nothing can be taken until taken_ is 0.
  ::InterlockedExchange(&taken_, kClosed);
  ::InterlockedExchange(&finished_, 0);
  ::InterlockedExchange(&pieces_, static_cast<LONG>((length + kPieceBytes - 1) / kPieceBytes));
  ::InterlockedExchange(&taken_, 0);  // the pieces can be taken from here on
  if (Read(sleeping_)) ::SetEvent(work_.get());
}

void CrypPrefetch::Wait() {
  if (!pending_) return;
  pending_ = false;
  DecipherPieces();
  // The worker ends the piece it took: a few microseconds.
  for (unsigned spins = 0; Read(finished_) != Read(pieces_); ++spins) {
    if (spins < 4096)
      YieldProcessor();
    else
      ::SwitchToThread();
  }
  ::InterlockedExchange(&pieces_, 0);
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
