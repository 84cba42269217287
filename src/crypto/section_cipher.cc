#include "crypto/section_cipher.h"

#include <cstring>

namespace vl {

SectionCipher::SectionCipher(std::span<const uint8_t> masterKey, RandomPool* pool)
    : SectionCipher(deriveKeys(masterKey), pool) {}

SectionCipher::SectionCipher(const KeyPair& keys, RandomPool* pool)
    : pool_(pool), encryption_(keys.key(0)), authentication_(keys.key(1)) {
  failed_ = keys.count < 2 || pool == nullptr || !encryption_.valid() || !authentication_.valid();
}

void SectionCipher::setProgress(ProgressCounter* progress) {
  encryption_.setProgress(progress);
  authentication_.setProgress(progress);
}

void SectionCipher::failWith(ByteBuffer& buffer) { buffer.clear(); }

bool SectionCipher::seal(ByteBuffer& buffer) {
  if (failed_) {
    failWith(buffer);
    return false;
  }
  if (!pool_->ready()) {
    // Too little randomness: nothing of the plaintext is lost, but this
    // cipher refuses from now on.
    failed_ = true;
    return false;
  }
  ByteBuffer iv;
  if (!pool_->generate(kIvSize, iv)) {
    failWith(buffer);
    return false;
  }
  encryption_.setChainingValue(std::span<const uint8_t, kIvSize>(iv.data(), kIvSize));
  if (!encryption_.encryptBuffer(buffer)) {
    failWith(buffer);
    return false;
  }
  // IV in front: one move of the ciphertext inside the same buffer.
  const uint32_t cipher_size = buffer.size();
  buffer.resize(cipher_size + kIvSize);
  std::memmove(buffer.data() + kIvSize, buffer.data(), cipher_size);
  std::memcpy(buffer.data(), iv.data(), kIvSize);
  ByteBuffer tag = authentication_.mac(buffer);
  if (tag.size() != kTagSize) {
    failWith(buffer);
    return false;
  }
  buffer.appendBytes(tag);
  return true;
}

bool SectionCipher::open(ByteBuffer& buffer) {
  if (failed_ || buffer.size() < kTagSize) {
    failWith(buffer);
    return false;
  }
  const uint32_t body_size = buffer.size() - static_cast<uint32_t>(kTagSize);
  ByteBuffer expected = authentication_.mac(std::span<const uint8_t>(buffer.data(), body_size));
  if (expected.size() != kTagSize) {
    failWith(buffer);
    return false;
  }
  // Every byte pair is compared and the differences gathered before the one
  // test, so the time taken does not tell how much of a forged tag was right.
  const uint8_t* received = buffer.data() + body_size;
  volatile uint8_t difference = 0;
  for (size_t i = 0; i < kTagSize; ++i) difference = difference | (expected[i] ^ received[i]);
  if (difference != 0 || body_size < kIvSize) {
    failWith(buffer);
    return false;
  }
  buffer.resize(body_size);
  encryption_.setChainingValue(std::span<const uint8_t, kIvSize>(buffer.data(), kIvSize));
  std::memmove(buffer.data(), buffer.data() + kIvSize, body_size - kIvSize);
  buffer.resize(body_size - kIvSize);
  if (!encryption_.decryptBuffer(buffer)) {
    failWith(buffer);
    return false;
  }
  return true;
}

}  // namespace vl
