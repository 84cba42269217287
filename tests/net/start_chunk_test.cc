#include "net/start_chunk.h"

#include <gtest/gtest.h>

#include "crypto/random_pool.h"
#include "net/transport_dh.h"
#include "start_test_util.h"

namespace vl {
namespace {

using test::Bytes;
using test::bytesOf;
using test::StartParts;
using test::StartWorld;

class StartChunkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(world.keys.ok); }

  BuiltStart build(bool encrypt, bool first = true) {
    BuiltStart built;
    EXPECT_TRUE(buildStartChunk(world.input(encrypt, first), world.server, &world.keys.pool,
                                &keys, &built));
    return built;
  }

  StartWorld world;
  ExchangeKeys keys{&world.keys.pool};
};

// Written again from its parts by the hand-written form, the chunk is the
// same byte for byte; the holder of the server key gets the client's keys.
TEST_F(StartChunkTest, AFirstEncryptedStartHasTheAgreedLayoutAndCarriesTheClientsKeys) {
  const BuiltStart built = build(true);
  EXPECT_EQ(built.chunk.readPosition(), kChunkHeaderSize);
  ParsedStart start;
  ASSERT_TRUE(parseStartChunk(built.chunk.span(), &start));
  EXPECT_EQ(start.userNumber, test::kUser);
  EXPECT_EQ(start.serverKeyNumber, test::kKeyNumber);
  EXPECT_EQ(start.encryptionFlag, 1);
  EXPECT_TRUE(start.first);
  EXPECT_EQ(bytesOf(start.accountString), bytesOf(world.account.span()));
  EXPECT_EQ(start.encapsulated.size(), 256u);
  ASSERT_TRUE(start.dhValue.has_value());
  EXPECT_EQ(bytesOf(*start.dhValue), bytesOf(TransportDh::publicValueOf(built.dhExponent.span()).span()));
  EXPECT_EQ(built.dhExponent.size(), TransportDh::kExponentSize);

  StartParts parts = StartParts::of(start);
  parts.signature = bytesOf(start.signature);
  EXPECT_EQ(bytesOf(parts.chunk(world).span()), bytesOf(built.chunk.span()));
  EXPECT_EQ(bytesOf(start.signature),
            bytesOf(signMessage(start.signedBlock, world.signingKey.span(), &world.keys.pool).span()));

  ExchangeKeys server(nullptr);
  ASSERT_TRUE(server.derive(world.serverPrivate.decapsulate(start.encapsulated).span()));
  EXPECT_EQ(server.macKey(), keys.macKey());
  EXPECT_EQ(server.cipherKey(), keys.cipherKey());
  EXPECT_TRUE(keys.present());
  EXPECT_FALSE(keys.established());
}

TEST_F(StartChunkTest, AReconnectWithoutEncryptionLeavesOutTheMarkerAndX) {
  const BuiltStart built = build(false, false);
  EXPECT_TRUE(built.dhExponent.empty());
  ParsedStart start;
  ASSERT_TRUE(parseStartChunk(built.chunk.span(), &start));
  EXPECT_EQ(start.encryptionFlag, 0);
  EXPECT_FALSE(start.first);
  EXPECT_FALSE(start.dhValue.has_value());
  // The signed block ends with the account string.
  EXPECT_EQ(start.accountString.data() + start.accountString.size(),
            start.signedBlock.data() + start.signedBlock.size());
}

TEST_F(StartChunkTest, EveryStartHasNewRandomBytesANewSecretAndNewKeys) {
  const BuiltStart first = build(true);
  const ByteBuffer firstMac = keys.macKey();
  const BuiltStart second = build(true);
  ParsedStart a, b;
  ASSERT_TRUE(parseStartChunk(first.chunk.span(), &a));
  ASSERT_TRUE(parseStartChunk(second.chunk.span(), &b));
  EXPECT_NE(bytesOf(a.nonce), bytesOf(b.nonce));
  EXPECT_NE(bytesOf(a.encapsulated), bytesOf(b.encapsulated));
  EXPECT_NE(first.dhExponent, second.dhExponent);
  EXPECT_NE(firstMac, keys.macKey());
}

