#include "net/transport_dh.h"

#include <cstring>

#include "crypto/bignum.h"
#include "crypto/bignum_montgomery.h"
#include "crypto/random_pool.h"
#include "crypto/sha256.h"

namespace vl {
namespace {

constexpr uint32_t kLimbs = TransportDh::kValueSize / 8;
constexpr uint32_t kExponentLimbs = TransportDh::kExponentSize / 8;

// RFC 3526 group 14, least significant byte first.
constexpr uint8_t kPrime[TransportDh::kValueSize] = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x68, 0xaa, 0xac, 0x8a, 0x5a, 0x8e, 0x72, 0x15,
    0x10, 0x05, 0xfa, 0x98, 0x18, 0x26, 0xd2, 0x15, 0xe5, 0x6a, 0x95, 0xea, 0x7c, 0x49, 0x95, 0x39,
    0x18, 0x17, 0x58, 0x95, 0xf6, 0xcb, 0x2b, 0xde, 0xc9, 0x52, 0x4c, 0x6f, 0xf0, 0x5d, 0xc5, 0xb5,
    0x8f, 0xa2, 0x07, 0xec, 0xa2, 0x83, 0x27, 0x9b, 0x03, 0x86, 0x0e, 0x18, 0x2c, 0x77, 0x9e, 0xe3,
    0x3b, 0xce, 0x36, 0x2e, 0x46, 0x5e, 0x90, 0x32, 0x7c, 0x21, 0x18, 0xca, 0x08, 0x6c, 0x74, 0xf1,
    0x04, 0x98, 0xbc, 0x4a, 0x4e, 0x35, 0x0c, 0x67, 0x6d, 0x96, 0x96, 0x70, 0x07, 0x29, 0xd5, 0x9e,
    0xbb, 0x52, 0x85, 0x20, 0x56, 0xf3, 0x62, 0x1c, 0x96, 0xad, 0xa3, 0xdc, 0x23, 0x5d, 0x65, 0x83,
    0x5f, 0xcf, 0x24, 0xfd, 0xa8, 0x3f, 0x16, 0x69, 0x9a, 0xd3, 0x55, 0x1c, 0x36, 0x48, 0xda, 0x98,
    0x05, 0xbf, 0x63, 0xa1, 0xb8, 0x7c, 0x00, 0xc2, 0x3d, 0x5b, 0xe4, 0xec, 0x51, 0x66, 0x28, 0x49,
    0xe6, 0x1f, 0x4b, 0x7c, 0x11, 0x24, 0x9f, 0xae, 0xa5, 0x9f, 0x89, 0x5a, 0xfb, 0x6b, 0x38, 0xee,
    0xed, 0xb7, 0x06, 0xf4, 0xb6, 0x5c, 0xff, 0x0b, 0x6b, 0xed, 0x37, 0xa6, 0xe9, 0x42, 0x4c, 0xf4,
    0xc6, 0x7e, 0x5e, 0x62, 0x76, 0xb5, 0x85, 0xe4, 0x45, 0xc2, 0x51, 0x6d, 0x6d, 0x35, 0xe1, 0x4f,
    0x37, 0x14, 0x5f, 0xf2, 0x6d, 0x0a, 0x2b, 0x30, 0x1b, 0x43, 0x3a, 0xcd, 0xb3, 0x19, 0x95, 0xef,
    0xdd, 0x04, 0x34, 0x8e, 0x79, 0x08, 0x4a, 0x51, 0x22, 0x9b, 0x13, 0x3b, 0xa6, 0xbe, 0x0b, 0x02,
    0x74, 0xcc, 0x67, 0x8a, 0x08, 0x4e, 0x02, 0x29, 0xd1, 0x1c, 0xdc, 0x80, 0x8b, 0x62, 0xc6, 0xc4,
    0x34, 0xc2, 0x68, 0x21, 0xa2, 0xda, 0x0f, 0xc9, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
};

void loadLittleEndian(uint64_t* limbs, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    limbs[i / 8] |= uint64_t{bytes[i]} << (8 * (i % 8));
  }
}

void storeLittleEndian(uint8_t* bytes, const uint64_t* limbs, uint32_t count) {
  for (uint32_t i = 0; i < 8 * count; ++i) {
    bytes[i] = static_cast<uint8_t>(limbs[i / 8] >> (8 * (i % 8)));
  }
}

// Arithmetic modulo p, set up once and then only read (any thread may use it).
const MontgomeryModulus& primeModulus() {
  static const MontgomeryModulus modulus = [] {
    MontgomeryModulus m;
    BigNumber p;
    p.fromBytes(kPrime);
    m.init(p, kLimbs);
    return m;
  }();
  return modulus;
}

// base^exponent mod p for a 64-byte exponent, over all 512 of its bits.
ByteBuffer power(const uint64_t* base, std::span<const uint8_t> exponent) {
  ScratchLimbs<kExponentLimbs> e;
  loadLittleEndian(e, exponent);
  ScratchLimbs<> result;
  primeModulus().powSecretPlain(result, base, e, 8 * TransportDh::kExponentSize);
  ByteBuffer out(TransportDh::kValueSize);
  storeLittleEndian(out.data(), result, kLimbs);
  return out;
}

// Compares two little-endian strings of equal length as numbers.
int compareLittleEndian(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  for (size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

}  // namespace

std::span<const uint8_t, TransportDh::kValueSize> TransportDh::prime() {
  return std::span<const uint8_t, kValueSize>(kPrime);
}

bool TransportDh::generate(RandomPool* pool, ByteBuffer* exponent, ByteBuffer* publicValue) {
  exponent->clear();
  publicValue->clear();
  if (pool == nullptr || !pool->generate(kExponentSize, *exponent) ||
      exponent->size() != kExponentSize) {
    exponent->clear();
    return false;
  }
  *publicValue = publicValueOf(exponent->span());
  return true;
}

ByteBuffer TransportDh::publicValueOf(std::span<const uint8_t> exponent) {
  if (exponent.size() != kExponentSize) return {};
  ScratchLimbs<> two;
  two[0] = 2;
  return power(two, exponent);
}

bool TransportDh::acceptablePeerValue(std::span<const uint8_t> value) {
  if (value.size() != kValueSize) return false;
  // 1 < value: some byte above the lowest is set, or the lowest is above 1.
  bool aboveOne = value[0] > 1;
  for (size_t i = 1; i < kValueSize && !aboveOne; ++i) aboveOne = value[i] != 0;
  // value < p - 1. p is odd, so p - 1 differs from p only in the lowest byte.
  uint8_t belowPrime[kValueSize];
  std::memcpy(belowPrime, kPrime, kValueSize);
  belowPrime[0] -= 1;
  return aboveOne && compareLittleEndian(value, belowPrime) < 0;
}

ByteBuffer TransportDh::agree(std::span<const uint8_t> exponent,
                              std::span<const uint8_t> peerValue) {
  if (exponent.size() != kExponentSize || !acceptablePeerValue(peerValue)) return {};
  uint8_t any = 0;
  for (uint8_t byte : exponent) any |= byte;
  if (any == 0) return {};
  ScratchLimbs<> y;
  loadLittleEndian(y, peerValue);
  ByteBuffer shared = power(y, exponent);
  return sha256(shared);
}

}  // namespace vl
