#include "net/chunk_framing.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>
#include <vector>

#include "crypto/random_pool.h"
#include "net/chunk_header.h"

namespace vl {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(std::span<const uint8_t> span) { return Bytes(span.begin(), span.end()); }

Bytes pattern(size_t length, uint8_t seed) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed + i * 29);
  return out;
}

// The reference for the keys: 64 bytes of AES-256 over the counter blocks
// (block i is i as a little-endian u32, four times), MAC key first, and the
// Diffie-Hellman secret XOR-ed into the second half.
void opensslKeys(const Bytes& secret, const Bytes& dh, Bytes* macKey, Bytes* cipherKey) {
  Bytes counters;
  for (uint32_t block = 0; block < 4; ++block) {
    for (int copy = 0; copy < 4; ++copy) {
      for (int i = 0; i < 4; ++i) counters.push_back(static_cast<uint8_t>(block >> (8 * i)));
    }
  }
  Bytes stream(64);
  int length = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, secret.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, stream.data(), &length, counters.data(), 64);
  EVP_CIPHER_CTX_free(ctx);
  macKey->assign(stream.begin(), stream.begin() + 32);
  cipherKey->assign(stream.begin() + 32, stream.end());
  for (size_t i = 0; i < 32; ++i) (*cipherKey)[i] ^= dh[i];
}

Bytes opensslHmac(const Bytes& key, const Bytes& message) {
  Bytes tag(32);
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
       tag.data(), &length);
  return tag;
}

// AES-256-CBC with this program's padding (n - 1 zeros, then n).
Bytes opensslEncrypt(const Bytes& key, const Bytes& iv, Bytes plaintext) {
  const size_t pad = 16 - plaintext.size() % 16;
  plaintext.insert(plaintext.end(), pad - 1, 0);
  plaintext.push_back(static_cast<uint8_t>(pad));
  Bytes out(plaintext.size());
  int length = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv.data());
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, out.data(), &length, plaintext.data(), static_cast<int>(plaintext.size()));
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

Bytes withLabel(ChunkType type, bool zero, const Bytes& payload) {
  std::string_view label = chunkLabel(type);
  Bytes message(label.begin(), label.end());
  if (zero) message.push_back(0);
  message.insert(message.end(), payload.begin(), payload.end());
  return message;
}

class ChunkFramingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Bytes seed = pattern(32, 3);
    pool.addBytes(seed, true);
    ASSERT_TRUE(keys.derive(secret));
    ASSERT_TRUE(keys.establish(dh));
    opensslKeys(secret, dh, &macKey, &cipherKey);
  }

  // A request as an exchange builds it: its number, then a selector and a flag.
  ByteBuffer request(ChunkSequence& sequence, bool encrypt, ChunkType type = ChunkType::kFileListRequest) {
    ByteBuffer plaintext = startRequestPlaintext(sequence);
    plaintext.appendU32(7);
    plaintext.appendU8(1);
    return buildChunk(type, std::move(plaintext), encrypt, keys);
  }

  ByteBuffer answer(uint32_t number, bool encrypt) {
    ByteBuffer plaintext;
    plaintext.appendU32(number);
    plaintext.appendU16(0);
    return buildChunk(ChunkType::kFileListRequestResponse, std::move(plaintext), encrypt, keys);
  }

  // A chunk around any payload, with the right MAC for it.
  ByteBuffer assemble(ChunkType type, const Bytes& payload) {
    ByteBuffer chunk;
    appendChunkHeader(chunk, type);
    chunk.appendCounted(payload.data(), payload.size());
    chunk.appendCounted(chunkMac(keys, type, payload));
    updateChunkLength(chunk);
    return chunk;
  }

  const Bytes secret = pattern(32, 11);
  const Bytes dh = pattern(32, 200);
  RandomPool pool;
  ExchangeKeys keys{&pool};
  Bytes macKey;  // the reference's keys
  Bytes cipherKey;
};