// A failed rebuild must not leave the keys of the previous start in place.
TEST_F(StartChunkTest, TheKeySizeCodeFixesTheModulusLengthAndAFailureClearsTheKeys) {
  EXPECT_EQ(serverModulusBytes(0), 256u);
  EXPECT_EQ(serverModulusBytes(1), 384u);
  EXPECT_EQ(serverModulusBytes(2), 512u);
  EXPECT_FALSE(serverModulusBytes(3).has_value());
  EXPECT_FALSE(serverModulusBytes(0xffff).has_value());

  const ByteBuffer n = world.keys.encryption.exportPublic();
  ByteBuffer longer = n;
  longer.appendU8(0);
  const ServerKey wrong[] = {
      {3, test::kKeyNumber, n},
      {1, test::kKeyNumber, n},
      {0, test::kKeyNumber, ByteBuffer(n.data(), 255)},
      {0, test::kKeyNumber, longer},
  };
  for (const ServerKey& server : wrong) {
    build(false);
    ASSERT_TRUE(keys.present());
    BuiltStart built;
    EXPECT_FALSE(buildStartChunk(world.input(true), server, &world.keys.pool, &keys, &built));
    EXPECT_TRUE(built.chunk.empty());
    EXPECT_TRUE(built.dhExponent.empty());
    EXPECT_FALSE(keys.present());
  }
}

TEST_F(StartChunkTest, NoStartIsBuiltFromAPoolWithoutCreditOrWithoutASigningKey) {
  RandomPool empty;
  empty.addCredit(RandomPool::kReadyCredit - 1);
  BuiltStart built;
  EXPECT_FALSE(buildStartChunk(world.input(true), world.server, &empty, &keys, &built));
  EXPECT_FALSE(keys.present());
  StartChunkInput unsigned_ = world.input(false);
  unsigned_.signingKey = {};
  EXPECT_FALSE(buildStartChunk(unsigned_, world.server, &world.keys.pool, &keys, &built));
  EXPECT_TRUE(built.chunk.empty());
}

// Every way of writing a start chunk that the parser refuses, and the few
// variations it takes (their values are judged later, with answer codes).
TEST_F(StartChunkTest, TheParserRefusesEveryMalformedChunk) {
  const BuiltStart built = build(true);
  ParsedStart start;
  ASSERT_TRUE(parseStartChunk(built.chunk.span(), &start));
  const StartParts good = StartParts::of(start);
  ASSERT_TRUE(parseStartChunk(good.chunk(world).span(), &start));

  auto refused = [&](StartParts parts, const char* what) {
    ParsedStart out;
    out.userNumber = 99;
    EXPECT_FALSE(parseStartChunk(parts.chunk(world).span(), &out)) << what;
    EXPECT_EQ(out.userNumber, 99u) << what;
  };
  StartParts p = good;
  p.chunkTail = {0};
  refused(p, "a byte after the signature");
  p = good;
  p.nonce.pop_back();
  refused(p, "7 random bytes");
  p = good;
  p.nonce.push_back(1);
  refused(p, "9 random bytes");
  for (const Bytes& tail : {Bytes{0}, Bytes{1, 0}, Bytes{0, 0, 0}, Bytes{0, 0, 0, 0}}) {
    p = good;
    p.signedTail = tail;
    refused(p, "after the account string");
  }
  p = good;
  p.keyBlockTail = {0};
  refused(p, "a byte after X");
  p = good;
  p.dhValue.reset();
  p.keyBlockTail = {1, 0};
  refused(p, "a cut field in place of X");

  // Cut anywhere inside the body, with the header's length made to fit.
  const ByteBuffer whole = good.chunk(world);
  for (uint32_t length = kChunkHeaderSize; length < whole.size(); ++length) {
    ByteBuffer cut(whole.data(), length);
    updateChunkLength(cut);
    EXPECT_FALSE(parseStartChunk(cut.span(), &start)) << length;
  }
  // The right body under another chunk type, and a chunk that is incomplete.
  ByteBuffer relabelled = whole;
  relabelled[8] = 2;
  EXPECT_FALSE(parseStartChunk(relabelled.span(), &start));
  EXPECT_FALSE(parseStartChunk(whole.span().first(whole.size() - 1), &start));

  // Taken: other versions and flags, no X, an empty account and nonce-sized
  // parts of any value; no marker.
  p = good;
  p.protocol = 2;
  p.version = 8;
  p.keyBlockVersion = 9;
  p.flag = 7;
  p.dhValue.reset();
  p.account.clear();
  p.signedTail.clear();
  p.encapsulated = {1, 2, 3};
  ASSERT_TRUE(parseStartChunk(p.chunk(world).span(), &start));
  EXPECT_EQ(start.protocol, 2);
  EXPECT_EQ(start.version, 8);
  EXPECT_EQ(start.keyBlockVersion, 9);
  EXPECT_EQ(start.encryptionFlag, 7);
  EXPECT_FALSE(start.first);
  EXPECT_FALSE(start.dhValue.has_value());
  EXPECT_EQ(start.encapsulated.size(), 3u);
}

}  // namespace
}  // namespace vl
