// Fuzzes the setup program's own "CRYP" read path: the read hook of the
// extractor (CExtract::HookRead in package/cabinet_io_win.cpp, keyed) serves the
// cabinet decoding engine from an enciphered container. The hook itself calls
// Windows for its file reads, so this target serves the same steps from
// memory with the same portable pieces: PlanCrypRead, the work-buffer bounds,
// DecipherCrypSpan and the signature swap at offset 0.
//
// Input: byte 0 is the mode (bit 0: the rest is a plain cabinet that is
// enciphered with EncipherContainer before it is served, so that mutations
// of the cabinet's structure reach the engine; otherwise the rest is served
// as it is). Bytes 1..8 are four (offset, count) probes, one byte each
// scaled, read through the hook after decoding and compared with the whole
// container deciphered at once. Bytes 9.. are the container.
//
// Nothing may crash or read out of bounds; a read the hook must be able to
// serve is never refused, what it serves equals the whole-container
// decipherment, and the engine never writes more than a file declares.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "package/blowfish.h"
#include "package/cab_decoder.h"
#include "package/cryp_layer.h"

namespace {

// The extractor's work buffer and the largest request it serves
// (kWorkBufferSize and kMaxReadRequest of package/cabinet_win.h).
constexpr uint32_t kWorkBufferSize = 65536;
constexpr uint32_t kMaxReadRequest = kWorkBufferSize - 14;
constexpr unsigned kReadFailed = static_cast<unsigned>(-1);

const BlowfishContext& Cipher() {
  static BlowfishContext ctx;
  static const bool keyed = BlowfishSetKey(&ctx, kPackageKeyLength) == 1;
  if (!keyed) __builtin_trap();
  return ctx;
}

// One open container and the keyed read hook over it.
class CrypFile {
 public:
  explicit CrypFile(const std::vector<unsigned char>& data) : data_(data), work_(kWorkBufferSize) {}

  // The steps of the keyed hook, file reads served from memory.
  unsigned Read(void* buffer, unsigned count) {
    const int64_t pos = pos_;
    if (pos < 0 || count > kMaxReadRequest || !buffer) return kReadFailed;
    if (count == 0) return 0;
    const CrypReadPlan plan = PlanCrypRead(pos, count);
    // Every request up to kMaxReadRequest must fit the work buffer: the hook
    // refusing one would fail a good package.
    if (plan.length > kWorkBufferSize || plan.skip + count > plan.length) __builtin_trap();
    if (plan.alignedStart % 8 != 0 || plan.length % 8 != 0 || plan.plainPrefix > plan.length ||
        plan.alignedStart + plan.skip != pos)
      __builtin_trap();
    // A short read (the container ends inside the span) fails the read.
    if (plan.alignedStart > static_cast<int64_t>(data_.size()) ||
        data_.size() - static_cast<size_t>(plan.alignedStart) < plan.length)
      return kReadFailed;
    std::memcpy(work_.data(), data_.data() + plan.alignedStart, plan.length);
    DecipherCrypSpan(&Cipher(), work_.data(), plan);
    std::memcpy(buffer, work_.data() + plan.skip, count);
    pos_ = pos + count;
    if (pos == 0 && count >= 4) {
      unsigned char* bytes = static_cast<unsigned char*>(buffer);
      if (ReadCabSignature(bytes, count) != CabSignature::Cryp) return kReadFailed;
      std::memcpy(bytes, "MSCF", 4);
    }
    return count;
  }

  int64_t Seek(int64_t distance, int origin) {
    const int64_t base = origin == 0 ? 0 : origin == 1 ? pos_ : static_cast<int64_t>(data_.size());
    if (base + distance < 0) return -1;
    pos_ = base + distance;
    return pos_;
  }

 private:
  const std::vector<unsigned char>& data_;
  std::vector<unsigned char> work_;
  int64_t pos_ = 0;
};

// The engine's host as the extractor's: every cabinet read goes through the hook.
class HookHost : public cab::DecoderHost {
 public:
  explicit HookHost(CrypFile& file) : file_(file) {}
  intptr_t Open(const char*) override { return 3; }
  int64_t Read(intptr_t, void* buffer, uint32_t count) override {
    const unsigned n = file_.Read(buffer, count);
    return n == kReadFailed ? -1 : static_cast<int64_t>(n);
  }
  int64_t Seek(intptr_t, int64_t distance, int origin) override {
    return file_.Seek(distance, origin);
  }
  int Close(intptr_t) override { return 0; }
  int64_t Write(intptr_t, const void*, uint32_t count) override {
    written_ += count;
    if (written_ > declared_) __builtin_trap();
    return count;
  }
  intptr_t OnCabinetInfo(const cab::CabinetHeaderInfo&) override { return 0; }
  intptr_t OnCopyFile(const cab::DecodedFile& f) override {
    declared_ = f.size;
    written_ = 0;
    return 7;
  }
  intptr_t OnCloseFile(const cab::DecodedFile& f, intptr_t) override {
    if (written_ != f.size) __builtin_trap();
    return 1;
  }

 private:
  CrypFile& file_;
  uint64_t declared_ = 0, written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  const uint8_t mode = data[0];
  const uint8_t* probes = data + 1;
  std::vector<unsigned char> container(data + 9, data + size);
  if (mode & 1) EncipherContainer(&Cipher(), container);

  CrypFile file(container);
  HookHost host(file);
  cab::CabDecoder decoder;
  decoder.Decode(host, "fuzz.cab", "");

  // Reads at chosen places against the container deciphered as a whole.
  std::vector<unsigned char> plain = container;
  const bool whole = DecipherContainer(&Cipher(), plain.data(), plain.size());
  std::vector<unsigned char> got(kMaxReadRequest);
  for (int i = 0; i < 4; ++i) {
    const int64_t pos = probes[2 * i] == 0 ? 0 : static_cast<int64_t>(probes[2 * i]) * 7 % (size + 16);
    const uint32_t count = probes[2 * i + 1] == 0xFF ? kMaxReadRequest
                                                     : 1u + probes[2 * i + 1] * 5u;
    if (file.Seek(pos, 0) != pos) __builtin_trap();
    const unsigned n = file.Read(got.data(), count);
    const CrypReadPlan plan = PlanCrypRead(pos, count);
    const bool fits = static_cast<uint64_t>(plan.alignedStart) + plan.length <= container.size();
    const bool cryp = ReadCabSignature(container.data(), container.size()) == CabSignature::Cryp;
    // The header read (from 0, at least 4 bytes) also checks the signature.
    if (!fits || (pos == 0 && count >= 4 && !cryp)) {
      if (n != kReadFailed) __builtin_trap();
      continue;
    }
    if (n != count) __builtin_trap();
    if (!whole) continue;  // no whole-container reference (size not a multiple of 8)
    // Bytes 0..3 hold the signature: "MSCF" for the header read, else as stored.
    const bool header = pos == 0 && count >= 4;
    for (uint32_t k = 0; k < count; ++k) {
      const int64_t at = pos + k;
      const unsigned char want = at >= 4 ? plain[at] : header ? "MSCF"[at] : container[at];
      if (got[k] != want) __builtin_trap();
    }
  }
  return 0;
}