TEST_F(ChunkFramingTest, AnEncryptedChunkMatchesOpenSslByteForByte) {
  ChunkSequence sequence;
  const ByteBuffer chunk = request(sequence, true);
  ASSERT_FALSE(chunk.empty());
  EXPECT_EQ(chunk.readPosition(), kChunkHeaderSize);
  const Bytes plaintext = {1, 0, 0, 0, 7, 0, 0, 0, 1};

  // Header, payload field (IV + one block), MAC field.
  const Bytes bytes = bytesOf(chunk.span());
  ASSERT_EQ(bytes.size(), 14u + 4 + 32 + 4 + 32);
  const Bytes head = {'C', 'H', 'K', 0, static_cast<uint8_t>(bytes.size()), 0, 0, 0, 8, 0, 0, 0, 1, 0};
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 14), head);
  EXPECT_EQ(Bytes(bytes.begin() + 14, bytes.begin() + 18), (Bytes{32, 0, 0, 0}));
  const Bytes iv(bytes.begin() + 18, bytes.begin() + 34);
  const Bytes payload(bytes.begin() + 18, bytes.begin() + 50);
  EXPECT_EQ(Bytes(bytes.begin() + 34, bytes.begin() + 50), opensslEncrypt(cipherKey, iv, plaintext));
  EXPECT_EQ(Bytes(bytes.begin() + 50, bytes.begin() + 54), (Bytes{32, 0, 0, 0}));
  EXPECT_EQ(Bytes(bytes.begin() + 54, bytes.end()),
            opensslHmac(macKey, withLabel(ChunkType::kFileListRequest, true, payload)));

  ByteBuffer opened;
  ASSERT_EQ(verifyAndOpen(chunk, ChunkType::kFileListRequest, true, keys, &opened),
            OpenStatus::kOpened);
  EXPECT_EQ(bytesOf(opened.span()), plaintext);
}

// The MAC input is the label, one zero byte and the payload: a peer that left
// out the zero, or the label, computes another tag.
TEST_F(ChunkFramingTest, TheLabelAndItsZeroByteAreInTheMacInput) {
  ChunkSequence sequence;
  const ByteBuffer chunk = request(sequence, false);
  ChunkFields fields;
  ASSERT_TRUE(readFields(chunk.span(), &fields));
  const Bytes payload = bytesOf(fields.payload);
  const Bytes mac = bytesOf(fields.mac);
  EXPECT_EQ(mac, opensslHmac(macKey, withLabel(ChunkType::kFileListRequest, true, payload)));
  EXPECT_NE(mac, opensslHmac(macKey, withLabel(ChunkType::kFileListRequest, false, payload)));
  EXPECT_NE(mac, opensslHmac(macKey, payload));

  // A chunk whose tag was made without the zero byte is refused.
  ByteBuffer noZero;
  appendChunkHeader(noZero, ChunkType::kFileListRequest);
  noZero.appendCounted(payload.data(), payload.size());
  const Bytes wrongTag = opensslHmac(macKey, withLabel(ChunkType::kFileListRequest, false, payload));
  noZero.appendCounted(wrongTag.data(), wrongTag.size());
  updateChunkLength(noZero);
  ByteBuffer opened;
  EXPECT_EQ(verifyAndOpen(noZero, ChunkType::kFileListRequest, false, keys, &opened),
            OpenStatus::kNotAuthentic);
}

TEST_F(ChunkFramingTest, AnyChangedByteOrAnotherLabelFailsTheMac) {
  ChunkSequence sequence;
  for (bool encrypt : {false, true}) {
    const ByteBuffer chunk = request(sequence, encrypt);
    ByteBuffer opened;
    ASSERT_EQ(verifyAndOpen(chunk, ChunkType::kFileListRequest, encrypt, keys, &opened),
              OpenStatus::kOpened);
    // Every byte after the header: lengths, payload and MAC.
    for (uint32_t i = kChunkHeaderSize; i < chunk.size(); ++i) {
      ByteBuffer changed = chunk;
      changed[i] ^= 0x01;
      EXPECT_EQ(verifyAndOpen(changed, ChunkType::kFileListRequest, encrypt, keys, &opened),
                OpenStatus::kNotAuthentic)
          << "byte " << i << (encrypt ? " encrypted" : "");
      EXPECT_TRUE(opened.empty());
    }
    // The header's type names the label: relabelled, the same bytes fail.
    ByteBuffer relabelled = chunk;
    relabelled[8] = static_cast<uint8_t>(wireChunkType(ChunkType::kFileDataRequest));
    EXPECT_EQ(verifyAndOpen(relabelled, ChunkType::kFileDataRequest, encrypt, keys, &opened),
              OpenStatus::kNotAuthentic);
    // Opened as another type than the header says: the label differs.
    EXPECT_EQ(verifyAndOpen(chunk, ChunkType::kFileDataRequest, encrypt, keys, &opened),
              OpenStatus::kNotAuthentic);
  }
}

