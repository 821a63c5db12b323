// Read-ahead for a keyed extraction. Deciphering a package costs about as
// much as inflating it, and the two need not wait for each other: after the
// extractor has served one bulk read, it reads the next stretch of the
// package itself (so the file stays on one thread) and a worker thread
// deciphers it while the decoding engine inflates what it has. The next
// read that falls inside the stretch takes it from there.
//
// Only whole 8-byte blocks at multiples of 8, past the container's plain
// prefix, are read ahead, so the stretch deciphers exactly as a read of its
// own would. Without a worker (it could not be started) nothing is read
// ahead and every read deciphers for itself; what the worker has not
// deciphered when the stretch is needed, the reader deciphers beside it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "package/blowfish.h"
#include "ui/owners_win.h"

namespace Cabinet {

class CrypPrefetch {
 public:
  // The longest stretch read ahead: one bulk read of the decoding engine.
  static constexpr uint32_t kCapacity = 65520;

  CrypPrefetch() = default;
  ~CrypPrefetch();
  CrypPrefetch(const CrypPrefetch&) = delete;
  CrypPrefetch& operator=(const CrypPrefetch&) = delete;

  // Starts the worker and its buffer once; false when they cannot be had.
  bool Start(const BlowfishContext* cipher);

  // The buffer the extractor reads the next stretch into (kCapacity bytes).
  unsigned char* Buffer() { return static_cast<unsigned char*>(buffer_.get()); }

  // Hands the stretch [start, start + length) of handle's file, read into
  // Buffer(), to the worker. start >= 56 and a multiple of 8, length a
  // multiple of 8 and at most kCapacity.
  void Decipher(int handle, int64_t start, uint32_t length);

  // When [pos, pos + count) of handle's file lies in the stretch: waits for
  // its deciphering, copies it to out and returns true.
  bool Take(int handle, int64_t pos, uint32_t count, void* out);

  // The end of the stretch of handle (-1 when there is none).
  int64_t End(int handle) const { return handle == handle_ && handle_ != 0 ? start_ + length_ : -1; }

  // Waits for the worker and forgets the stretch (of handle only, or any).
  void Drop();
  void Drop(int handle) {
    if (handle == handle_) Drop();
  }

 private:
  static DWORD WINAPI Worker(void* self);
  // Deciphers pieces of the stretch until none is left to take.
  void DecipherPieces();
  void Wait();

  const BlowfishContext* cipher_ = nullptr;
  ui::HeapBlock buffer_;
  ui::Handle thread_;
  ui::Handle work_;  // set when the worker sleeps and there is work, or to stop
  // The stretch is deciphered in pieces that either thread takes: the
  // worker from the moment it is handed over, the reader as soon as it
  // needs the stretch.
  volatile LONG pieces_ = 0;    // of the stretch
  volatile LONG taken_ = 0;     // pieces taken (may run past pieces_)
  volatile LONG finished_ = 0;  // pieces deciphered
  volatile LONG sleeping_ = 0;  // the worker waits for work_
  volatile LONG stop_ = 0;
  bool pending_ = false;
  bool failed_ = false;
  int handle_ = 0;
  int64_t start_ = 0;
  uint32_t length_ = 0;
};

}  // namespace Cabinet
