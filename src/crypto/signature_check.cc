#include "crypto/signature_check.h"

#include "crypto/bignum.h"
#include "crypto/serpent_cipher.h"
#include "crypto/sha256.h"
#include "crypto/tag_compare.h"

namespace vl {

bool verifySignature(std::span<const uint8_t> message, std::span<const uint8_t> signature,
                     const RsaKey& publicKey) {
  if (!publicKey.valid() || publicKey.kind() != RsaKeyKind::kSigning) return false;
  const uint32_t length = publicKey.modulusBytes();
  BigNumber s;
  if (signature.size() != length || !s.fromBytes(signature) ||
      BigNumber::compare(s, publicKey.modulus()) >= 0) {
    return false;
  }
  BigNumber recovered;
  if (!publicKey.publicOperation(s, &recovered)) return false;

  ByteBuffer digest = sha256(message);
  SerpentCipher serpent(digest.span());
  ByteBuffer stream = serpent.keystream(length);
  BigNumber expected;
  if (stream.size() != length || !expected.fromBytes(stream.span())) return false;
  RsaKey::reduceBelow(&expected, publicKey.modulus());
  return tagsMatch(expected.toBytes(length).span(), recovered.toBytes(length).span());
}

}  // namespace vl