TEST_F(ChunkFramingTest, FieldsAreReadStrictly) {
  ChunkSequence sequence;
  const ByteBuffer chunk = request(sequence, false);
  ChunkFields fields;
  ASSERT_TRUE(readFields(chunk.span(), &fields));
  EXPECT_EQ(fields.payload.size(), 9u);

  ByteBuffer trailing = chunk;
  trailing.appendU8(0);
  updateChunkLength(trailing);
  EXPECT_FALSE(readFields(trailing.span(), &fields));

  ByteBuffer shortMac;
  appendChunkHeader(shortMac, ChunkType::kFileListRequest);
  shortMac.appendCounted("abc", 3);
  shortMac.appendCounted(Bytes(31).data(), 31);
  updateChunkLength(shortMac);
  EXPECT_FALSE(readFields(shortMac.span(), &fields));

  ByteBuffer noMac;
  appendChunkHeader(noMac, ChunkType::kFileListRequest);
  noMac.appendCounted("abc", 3);
  updateChunkLength(noMac);
  EXPECT_FALSE(readFields(noMac.span(), &fields));

  // A payload count reaching past the end, even with a good header.
  ByteBuffer overlong = chunk;
  overlong[kChunkHeaderSize + 3] = 0x7f;
  EXPECT_FALSE(readFields(overlong.span(), &fields));

  ByteBuffer headerOnly;
  appendChunkHeader(headerOnly, ChunkType::kFileListRequest);
  EXPECT_FALSE(readFields(headerOnly.span(), &fields));
  EXPECT_FALSE(readFields(chunk.span().first(chunk.size() - 1), &fields));

  // Fields that read well are still refused when the header around them is
  // not that of a whole chunk: the MAC does not cover the header.
  ByteBuffer longerDeclared = chunk;
  longerDeclared[4] += 1;
  EXPECT_FALSE(readFields(longerDeclared.span(), &fields));
  ByteBuffer otherLetters = chunk;
  otherLetters[0] = 'X';
  EXPECT_FALSE(readFields(otherLetters.span(), &fields));
}

// The number is checked after the MAC, and only a chunk whose MAC checked can
// move the receiver's counter: a forged request carrying the right number
// must not make the genuine one look like a replay.
TEST_F(ChunkFramingTest, SequenceNumbersAreCheckedAfterTheMacAndOnlyThenAdvance) {
  ChunkSequence client;
  ChunkSequence server;
  const ByteBuffer first = request(client, false);
  EXPECT_EQ(client.last(), 1u);
  OpenedChunk opened;
  ASSERT_EQ(openRequest(first, ChunkType::kFileListRequest, false, keys, server, &opened),
            OpenStatus::kOpened);
  EXPECT_EQ(opened.number, 1u);
  StrictReader fields = opened.fields();
  uint32_t selector = 0;
  uint8_t flag = 0;
  ASSERT_TRUE(fields.readU32(&selector) && fields.readU8(&flag));
  EXPECT_EQ(selector, 7u);
  EXPECT_EQ(flag, 1u);
  EXPECT_TRUE(fields.atEnd());
  // Played again, the same chunk is refused.
  EXPECT_EQ(openRequest(first, ChunkType::kFileListRequest, false, keys, server, &opened),
            OpenStatus::kOutOfSequence);
  EXPECT_TRUE(opened.plaintext.empty());

  const ByteBuffer second = request(client, false);
  ByteBuffer forged = second;
  forged[forged.size() - 1] ^= 0x80;
  EXPECT_EQ(openRequest(forged, ChunkType::kFileListRequest, false, keys, server, &opened),
            OpenStatus::kNotAuthentic);
  EXPECT_EQ(server.last(), 1u);
  EXPECT_EQ(openRequest(second, ChunkType::kFileListRequest, false, keys, server, &opened),
            OpenStatus::kOpened);
  EXPECT_EQ(server.last(), 2u);

  // An answer must echo the last number sent, even with a good MAC.
  for (bool encrypt : {false, true}) {
    EXPECT_EQ(openAnswer(answer(2, encrypt), ChunkType::kFileListRequestResponse, encrypt,
                         keys, client, &opened),
              OpenStatus::kOpened);
    for (uint32_t wrong : {0u, 1u, 3u}) {
      EXPECT_EQ(openAnswer(answer(wrong, encrypt), ChunkType::kFileListRequestResponse,
                           encrypt, keys, client, &opened),
                OpenStatus::kOutOfSequence)
          << wrong;
      EXPECT_TRUE(opened.plaintext.empty());
    }
  }
  // An authentic answer too short to hold a number.
  ByteBuffer tooShort;
  tooShort.appendU16(0);
  const ByteBuffer bare =
      buildChunk(ChunkType::kFileListRequestResponse, std::move(tooShort), false, keys);
  EXPECT_EQ(openAnswer(bare, ChunkType::kFileListRequestResponse, false, keys, client, &opened),
            OpenStatus::kOutOfSequence);
}

