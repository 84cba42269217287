// ExchangeKeys: the two keys with which one exchange authenticates and
// encrypts its chunks, and the pool that gives its initialisation vectors.
//
// Each time an exchange builds a start chunk, RSA key encapsulation gives it a
// new 32-byte exchange secret; derive() turns that into the MAC key (key 0 of
// deriveKeys) and the cipher key (key 1). With transport encryption on, the
// server's startup answer completes the cipher key: establish() XORs the
// Diffie-Hellman secret into it. Until then nothing may be encrypted, so a
// cipher key that an eavesdropper on the RSA step alone could know is never
// used.
//
// What each use needs:
// - a MAC (computing or checking): keys present, MAC key of 32 bytes;
// - encrypting: cipher key established and 32 bytes, and a pool with at least
//   512 units of credit (it supplies the IVs);
// - decrypting: cipher key established and 32 bytes.
#pragma once

#include <cstdint>
#include <span>

#include "core/byte_buffer.h"

namespace vl {

class RandomPool;

class ExchangeKeys {
 public:
  static constexpr uint32_t kKeySize = 32;
  static constexpr uint32_t kSecretSize = 32;

  // No keys yet. `pool` (may be null: nothing can then be encrypted) must
  // outlive the object.
  explicit ExchangeKeys(RandomPool* pool) : pool_(pool) {}
  ExchangeKeys(const ExchangeKeys&) = delete;
  ExchangeKeys& operator=(const ExchangeKeys&) = delete;

  // New keys from a 32-byte exchange secret: present set, established
  // cleared. False, with no keys at all, for a secret of another length.
  [[nodiscard]] bool derive(std::span<const uint8_t> exchangeSecret);
  // XORs a 32-byte Diffie-Hellman secret into the cipher key and marks it
  // established. False, with nothing changed, when no keys are present, the
  // key is already established (a second XOR would undo the first) or the
  // secret is not 32 bytes.
  [[nodiscard]] bool establish(std::span<const uint8_t> dhSecret);
  // Wipes both keys; present and established cleared.
  void clear();

  bool present() const { return present_; }
  bool established() const { return established_; }
  bool canAuthenticate() const;
  bool canEncrypt() const;
  bool canDecrypt() const;

  const ByteBuffer& macKey() const { return mac_key_; }
  const ByteBuffer& cipherKey() const { return cipher_key_; }
  RandomPool* pool() const { return pool_; }

 private:
  ByteBuffer mac_key_;
  ByteBuffer cipher_key_;
  bool present_ = false;
  bool established_ = false;
  RandomPool* pool_ = nullptr;
};

}  // namespace vl
