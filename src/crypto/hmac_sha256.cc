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

void HmacSha256::start(Sha256* inner) const {
  inner->reset();
  if (!invalid_) inner->update(inner_pad_);
}

ByteBuffer HmacSha256::finish(Sha256* inner) const {
  if (invalid_) {
    inner->reset();
    return {};
  }
  uint8_t digest[Sha256::kDigestSize];
  inner->final(digest);
  inner->reset();
  Sha256 outer;
  outer.update(outer_pad_);
  outer.update(digest, sizeof digest);
  secureWipe(digest, sizeof digest);
  return outer.final();
}

ByteBuffer HmacSha256::mac(std::span<const uint8_t> message) const {
  if (invalid_) return {};
  Sha256 hash;
  start(&hash);
  hash.setProgress(progress_);
  if (!hash.update(message)) return {};
  hash.setProgress(nullptr);
  return finish(&hash);
}

}  // namespace vl
