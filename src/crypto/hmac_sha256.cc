#include "crypto/hmac_sha256.h"

#include "core/secure_wipe.h"
#include "crypto/sha256.h"

namespace vl {

HmacSha256::HmacSha256(std::span<const uint8_t> key) {
  if (key.size() < kMinKeySize || key.size() > kMaxKeySize) {
    invalid_ = true;
    return;
  }
  inner_pad_.resize(Sha256::kBlockSize);
  outer_pad_.resize(Sha256::kBlockSize);
  for (size_t i = 0; i < Sha256::kBlockSize; ++i) {
    uint8_t k = i < key.size() ? key[i] : 0;
    inner_pad_[i] = k ^ 0x36;
    outer_pad_[i] = k ^ 0x5c;
  }
}

ByteBuffer HmacSha256::mac(std::span<const uint8_t> message) const {
  if (invalid_) return {};
  uint8_t inner[Sha256::kDigestSize];
  Sha256 hash;
  hash.update(inner_pad_);
  hash.setProgress(progress_);
  if (!hash.update(message)) return {};
  hash.final(inner);
  hash.setProgress(nullptr);
  hash.reset();
  hash.update(outer_pad_);
  hash.update(inner, sizeof inner);
  secureWipe(inner, sizeof inner);
  return hash.final();
}

}  // namespace vl
