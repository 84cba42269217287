// RsaKey: one RSA key pair (or its public half) of the account or the server.
//
// The public exponent is always 65537 and is never stored. A key is either an
// encryption key (kind 0: key encapsulation for sections and exchanges) or a
// signing key (kind 1: deterministic full-domain-hash signatures of 32-byte
// digests). Numbers cross byte boundaries little-endian, padded at the top:
//
//   public form       n                                  modulus bytes
//   short private     p || q                             modulus bytes
//   full private      p || q || dP || dQ || qInv || n    3.5 * modulus bytes
//
// where p, q, dP, dQ and qInv take half the modulus bytes each. p is the
// larger prime for generated keys. The private operation uses the CRT values
// and runs in constant time, and its result is checked with the public
// exponent before it is used; the Montgomery set-up of n, p and q is done once
// when the key is made or loaded, so a loaded key is read-only and may be used
// from several threads at once.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/bignum.h"
#include "crypto/bignum_montgomery.h"
#include "crypto/random_pool.h"

namespace vl {

enum class RsaKeyKind : uint8_t { kEncryption = 0, kSigning = 1 };

class RsaKey {
 public:
  static constexpr uint32_t kPublicExponent = 65537;
  static constexpr uint32_t kBits = 2048;
  static constexpr uint32_t kModulusBytes = 256;
  static constexpr uint32_t kFullFormBytes = kModulusBytes / 2 * 7;
  // Keys above 4096 bits (512 modulus bytes) are not handled.
  static constexpr uint32_t kMaxModulusBytes = 512;
  // Pool credit needed for generation and encapsulation.
  static constexpr uint32_t kRequiredCredit = RandomPool::kReadyCredit;

  RsaKey() = default;
  RsaKey(const RsaKey&) = delete;
  RsaKey& operator=(const RsaKey&) = delete;
  // The numbers wipe themselves.
  ~RsaKey() = default;

  // The modulus byte count that `bits` asks for: max(ceil(bits / 128), 4) * 16.
  static uint32_t modulusBytesFor(uint32_t bits);

  // Makes a 2048-bit pair of the given kind from the pool: two primes of 1024
  // bits from at most 5120 candidates each, p the larger. False (the key is
  // then invalid) with less than 512 pool credit, a cancelled pool, no prime
  // found or a missing inverse. The pool is kept for encapsulation.
  bool generate(RsaKeyKind kind, RandomPool* pool);

  // Reads a key of `bits` bits. A public key must be exactly modulusBytesFor
  // (bits) long. A private key is either that long (short form; dP, dQ, qInv
  // and n are computed) or 3.5 times that long (full form, whose n must be
  // p * q and whose dP, dQ and qInv must be what p and q give). Also
  // refused: moduli or primes that are even or below 3, a missing inverse,
  // and keys above 4096 bits. Any refusal leaves the key invalid.
  bool load(std::span<const uint8_t> bytes, bool isPrivate, uint32_t bits, RsaKeyKind kind,
            RandomPool* pool);

  bool valid() const { return valid_; }
  RsaKeyKind kind() const { return kind_; }
  bool hasPrivatePart() const { return valid_ && has_private_; }
  uint32_t modulusBytes() const { return modulus_bytes_; }
  const BigNumber& modulus() const { return n_; }

  // n in modulus bytes; empty for an invalid key.
  ByteBuffer exportPublic() const;
  // p || q, and the full form; empty without the private part.
  ByteBuffer exportShort() const;
  ByteBuffer exportFull() const;