TEST_F(ChunkFramingTest, EncryptionNeedsTheEstablishedKeyAndAPoolWithCredit) {
  ExchangeKeys halfKeys(&pool);
  ASSERT_TRUE(halfKeys.derive(secret));
  ByteBuffer plaintext("payload");
  EXPECT_TRUE(buildChunk(ChunkType::kFileData, plaintext, true, halfKeys).empty());
  const ByteBuffer macOnly = buildChunk(ChunkType::kFileData, plaintext, false, halfKeys);
  ASSERT_FALSE(macOnly.empty());
  // The MAC key is whole, so a chunk encrypted under the completed key is
  // authentic to these keys, but they must not decrypt it.
  EXPECT_FALSE(halfKeys.canDecrypt());
  const ByteBuffer encrypted = buildChunk(ChunkType::kFileData, plaintext, true, keys);
  ByteBuffer opened;
  EXPECT_EQ(verifyAndOpen(encrypted, ChunkType::kFileData, true, halfKeys, &opened),
            OpenStatus::kNotDecrypted);
  // Nor what a peer that never mixed in its secret encrypted under the
  // derived key alone.
  const Bytes iv = pattern(16, 77);
  Bytes payload = iv;
  const Bytes ciphertext =
      opensslEncrypt(bytesOf(halfKeys.cipherKey().span()), iv, bytesOf(plaintext.span()));
  payload.insert(payload.end(), ciphertext.begin(), ciphertext.end());
  const ByteBuffer underDerivedKey = assemble(ChunkType::kFileData, payload);
  EXPECT_EQ(verifyAndOpen(underDerivedKey, ChunkType::kFileData, true, halfKeys, &opened),
            OpenStatus::kNotDecrypted);
  EXPECT_TRUE(opened.empty());

  RandomPool poorPool;
  poorPool.addCredit(RandomPool::kReadyCredit - 1);
  ExchangeKeys poorKeys(&poorPool);
  ASSERT_TRUE(poorKeys.derive(secret) && poorKeys.establish(dh));
  EXPECT_FALSE(poorKeys.canEncrypt());
  EXPECT_TRUE(buildChunk(ChunkType::kFileData, plaintext, true, poorKeys).empty());
  poorPool.addCredit(1);
  EXPECT_TRUE(poorKeys.canEncrypt());
  EXPECT_FALSE(buildChunk(ChunkType::kFileData, plaintext, true, poorKeys).empty());

  ExchangeKeys noPool(nullptr);
  ASSERT_TRUE(noPool.derive(secret) && noPool.establish(dh));
  EXPECT_TRUE(buildChunk(ChunkType::kFileData, plaintext, true, noPool).empty());
  EXPECT_FALSE(buildChunk(ChunkType::kFileData, plaintext, false, noPool).empty());
}

