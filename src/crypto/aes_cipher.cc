#include "crypto/aes_cipher.h"

#include <cstring>

#include "core/secure_wipe.h"
#include "crypto/aes_blocks.h"
#include "crypto/cpu_features.h"
#include "crypto/progress_tally.h"

namespace vl {
namespace {

const aes_internal::AesBlockFunctions& functionsFor(bool hardware) {
  return hardware ? aes_internal::hardwareFunctions() : aes_internal::portableFunctions();
}

}  // namespace

AesCipher::AesCipher(std::span<const uint8_t> key) {
  // The key is expanded by the same implementation that will use it.
  const bool hardware = useAesInstructions();
  rounds_ = functionsFor(hardware).expandKey(key.data(), key.size(), encryption_keys_,
                                             decryption_keys_);
  valid_ = rounds_ != 0;
  key_length_ = valid_ ? static_cast<uint32_t>(key.size()) : 0;
  hardware_ = valid_ && hardware;
}

AesCipher::~AesCipher() {
  secureWipe(encryption_keys_, sizeof encryption_keys_);
  secureWipe(decryption_keys_, sizeof decryption_keys_);
  secureWipe(chaining_, sizeof chaining_);
}

void AesCipher::setChainingValue(std::span<const uint8_t, kBlockSize> value) {
  std::memcpy(chaining_, value.data(), kBlockSize);
}

void AesCipher::wipe(ByteBuffer& buffer) {
  buffer.clear();
  secureWipe(chaining_, sizeof chaining_);
}

bool AesCipher::encryptBuffer(ByteBuffer& buffer) {
  if (!valid_) {
    wipe(buffer);
    return false;
  }
  const uint32_t padding = kBlockSize - buffer.size() % kBlockSize;
  buffer.resize(buffer.size() + padding);
  buffer[buffer.size() - 1] = static_cast<uint8_t>(padding);
  const auto& functions = functionsFor(hardware_);
  const size_t blocks = buffer.size() / kBlockSize;
  ProgressTally tally(progress_);
  if (!tally.attached()) {
    functions.cbcEncrypt(encryption_keys_, rounds_, chaining_, buffer.data(), blocks);
  } else {
    for (size_t i = 0; i < blocks; ++i) {
      if (!tally.step(kBlockSize)) {
        wipe(buffer);
        return false;
      }
      functions.cbcEncrypt(encryption_keys_, rounds_, chaining_, buffer.data() + i * kBlockSize, 1);
    }
  }
  secureWipe(chaining_, sizeof chaining_);
  return true;
}

bool AesCipher::decryptBuffer(ByteBuffer& buffer) {
  if (!valid_) {
    wipe(buffer);
    return false;
  }
  const uint32_t size = buffer.size();
  if (size == 0 || size % kBlockSize != 0) {
    secureWipe(chaining_, sizeof chaining_);
    return false;
  }
  const auto& functions = functionsFor(hardware_);
  const size_t blocks = size / kBlockSize;
  ProgressTally tally(progress_);
  if (!tally.attached()) {
    functions.cbcDecrypt(decryption_keys_, rounds_, chaining_, buffer.data(), blocks);
  } else {
    for (size_t i = 0; i < blocks; ++i) {
      // A partly decrypted buffer is plain data too: it goes the same way.
      if (!tally.step(kBlockSize)) {
        wipe(buffer);
        return false;
      }
      functions.cbcDecrypt(decryption_keys_, rounds_, chaining_, buffer.data() + i * kBlockSize, 1);
    }
  }
  secureWipe(chaining_, sizeof chaining_);
  const uint32_t padding = buffer[size - 1];
  if (padding > kBlockSize) {
    wipe(buffer);
    return false;
  }
  if (padding >= size) {
    buffer.clear();
  } else {
    buffer.resize(size - padding);
  }
  return true;
}

bool AesCipher::decryptBlocks(std::span<uint8_t> data) {
  if (!valid_ || data.size() % kBlockSize != 0) return false;
  functionsFor(hardware_).cbcDecrypt(decryption_keys_, rounds_, chaining_, data.data(),
                                     data.size() / kBlockSize);
  return true;
}

void AesCipher::endChaining() { secureWipe(chaining_, sizeof chaining_); }

bool AesCipher::encryptBlock(uint8_t block[kBlockSize]) const {
  if (!valid_) {
    secureWipe(block, kBlockSize);
    return false;
  }
  functionsFor(hardware_).encryptBlock(encryption_keys_, rounds_, block);
  return true;
}

bool AesCipher::decryptBlock(uint8_t block[kBlockSize]) const {
  if (!valid_) {
    secureWipe(block, kBlockSize);
    return false;
  }
  functionsFor(hardware_).decryptBlock(decryption_keys_, rounds_, block);
  return true;
}

ByteBuffer AesCipher::keystream(uint32_t length) {
  if (!valid_) return {};
  const size_t blocks = (static_cast<size_t>(length) + kBlockSize - 1) / kBlockSize;
  ByteBuffer stream(blocks * kBlockSize);
  const auto& functions = functionsFor(hardware_);
  ProgressTally tally(progress_);
  if (!tally.attached()) {
    functions.counter(encryption_keys_, rounds_, 0, stream.data(), blocks);
  } else {
    for (size_t i = 0; i < blocks; ++i) {
      if (!tally.step(kBlockSize)) return {};  // `stream` wipes itself
      functions.counter(encryption_keys_, rounds_, static_cast<uint32_t>(i),
                        stream.data() + i * kBlockSize, 1);
    }
  }
  stream.resize(length);
  return stream;
}

}  // namespace vl
