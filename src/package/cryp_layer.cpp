#include "package/cryp_layer.h"

#include <cstring>

namespace {
const unsigned char kMscf[4] = {'M', 'S', 'C', 'F'};
const unsigned char kCryp[4] = {'C', 'R', 'Y', 'P'};
}  // namespace

CrypReadPlan PlanCrypRead(int64_t pos, uint32_t count) {
  // Positions outside a file's possible range are pinned so that the block
  // arithmetic below cannot overflow.
  constexpr int64_t kMaxPos = INT64_C(0x3FFFFFFFFFFFFFFF);
  if (pos < 0) pos = 0;
  if (pos > kMaxPos) pos = kMaxPos;
  if (count == 0) count = 1;
  if (count > kCrypMaxCount) count = kCrypMaxCount;  // keeps L within 32 bits
  CrypReadPlan plan;
  plan.alignedStart = pos & ~static_cast<int64_t>(7);
  const int64_t lastBlock = (pos + count - 1) & ~static_cast<int64_t>(7);
  plan.length = static_cast<uint32_t>(lastBlock - plan.alignedStart + 8);
  plan.skip = static_cast<uint32_t>(pos - plan.alignedStart);
  const int64_t c = static_cast<int64_t>(kCrypPlainBytes) - plan.alignedStart;
  plan.plainPrefix = c <= 0 ? 0u : (c >= plan.length ? plan.length : static_cast<uint32_t>(c));
  return plan;
}

void DecipherCrypSpan(const BlowfishContext* ctx, unsigned char* buf, const CrypReadPlan& plan) {
  if (plan.plainPrefix >= plan.length) return;
  // A is a multiple of 8 and so is 56, so the prefix is too when it is not
  // clamped to L; a clamped prefix leaves nothing to decipher.
  const size_t blocks = (plan.length - plan.plainPrefix) / 8;
  BlowfishDecryptBlocks(ctx, buf + plan.plainPrefix, blocks);
}

CabSignature ReadCabSignature(const unsigned char* data, size_t size) {
  if (data == nullptr || size < 4) return CabSignature::Other;
  if (std::memcmp(data, kMscf, 4) == 0) return CabSignature::Plain;
  if (std::memcmp(data, kCryp, 4) == 0) return CabSignature::Cryp;
  return CabSignature::Other;
}

void EncipherContainer(const BlowfishContext* ctx, std::vector<unsigned char>& cab) {
  const size_t padding = (8 - cab.size() % 8) % 8;
  cab.insert(cab.end(), padding, 0);
  if (cab.size() > kCrypPlainBytes)
    BlowfishEncryptBlocks(ctx, cab.data() + kCrypPlainBytes, (cab.size() - kCrypPlainBytes) / 8);
  if (cab.size() >= 4) std::memcpy(cab.data(), kCryp, 4);
}

bool DecipherContainer(const BlowfishContext* ctx, unsigned char* data, size_t size) {
  if (data == nullptr || size % 8 != 0 || ReadCabSignature(data, size) != CabSignature::Cryp)
    return false;
  if (size > kCrypPlainBytes)
    BlowfishDecryptBlocks(ctx, data + kCrypPlainBytes, (size - kCrypPlainBytes) / 8);
  std::memcpy(data, kMscf, 4);
  return true;
}