  // Encryption keys: x = modulus bytes from the pool reduced below n,
  // secret = SHA-256 of x's word form, ciphertext = x^65537 mod n in modulus
  // bytes. False with both outputs empty for a signing key, an invalid key,
  // too little pool credit or a cancelled pool.
  bool encapsulate(ByteBuffer* secret, ByteBuffer* ciphertext) const {
    return encapsulate(pool_, secret, ciphertext);
  }
  // The same drawing from another pool than the key's own.
  bool encapsulate(RandomPool* pool, ByteBuffer* secret, ByteBuffer* ciphertext) const;
  // The secret of a ciphertext, on an encryption key with its private part.
  // Empty when the ciphertext is not exactly modulus bytes or not below n.
  ByteBuffer decapsulate(std::span<const uint8_t> ciphertext) const;
  // The secrets of several ciphertexts: entry i is exactly what
  // decapsulate(ciphertexts[i]) gives, empty ones included. Where the
  // processor allows, the private operations run eight at a time (with
  // five or more at hand), in a little over half the time each.
  std::vector<ByteBuffer> decapsulateBatch(
      std::span<const std::span<const uint8_t>> ciphertexts) const;
  // The signature of a 32-byte digest, on a signing key with its private
  // part: the digest keys a Serpent counter generator whose modulus bytes of
  // stream, reduced below n, go through the private operation. The same
  // digest always gives the same signature. Empty for any other digest
  // length or key.
  ByteBuffer sign(std::span<const uint8_t> digest) const;

  // x^65537 mod n and x^d mod n (by CRT) for 0 <= x < n; false when the key
  // lacks what the operation needs or x is out of range. Every private
  // result (here, in decapsulation and in signing) is checked with the
  // public exponent before it is used; one that does not verify fails.
  bool publicOperation(const BigNumber& x, BigNumber* result) const;
  bool privateOperation(const BigNumber& x, BigNumber* result) const;

  // Clears the highest bits of x, one at a time from the top, until x < n:
  // how random strings are brought below the modulus.
  static void reduceBelow(BigNumber* x, const BigNumber& n);

 private:
  void reset();
  // Computes n, dP, dQ and qInv from p and q.
  bool deriveFromPrimes();
  // True when the stored dP, dQ and qInv of a full form are the values that
  // p and q give.
  bool checkStoredValues() const;
  // Sets up the Montgomery moduli and checks the values; marks the key valid.
  bool finishPrivate();
  bool finishPublic();
  // c from a ciphertext of exactly modulus bytes; false unless c < n.
  bool readCiphertext(std::span<const uint8_t> ciphertext, BigNumber* c) const;
  // The CRT halves of the private operation: x mod p and x mod q, in plain
  // form, for 0 <= x < n; and the result below n from m1 = x^dP mod p and
  // m2 = x^dQ mod q (m1 is overwritten).
  void splitBase(const BigNumber& x, uint64_t* xp, uint64_t* xq) const;
  bool joinHalves(uint64_t* m1, const uint64_t* m2, BigNumber* result) const;
  // Checks a private-operation result of x with the public exponent: a
  // value right modulo one prime only (a fault in the arithmetic, a damaged
  // CRT value) would give away the factors of n to whoever sees it. False,
  // with the result wiped to zero, when it does not verify.
  bool confirmPrivate(const BigNumber& x, BigNumber* result) const;

  bool valid_ = false;
  bool has_private_ = false;
  RsaKeyKind kind_ = RsaKeyKind::kEncryption;
  uint32_t modulus_bytes_ = 0;
  RandomPool* pool_ = nullptr;
  BigNumber p_;
  BigNumber q_;
  BigNumber dp_;
  BigNumber dq_;
  BigNumber qinv_;
  BigNumber n_;
  MontgomeryModulus mont_n_;
  MontgomeryModulus mont_p_;
  MontgomeryModulus mont_q_;
};

// Test hook: with `accept` true, full forms loaded afterwards skip the check
// of their dP, dQ and qInv, so that a test can reach the check of every
// private-key result with a damaged key.
void acceptDamagedCrtValues(bool accept);

// The signature of SHA-256(message) under a signing key given as its short
// (256 bytes) or full (896 bytes) private form. Empty for any other length or
// a key that does not load.
ByteBuffer signMessage(std::span<const uint8_t> message, std::span<const uint8_t> signingKey,
                       RandomPool* pool);

}  // namespace vl