TEST_F(ChunkFramingTest, WithoutKeysNothingIsBuiltOrAccepted) {
  ExchangeKeys none(&pool);
  ByteBuffer plaintext("payload");
  EXPECT_TRUE(buildChunk(ChunkType::kFileData, plaintext, false, none).empty());
  const ByteBuffer chunk = buildChunk(ChunkType::kFileData, plaintext, false, keys);
  ByteBuffer opened;
  EXPECT_EQ(verifyAndOpen(chunk, ChunkType::kFileData, false, none, &opened),
            OpenStatus::kNotAuthentic);
  // Keys from another secret do not open it either.
  ExchangeKeys other(&pool);
  ASSERT_TRUE(other.derive(pattern(32, 12)));
  EXPECT_EQ(verifyAndOpen(chunk, ChunkType::kFileData, false, other, &opened),
            OpenStatus::kNotAuthentic);
  // The two types without a MAC are never built here.
  EXPECT_TRUE(buildChunk(ChunkType::kExchangeStart, plaintext, false, keys).empty());
  EXPECT_TRUE(buildChunk(ChunkType::kAccountSetupRequest, plaintext, false, keys).empty());
}

// The receiver refuses chunks over 100 MiB, so none is built: the exchange
// learns it at once instead of sending one for the server to drop.
TEST_F(ChunkFramingTest, NoChunkIsBuiltLongerThanTheReceiverAccepts) {
  const uint32_t framing = kChunkHeaderSize + 4 + 4 + kChunkMacSize;
  const ByteBuffer largest =
      buildChunk(ChunkType::kFileData, ByteBuffer(kMaxChunkLength - framing), false, keys);
  EXPECT_EQ(largest.size(), kMaxChunkLength);
  EXPECT_TRUE(isCompleteChunk(largest.span()));
  EXPECT_TRUE(
      buildChunk(ChunkType::kFileData, ByteBuffer(kMaxChunkLength - framing + 1), false, keys)
          .empty());
}

// Authentic chunks whose payload is no ciphertext: too short for an IV, an
// IV alone, or padding that cannot be.
TEST_F(ChunkFramingTest, AnAuthenticPayloadThatDoesNotDecryptIsReportedAsSuch) {
  ByteBuffer opened;
  for (size_t length : {0u, 15u, 16u, 40u}) {
    const ByteBuffer chunk = assemble(ChunkType::kRecoverResponse, pattern(length, 9));
    EXPECT_EQ(verifyAndOpen(chunk, ChunkType::kRecoverResponse, false, keys, &opened),
              OpenStatus::kOpened);
    EXPECT_EQ(verifyAndOpen(chunk, ChunkType::kRecoverResponse, true, keys, &opened),
              OpenStatus::kNotDecrypted)
        << length;
    EXPECT_TRUE(opened.empty());
  }
}

TEST(ExchangeKeysTest, KeysComeAndGoWithTheSecretAndAreEstablishedOnce) {
  ExchangeKeys keys(nullptr);
  const Bytes dh = pattern(32, 1);
  EXPECT_FALSE(keys.establish(dh));
  ASSERT_TRUE(keys.derive(pattern(32, 2)));
  EXPECT_TRUE(keys.present());
  EXPECT_FALSE(keys.established());
  const ByteBuffer derived = keys.cipherKey();
  EXPECT_FALSE(keys.establish(pattern(31, 1)));
  ASSERT_TRUE(keys.establish(dh));
  EXPECT_TRUE(keys.canDecrypt());
  // A second XOR would give back the derived key.
  EXPECT_FALSE(keys.establish(dh));
  EXPECT_NE(keys.cipherKey(), derived);

  // A new start chunk: new keys, not yet established.
  ASSERT_TRUE(keys.derive(pattern(32, 3)));
  EXPECT_FALSE(keys.established());
  EXPECT_FALSE(keys.canDecrypt());
  EXPECT_FALSE(keys.derive(pattern(31, 3)));
  EXPECT_FALSE(keys.present());
  EXPECT_FALSE(keys.canAuthenticate());
  EXPECT_TRUE(keys.macKey().empty());
}

}  // namespace
}  // namespace vl
