// Fuzzes the cabinet decoding engine: the input is served as a cabinet file,
// every file is accepted and its bytes counted. Nothing may crash, read out
// of bounds or write more than a file declares.
// An input that starts with "DF" goes to the MSZIP inflater alone: two bytes
// of output size and two of history length, then one block's deflate data;
// the output and history sit in buffers of exactly their size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "package/cab_decoder.h"
#include "package/mszip_inflate.h"

namespace {

class FuzzHost : public cab::DecoderHost {
 public:
  FuzzHost(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  intptr_t Open(const char*) override { return 3; }
  int64_t Read(intptr_t, void* buffer, uint32_t count) override {
    if (count > cab::kMaxDecoderRead || pos_ % 8 != 0) __builtin_trap();
    size_t n = pos_ >= size_ ? 0 : (count < size_ - pos_ ? count : size_ - pos_);
    if (n) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t Seek(intptr_t, int64_t distance, int origin) override {
    int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(pos_)
                                                 : static_cast<int64_t>(size_);
    if (base + distance < 0) return -1;
    pos_ = static_cast<size_t>(base + distance);
    return static_cast<int64_t>(pos_);
  }
  int Close(intptr_t) override { return 0; }
  int64_t Write(intptr_t, const void*, uint32_t count) override {
    written_ += count;
    if (written_ > declared_) __builtin_trap();
    return count;
  }
  intptr_t OnCabinetInfo(const cab::CabinetHeaderInfo&) override { return 0; }
  intptr_t OnCopyFile(const cab::DecodedFile& f) override {
    if (std::strlen(f.name) > 255) __builtin_trap();
    declared_ = f.size;
    written_ = 0;
    return 7;
  }
  intptr_t OnCloseFile(const cab::DecodedFile& f, intptr_t) override {
    if (written_ != f.size) __builtin_trap();
    return 1;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  uint64_t declared_ = 0, written_ = 0;
};

void FuzzInflater(const uint8_t* data, size_t size) {
  if (size < 6) return;
  const size_t out = data[2] | data[3] << 8;
  const size_t history = (data[4] | data[5] << 8) % (cab::MsZipInflater::kWindow + 1);
  std::vector<unsigned char> buf(history + out);
  for (size_t i = 0; i < history; ++i) buf[i] = static_cast<unsigned char>(i);
  std::vector<unsigned char> in(data + 6, data + size);
  static cab::MsZipInflater inflater;
  inflater.Inflate(in.data(), in.size(), buf.data() + history, out, history);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 2 && data[0] == 'D' && data[1] == 'F') {
    FuzzInflater(data, size);
    return 0;
  }
  FuzzHost host(data, size);
  cab::CabDecoder decoder;
  decoder.Decode(host, "fuzz.cab", "");
  return 0;
}
