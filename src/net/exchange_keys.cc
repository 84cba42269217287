#include "net/exchange_keys.h"

#include "crypto/key_derivation.h"
#include "crypto/random_pool.h"

namespace vl {

bool ExchangeKeys::derive(std::span<const uint8_t> exchangeSecret) {
  clear();
  if (exchangeSecret.size() != kSecretSize) return false;
  KeyPair pair = deriveKeys(exchangeSecret);
  if (pair.count != 2) return false;
  mac_key_ = pair.key(0);
  cipher_key_ = pair.key(1);
  present_ = true;
  return true;
}

bool ExchangeKeys::establish(std::span<const uint8_t> dhSecret) {
  if (!present_ || established_ || dhSecret.size() != kKeySize ||
      cipher_key_.size() != kKeySize) {
    return false;
  }
  for (uint32_t i = 0; i < kKeySize; ++i) cipher_key_[i] ^= dhSecret[i];
  established_ = true;
  return true;
}

void ExchangeKeys::clear() {
  mac_key_.clear();
  cipher_key_.clear();
  present_ = false;
  established_ = false;
}

bool ExchangeKeys::canAuthenticate() const { return present_ && mac_key_.size() == kKeySize; }

bool ExchangeKeys::canDecrypt() const { return established_ && cipher_key_.size() == kKeySize; }

bool ExchangeKeys::canEncrypt() const {
  return canDecrypt() && pool_ != nullptr && pool_->credit() >= RandomPool::kReadyCredit;
}

}  // namespace vl
