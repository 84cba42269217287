#include "crypto/rsa_key.h"

#include <atomic>
#include <cstring>

#include "core/secure_wipe.h"
#include "crypto/bignum_ifma_batch.h"
#include "crypto/rsa_prime.h"
#include "crypto/serpent_cipher.h"
#include "crypto/sha256.h"

namespace vl {
namespace {

constexpr uint32_t kDigestBytes = 32;
constexpr uint32_t kMaxLimbs = MontgomeryModulus::kMaxLimbs;

std::atomic<bool> acceptDamaged{false};

// e^-1 mod m from the small prime e alone: with r = m mod e and
// t = -r^-1 mod e (Fermat), e * d = 1 + m * t, so d = (1 + m * t) / e.
// The only value-dependent work is on r; m passes through one
// multiplication and one division by e. False when e divides m.
bool exponentInverse(const BigNumber& m, BigNumber* d) {
  const uint64_t e = RsaKey::kPublicExponent;
  uint64_t r = m.modSmall(RsaKey::kPublicExponent);
  if (r == 0) return false;
  // r^(e - 2) with e - 2 = 0xFFFF: every one of the 16 steps multiplies.
  uint64_t inverse = 1;
  uint64_t power = r;
  for (int bit = 0; bit < 16; ++bit) {
    inverse = inverse * power % e;
    power = power * power % e;
  }
  BigNumber t(e - inverse);
  BigNumber product;
  bool ok = BigNumber::multiply(m, t, &product) &&
            BigNumber::add(product, BigNumber(1), &product) &&
            BigNumber::divide(product, BigNumber(e), d, nullptr);
  return ok;
}

// q mod p in plain form, in the working width of modP; q may exceed p (a
// loaded short form need not list the larger prime first).
bool reduceQ(const MontgomeryModulus& modP, const BigNumber& q, uint64_t* out) {
  ScratchLimbs<2 * kMaxLimbs> wide;
  if (!modP.load(wide, q)) return false;
  // q / R mod p, then times R^2 gives q mod p.
  modP.reduceWide(out, wide);
  modP.toMontgomery(out, out);
  return true;
}

// True when q * inverse mod p is 1, for q mod p and inverse in plain form.
bool isInverse(const MontgomeryModulus& modP, const uint64_t* qm, const uint64_t* inverse) {
  ScratchLimbs<> check;
  // (q * R) * inverse / R.
  modP.toMontgomery(check, qm);
  modP.multiply(check, check, inverse);
  uint64_t difference = check[0] ^ 1;
  for (uint32_t i = 1; i < modP.limbs(); ++i) difference |= check[i];
  return difference == 0;
}

// Equality of two secret values without an early exit.
bool sameValue(const BigNumber& a, const BigNumber& b) {
  uint32_t limbs = a.limbCount() > b.limbCount() ? a.limbCount() : b.limbCount();
  uint64_t difference = 0;
  for (uint32_t i = 0; i < limbs; ++i) {
    uint64_t x = i < a.limbCount() ? a.limbs()[i] : 0;
    uint64_t y = i < b.limbCount() ? b.limbs()[i] : 0;
    difference |= x ^ y;
  }
  return difference == 0;
}

// The secret a wrapped value x stands for.
ByteBuffer secretOf(const BigNumber& x) { return sha256(x.toBytes(0)); }

}  // namespace

uint32_t RsaKey::modulusBytesFor(uint32_t bits) {
  uint32_t blocks = static_cast<uint32_t>((uint64_t{bits} + 127) / 128);
  return (blocks < 4 ? 4 : blocks) * 16;
}

void RsaKey::reset() {
  valid_ = false;
  has_private_ = false;
  modulus_bytes_ = 0;
  pool_ = nullptr;
  p_ = q_ = dp_ = dq_ = qinv_ = n_ = BigNumber();
  mont_n_ = mont_p_ = mont_q_ = MontgomeryModulus();
}

void RsaKey::reduceBelow(BigNumber* x, const BigNumber& n) {
  for (uint32_t bit = x->bitLength(); bit-- > 0 && BigNumber::compare(*x, n) >= 0;) {
    x->clearBit(bit);
  }
}

bool RsaKey::finishPublic() {
  // A fixed width (not n's own length) keeps the timing tied to the key size.
  if (!mont_n_.init(n_, modulus_bytes_ / 8)) return false;
  valid_ = true;
  return true;
}

bool RsaKey::deriveFromPrimes() {
  BigNumber pMinusOne;
  BigNumber qMinusOne;
  if (!BigNumber::subtract(p_, BigNumber(1), &pMinusOne) ||
      !BigNumber::subtract(q_, BigNumber(1), &qMinusOne) || !exponentInverse(pMinusOne, &dp_) ||
      !exponentInverse(qMinusOne, &dq_) || !BigNumber::multiply(p_, q_, &n_)) {
    return false;
  }
  // qInv = q^(p - 2) mod p when p is prime, computed in constant time and
  // checked; a p that is not prime falls back to Euclid's algorithm.
  uint32_t width = modulus_bytes_ / 16;
  MontgomeryModulus modP;
  ScratchLimbs<> qm, inverse, exponent;
  if (!modP.init(p_, width) || !reduceQ(modP, q_, qm)) return false;
  BigNumber pMinusTwo;
  BigNumber::subtract(p_, BigNumber(2), &pMinusTwo);
  std::memcpy(exponent, pMinusTwo.limbs(), pMinusTwo.limbCount() * sizeof(uint64_t));
  modP.powSecretPlain(inverse, qm, exponent, 64 * width);
  if (!isInverse(modP, qm, inverse)) return BigNumber::modInverse(q_, p_, &qinv_);
  return qinv_.setLimbs(inverse, width);
}

void acceptDamagedCrtValues(bool accept) { acceptDamaged = accept; }

bool RsaKey::checkStoredValues() const {
  if (acceptDamaged) return true;
  uint32_t width = modulus_bytes_ / 16;
  BigNumber pMinusOne;
  BigNumber qMinusOne;
  BigNumber dp;
  BigNumber dq;
  MontgomeryModulus modP;
  ScratchLimbs<> qm, qinv;
  bool ok = BigNumber::subtract(p_, BigNumber(1), &pMinusOne) &&
            BigNumber::subtract(q_, BigNumber(1), &qMinusOne) &&
            exponentInverse(pMinusOne, &dp) && exponentInverse(qMinusOne, &dq) &&
            sameValue(dp, dp_) && sameValue(dq, dq_) && modP.init(p_, width) &&
            reduceQ(modP, q_, qm) && modP.load(qinv, qinv_) && isInverse(modP, qm, qinv);
  return ok;
}

bool RsaKey::finishPrivate() {
  uint32_t width = modulus_bytes_ / 16;
  BigNumber product;
  if (!BigNumber::multiply(p_, q_, &product) || !(product == n_)) return false;
  if (BigNumber::compare(qinv_, p_) >= 0) return false;
  if (!mont_p_.init(p_, width) || !mont_q_.init(q_, width)) return false;
  if (!finishPublic()) return false;
  has_private_ = true;
  return true;
}

bool RsaKey::generate(RsaKeyKind kind, RandomPool* pool) {
  reset();
  if (pool == nullptr || pool->credit() < kRequiredCredit) return false;
  kind_ = kind;
  pool_ = pool;
  modulus_bytes_ = kModulusBytes;
  const uint32_t half = kModulusBytes / 2;
  const uint32_t candidates = 20 * kModulusBytes;
  BigNumber first;
  BigNumber second;
  if (!generatePrime(*pool, half, candidates, &first) ||
      !generatePrime(*pool, half, candidates, &second)) {
    reset();
    return false;
  }
  bool swap = BigNumber::compare(first, second) < 0;
  p_ = swap ? second : first;
  q_ = swap ? first : second;
  if (!deriveFromPrimes() || !finishPrivate()) {
    reset();
    return false;
  }
  return true;
}

bool RsaKey::load(std::span<const uint8_t> bytes, bool isPrivate, uint32_t bits, RsaKeyKind kind,
                  RandomPool* pool) {
  reset();
  const uint32_t size = modulusBytesFor(bits);
  if (size > kMaxModulusBytes) return false;
  kind_ = kind;
  pool_ = pool;
  modulus_bytes_ = size;
  const uint32_t half = size / 2;
  bool ok = false;
  if (!isPrivate) {
    ok = bytes.size() == size && n_.fromBytes(bytes) && finishPublic();
  } else if (bytes.size() == size) {
    ok = p_.fromBytes(bytes.subspan(0, half)) && q_.fromBytes(bytes.subspan(half, half)) &&
         p_.isOdd() && q_.isOdd() && deriveFromPrimes() && finishPrivate();
  } else if (bytes.size() == size / 2 * 7) {
    ok = p_.fromBytes(bytes.subspan(0, half)) && q_.fromBytes(bytes.subspan(half, half)) &&
         dp_.fromBytes(bytes.subspan(2 * half, half)) &&
         dq_.fromBytes(bytes.subspan(3 * half, half)) &&
         qinv_.fromBytes(bytes.subspan(4 * half, half)) &&
         n_.fromBytes(bytes.subspan(5 * half, size)) && p_.isOdd() && q_.isOdd() &&
         BigNumber::compare(qinv_, p_) < 0 && checkStoredValues() && finishPrivate();
  }
  if (!ok) reset();
  return ok;
}

ByteBuffer RsaKey::exportPublic() const {
  if (!valid_) return {};
  return n_.toBytes(modulus_bytes_);
}

ByteBuffer RsaKey::exportShort() const {
  if (!hasPrivatePart()) return {};
  const uint32_t half = modulus_bytes_ / 2;
  ByteBuffer out(modulus_bytes_);
  p_.toBytes(out.data(), half);
  q_.toBytes(out.data() + half, half);
  return out;
}

ByteBuffer RsaKey::exportFull() const {
  if (!hasPrivatePart()) return {};
  const uint32_t half = modulus_bytes_ / 2;
  ByteBuffer out(7 * half);
  const BigNumber* parts[] = {&p_, &q_, &dp_, &dq_, &qinv_};
  for (uint32_t i = 0; i < 5; ++i) parts[i]->toBytes(out.data() + i * half, half);
  n_.toBytes(out.data() + 5 * half, modulus_bytes_);
  return out;
}

bool RsaKey::publicOperation(const BigNumber& x, BigNumber* result) const {
  if (!valid_ || x.isNegative() || BigNumber::compare(x, n_) >= 0) return false;
  return mont_n_.expPublic(x, BigNumber(kPublicExponent), result);
}

void RsaKey::splitBase(const BigNumber& x, uint64_t* xp, uint64_t* xq) const {
  // x < n = p * q < p * R, so one reduction gives x / R mod p, and a
  // multiplication by R^2 gives x mod p.
  ScratchLimbs<2 * kMaxLimbs> wide;
  std::memcpy(wide, x.limbs(), x.limbCount() * sizeof(uint64_t));
  mont_p_.reduceWide(xp, wide);
  mont_p_.toMontgomery(xp, xp);
  mont_q_.reduceWide(xq, wide);
  mont_q_.toMontgomery(xq, xq);
}

bool RsaKey::joinHalves(uint64_t* m1, const uint64_t* m2, BigNumber* result) const {
  const uint32_t width = mont_p_.limbs();
  ScratchLimbs<2 * kMaxLimbs + 1> product;
  ScratchLimbs<> h, qinv;
  // h = qInv * (m1 - m2) mod p, taken in [0, p): m2 * R mod p is subtracted
  // from m1 * R in Montgomery form, and the product with qInv (in plain form)
  // leaves the Montgomery form.
  mont_p_.toMontgomery(m1, m1);
  mont_p_.toMontgomery(h, m2);
  mont_p_.subtractMod(h, m1, h);
  std::memcpy(qinv, qinv_.limbs(), qinv_.limbCount() * sizeof(uint64_t));
  mont_p_.multiply(h, h, qinv);

  // result = m2 + h * q, which is below p * q.
  const uint64_t* q = mont_q_.modulus();
  for (uint32_t i = 0; i < width; ++i) {
    uint64_t carry = 0;
    for (uint32_t j = 0; j < width; ++j) {
      unsigned __int128 t = static_cast<unsigned __int128>(h[i]) * q[j] + product[i + j] + carry;
      product[i + j] = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
    product[i + width] = carry;
  }
  uint64_t carry = 0;
  for (uint32_t i = 0; i < 2 * width; ++i) {
    unsigned __int128 t =
        static_cast<unsigned __int128>(product[i]) + (i < width ? m2[i] : 0) + carry;
    product[i] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
  return result->setLimbs(product, 2 * width);
}

bool RsaKey::privateOperation(const BigNumber& x, BigNumber* result) const {
  if (!hasPrivatePart() || x.isNegative() || BigNumber::compare(x, n_) >= 0) return false;
  const uint32_t width = mont_p_.limbs();
  ScratchLimbs<> xp, xq, m1, m2, dp, dq;
  splitBase(x, xp, xq);
  // m1 = x^dP mod p and m2 = x^dQ mod q over the full exponent width.
  std::memcpy(dp, dp_.limbs(), dp_.limbCount() * sizeof(uint64_t));
  std::memcpy(dq, dq_.limbs(), dq_.limbCount() * sizeof(uint64_t));
  MontgomeryModulus::powSecretPlainPair(mont_p_, m1, xp, dp, mont_q_, m2, xq, dq, 64 * width);
  return joinHalves(m1, m2, result) && confirmPrivate(x, result);
}

bool RsaKey::confirmPrivate(const BigNumber& x, BigNumber* result) const {
  BigNumber check;
  bool ok = BigNumber::compare(*result, n_) < 0 &&
            mont_n_.expPublic(*result, BigNumber(kPublicExponent), &check) && check == x;
  if (!ok) *result = BigNumber();
  return ok;
}

bool RsaKey::encapsulate(RandomPool* pool, ByteBuffer* secret, ByteBuffer* ciphertext) const {
  secret->clear();
  ciphertext->clear();
  if (!valid_ || kind_ != RsaKeyKind::kEncryption || pool == nullptr ||
      pool->credit() < kRequiredCredit) {
    return false;
  }
  ByteBuffer raw;
  if (!pool->generate(modulus_bytes_, raw)) return false;
  BigNumber x;
  BigNumber wrapped;
  if (!x.fromBytes(raw.span())) return false;
  reduceBelow(&x, n_);
  if (!publicOperation(x, &wrapped)) return false;
  *secret = secretOf(x);
  *ciphertext = wrapped.toBytes(modulus_bytes_);
  return true;
}

bool RsaKey::readCiphertext(std::span<const uint8_t> ciphertext, BigNumber* c) const {
  return ciphertext.size() == modulus_bytes_ && c->fromBytes(ciphertext) &&
         BigNumber::compare(*c, n_) < 0;
}

ByteBuffer RsaKey::decapsulate(std::span<const uint8_t> ciphertext) const {
  if (!hasPrivatePart() || kind_ != RsaKeyKind::kEncryption) return {};
  BigNumber c;
  BigNumber x;
  if (!readCiphertext(ciphertext, &c) || !privateOperation(c, &x)) return {};
  return secretOf(x);
}

std::vector<ByteBuffer> RsaKey::decapsulateBatch(
    std::span<const std::span<const uint8_t>> ciphertexts) const {
  std::vector<ByteBuffer> secrets(ciphertexts.size());
  if (!hasPrivatePart() || kind_ != RsaKeyKind::kEncryption) return secrets;
  const IfmaModulus& ifmaP = mont_p_.ifma();
  const IfmaModulus& ifmaQ = mont_q_.ifma();
  if (!IfmaBatch::supports(ifmaP) || !IfmaBatch::supports(ifmaQ)) {
    for (size_t i = 0; i < ciphertexts.size(); ++i) secrets[i] = decapsulate(ciphertexts[i]);
    return secrets;
  }

  constexpr uint32_t kLanes = IfmaBatch::kLanes;
  // Eight lanes cost a little over four single operations: fewer than this
  // many ciphertexts go one at a time.
  constexpr uint32_t kSmallestBatch = 5;
  const uint32_t width = mont_p_.limbs();
  ScratchLimbs<> dp, dq;
  std::memcpy(dp, dp_.limbs(), dp_.limbCount() * sizeof(uint64_t));
  std::memcpy(dq, dq_.limbs(), dq_.limbCount() * sizeof(uint64_t));
  ScratchLimbs<> xp[kLanes], xq[kLanes], m1[kLanes], m2[kLanes];
  const uint64_t* xpIn[kLanes];
  const uint64_t* xqIn[kLanes];
  uint64_t* m1Out[kLanes];
  uint64_t* m2Out[kLanes];
  for (uint32_t k = 0; k < kLanes; ++k) {
    xpIn[k] = xp[k];
    xqIn[k] = xq[k];
    m1Out[k] = m1[k];
    m2Out[k] = m2[k];
  }
  // The ciphertexts that pass the checks go eight at a time; the lane
  // holds the index of its ciphertext.
  size_t lane[kLanes];
  BigNumber input[kLanes];
  size_t next = 0;
  while (next < ciphertexts.size()) {
    uint32_t count = 0;
    for (; next < ciphertexts.size() && count < kLanes; ++next) {
      if (!readCiphertext(ciphertexts[next], &input[count])) continue;
      splitBase(input[count], xp[count], xq[count]);
      lane[count++] = next;
    }
    if (count == 0) break;
    if (count >= kSmallestBatch) {
      IfmaBatch::powSecret(ifmaP, m1Out, xpIn, count, dp, 64 * width);
      IfmaBatch::powSecret(ifmaQ, m2Out, xqIn, count, dq, 64 * width);
    } else {
      for (uint32_t k = 0; k < count; ++k) {
        MontgomeryModulus::powSecretPlainPair(mont_p_, m1[k], xp[k], dp, mont_q_, m2[k], xq[k], dq,
                                              64 * width);
      }
    }
    for (uint32_t k = 0; k < count; ++k) {
      BigNumber x;
      if (joinHalves(m1[k], m2[k], &x) && confirmPrivate(input[k], &x)) {
        secrets[lane[k]] = secretOf(x);
      }
    }
  }
  return secrets;
}

ByteBuffer RsaKey::sign(std::span<const uint8_t> digest) const {
  if (!hasPrivatePart() || kind_ != RsaKeyKind::kSigning || digest.size() != kDigestBytes) {
    return {};
  }
  SerpentCipher serpent(digest);
  ByteBuffer stream = serpent.keystream(modulus_bytes_);
  if (stream.size() != modulus_bytes_) return {};
  BigNumber x;
  BigNumber signature;
  if (!x.fromBytes(stream.span())) return {};
  reduceBelow(&x, n_);
  if (!privateOperation(x, &signature)) return {};
  return signature.toBytes(modulus_bytes_);
}

ByteBuffer signMessage(std::span<const uint8_t> message, std::span<const uint8_t> signingKey,
                       RandomPool* pool) {
  if (signingKey.size() != RsaKey::kModulusBytes && signingKey.size() != RsaKey::kFullFormBytes) {
    return {};
  }
  RsaKey key;
  if (!key.load(signingKey, true, RsaKey::kBits, RsaKeyKind::kSigning, pool)) return {};
  ByteBuffer digest = sha256(message);
  return key.sign(digest.span());
}

}  // namespace vl
