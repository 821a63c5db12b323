// The extractor's file hooks: reads through the "CRYP" layer (whole enciphered
// blocks deciphered into the work buffer, the signature checked at offset 0),
// writes to a file or to the memory target with progress reports, and the
// position table that follows every handle.
#include "package/cabinet_win.h"

#include <cstring>

#include "base/text.h"
#include "package/cabinet_internal_win.h"
#include "package/cryp_layer.h"

namespace Cabinet {


int CExtract::HookOpen(const char* utf8Path, int flags, int /*permission*/) {
  kl::string16 wide = kl::FromUtf8(utf8Path ? utf8Path : "");
  int h = FileOpen(wide.c_str(), flags, kCabinetPermission);
  if (h != 0 && h != -1) positions_.Set(h, 0);
  return h;
}

unsigned CExtract::HookRead(int handle, void* buffer, unsigned count) {
  int32_t pos = positions_.Get(handle);
  int n;
  if (!Keyed()) {
    n = FileRead(handle, buffer, count);
    if (n < 0) return kReadFailed;
  } else {
    // Whole 8-byte blocks are read into the work buffer and deciphered from
    // offset 56 on; the request must fit the buffer after rounding out.
    if (pos < 0 || count > kMaxReadRequest || !workBuffer_.valid() || !buffer) return kReadFailed;
    if (count == 0) return 0;
    if (pos < static_cast<int32_t>(kCrypPlainBytes) || !prefetch_.Take(handle, pos, count, buffer)) {
      CrypReadPlan plan = PlanCrypRead(pos, count);
      if (plan.length > kWorkBufferSize || plan.skip + count > plan.length) return kReadFailed;
      if (plan.skip != 0 && FileSeek(handle, static_cast<long>(plan.alignedStart), SEEK_SET) !=
                                static_cast<long>(plan.alignedStart))
        return kReadFailed;
      unsigned char* work = static_cast<unsigned char*>(workBuffer_.get());
      int got = FileRead(handle, work, plan.length);
      if (got < 0 || static_cast<uint32_t>(got) != plan.length) return kReadFailed;
      DecipherCrypSpan(&cipher_, work, plan);
      std::memcpy(buffer, work + plan.skip, count);
    }
    long after = static_cast<long>(pos) + static_cast<long>(count);
    ReadAhead(handle, after, count);
    if (FileSeek(handle, after, SEEK_SET) != after) return kReadFailed;
    n = static_cast<int>(count);
  }
  if (handle != 0 && handle != -1 && pos >= 0) positions_.Set(handle, pos + n);

  if (pos == 0 && n >= 4) {
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    switch (ReadCabSignature(bytes, static_cast<size_t>(n))) {
      case CabSignature::Plain:
        if (Keyed()) {
          SetError(kErrorPlainForKeyed);
          return kReadFailed;
        }
        return static_cast<unsigned>(n);
      case CabSignature::Cryp:
        if (Keyed()) {
          std::memcpy(bytes, "MSCF", 4);
          return static_cast<unsigned>(n);
        }
        SetError(kErrorCipheredForUnkeyed);
        return kReadFailed;
      default:
        SetError(kErrorNotCabinet);
        return kReadFailed;
    }
  }
  return static_cast<unsigned>(n);
}

unsigned CExtract::HookWrite(int handle, const void* data, unsigned count) {
  int n;
  if (memoryTarget_) {
    if (static_cast<int64_t>(memory_.length) + count > memory_.capacity) {
      SetError(kErrorMemoryFull);
      return kReadFailed;
    }
    if (count) std::memcpy(memory_.data + memory_.length, data, count);
    memory_.length += static_cast<int32_t>(count);
    n = static_cast<int>(count);
  } else {
    n = FileWrite(handle, data, count);
    // The file's first bytes, for the done hook's question.
    if (n > 0 && handle == current_.handle && current_.headBytes < sizeof(current_.head)) {
      const auto* bytes = static_cast<const unsigned char*>(data);
      for (int i = 0; i < n && current_.headBytes < sizeof(current_.head); ++i)
        current_.head[current_.headBytes++] = bytes[i];
    }
  }
  if (n > 0 && handle == current_.handle && current_.handle != 0 && progressHook_) {
    current_.written += static_cast<uint32_t>(n);
    DWORD now = ::GetTickCount();
    int32_t since = static_cast<int32_t>(now - current_.lastTick);
    if (since < 0) since = -since;
    bool skip = progressInterval_ != 0 && since <= progressInterval_ &&
                current_.written != current_.size;
    if (!skip) {
      current_.lastTick = now;
      ProgressInfo info;
      info.nameInCabinet = current_.name.c_str();
      info.outputPath = current_.path.c_str();
      info.size = current_.size;
      info.written = current_.written;
      info.percent = current_.size
                         ? static_cast<float>(static_cast<double>(current_.written) * 100.0 /
                                              static_cast<double>(current_.size))
                         : 100.0f;
      progressHook_(&info, hookContext_);
    }
  }
  return n < 0 ? kReadFailed : static_cast<unsigned>(n);
}

// After a bulk read that reached the end of the stretch read ahead (or with
// none), reads the next one and has it deciphered while the caller works.
// The caller then puts the file back where the read ended.
void CExtract::ReadAhead(int handle, long after, unsigned count) {
  constexpr unsigned kBulkRead = 4096;
  const int64_t start = after & ~7L;
  if (count < kBulkRead || start < kCrypPlainBytes || prefetch_.End(handle) > after) return;
  if (!prefetch_.Start(&cipher_)) return;
  prefetch_.Drop();
  if (FileSeek(handle, static_cast<long>(start), SEEK_SET) != static_cast<long>(start)) return;
  const int got = FileRead(handle, prefetch_.Buffer(), CrypPrefetch::kCapacity);
  if (got >= 8) prefetch_.Decipher(handle, start, static_cast<uint32_t>(got) & ~7u);
}

int CExtract::HookClose(int handle) {
  if (handle < 1) return 0;
  prefetch_.Drop(handle);
  int result = FileClose(handle);
  if (handle == current_.handle) ClearCurrentFile();
  positions_.Remove(handle);
  return result;
}

long CExtract::HookSeek(int handle, long distance, int origin) {
  long result = FileSeek(handle, distance, origin);
  if (handle != 0 && handle != -1 && result >= 0 && positions_.Contains(handle))
    positions_.Set(handle, static_cast<int32_t>(result));
  return result;
}

}  // namespace Cabinet
