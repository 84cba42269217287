#include "crypto/signature_check.h"

#include <gtest/gtest.h>

#include <string_view>

#include "rsa_test_keys.h"

namespace vl {
namespace {

// The public half of a fixed key, loaded as `kind`.
bool loadPublic(const RsaKey& key, RsaKeyKind kind, RsaKey* out) {
  const ByteBuffer n = key.exportPublic();
  return out->load(n.span(), false, RsaKey::kBits, kind, nullptr);
}

TEST(SignatureCheckTest, ASignedMessageVerifiesUnderThePublicHalfAndNothingElseDoes) {
  test::FixedKeys& keys = test::fixedKeys();
  ASSERT_TRUE(keys.ok);
  RsaKey signer;
  ASSERT_TRUE(loadPublic(keys.signing, RsaKeyKind::kSigning, &signer));
  const ByteBuffer message(std::string_view("a start chunk's signed block"));
  const ByteBuffer signature = signMessage(message.span(), keys.signing.exportShort().span(), &keys.pool);
  ASSERT_EQ(signature.size(), 256u);
  EXPECT_TRUE(verifySignature(message.span(), signature.span(), signer));

  // Another message, another signature byte, or the same bytes under
  // another account's key.
  ByteBuffer changed = message;
  changed[3] ^= 1;
  EXPECT_FALSE(verifySignature(changed.span(), signature.span(), signer));
  for (uint32_t i : {0u, 100u, 255u}) {
    ByteBuffer forged = signature;
    forged[i] ^= 0x10;
    EXPECT_FALSE(verifySignature(message.span(), forged.span(), signer)) << i;
  }
  RsaKey other;
  ASSERT_TRUE(loadPublic(keys.other, RsaKeyKind::kSigning, &other));
  EXPECT_FALSE(verifySignature(message.span(), signature.span(), other));
  // The account's key loaded as an encryption key signs nothing.
  RsaKey wrongKind;
  ASSERT_TRUE(loadPublic(keys.signing, RsaKeyKind::kEncryption, &wrongKind));
  EXPECT_FALSE(verifySignature(message.span(), signature.span(), wrongKind));
  EXPECT_FALSE(verifySignature(message.span(), signature.span(), RsaKey()));
}

// A signature is a number below n in exactly modulus bytes: a longer string
// with the same value, or n itself (whose power is 0, like that of 0), is
// refused.
TEST(SignatureCheckTest, SignaturesOfAnotherLengthOrNotBelowTheModulusAreRefused) {
  test::FixedKeys& keys = test::fixedKeys();
  ASSERT_TRUE(keys.ok);
  RsaKey signer;
  ASSERT_TRUE(loadPublic(keys.signing, RsaKeyKind::kSigning, &signer));
  const ByteBuffer message(std::string_view("message"));
  ByteBuffer signature = signMessage(message.span(), keys.signing.exportFull().span(), &keys.pool);
  ASSERT_TRUE(verifySignature(message.span(), signature.span(), signer));

  ByteBuffer padded = signature;
  padded.appendU8(0);
  EXPECT_FALSE(verifySignature(message.span(), padded.span(), signer));
  ByteBuffer cut(signature.data(), 255);
  EXPECT_FALSE(verifySignature(message.span(), cut.span(), signer));
  EXPECT_FALSE(verifySignature(message.span(), signer.exportPublic().span(), signer));
  EXPECT_FALSE(verifySignature(message.span(), ByteBuffer(256).span(), signer));

  // s + n has the same power as s; some message's signature leaves room for
  // it in 256 bytes.
  for (uint32_t i = 0;; ++i) {
    ASSERT_LT(i, 64u);
    ByteBuffer other(std::string_view("message"));
    other.appendU32(i);
    BigNumber s;
    ASSERT_TRUE(s.fromBytes(signMessage(other.span(), keys.signing.exportFull().span(), &keys.pool).span()));
    BigNumber shifted;
    ASSERT_TRUE(BigNumber::add(s, signer.modulus(), &shifted));
    if (shifted.bitLength() > 2048) continue;
    EXPECT_FALSE(verifySignature(other.span(), shifted.toBytes(256).span(), signer));
    EXPECT_TRUE(verifySignature(other.span(), s.toBytes(256).span(), signer));
    break;
  }
}

}  // namespace
}  // namespace vl
