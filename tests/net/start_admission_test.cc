#include "net/start_admission.h"

#include <gtest/gtest.h>

#include "net/chunk_framing.h"
#include "net/startup_answer.h"
#include "net/transport_dh.h"
#include "start_test_util.h"

namespace vl {
namespace {

using test::Bytes;
using test::bytesOf;
using test::StartParts;
using test::StartWorld;

class StartAdmissionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(world.keys.ok); }

  BuiltStart build(bool encrypt) {
    BuiltStart built;
    EXPECT_TRUE(buildStartChunk(world.input(encrypt), world.server, &world.keys.pool, &client,
                                &built));
    return built;
  }

  StartAdmission admit(std::span<const uint8_t> chunk) {
    return admitStart(chunk, world.serverPrivate, test::kKeyNumber, world.lookup(),
                      &world.keys.pool, &server);
  }

  // The parts of a fresh encrypted start, for variants of it.
  StartParts goodParts() {
    const BuiltStart built = build(true);
    ParsedStart start;
    EXPECT_TRUE(parseStartChunk(built.chunk.span(), &start));
    return StartParts::of(start);
  }

  StartWorld world;
  ExchangeKeys client{&world.keys.pool};
  ExchangeKeys server{&world.keys.pool};
};

TEST_F(StartAdmissionTest, AnAdmittedEncryptedStartGivesBothSidesTheSameEstablishedKeys) {
  BuiltStart built = build(true);
  StartAdmission admission = admit(built.chunk.span());
  ASSERT_EQ(admission.code, StartAnswerCode::kAdmitted);
  EXPECT_TRUE(admission.encrypt);
  ASSERT_EQ(admission.serverDhValue.size(), TransportDh::kValueSize);
  EXPECT_TRUE(server.established());

  const ByteBuffer answer =
      buildStartupAnswer(admission.code, true, admission.serverDhValue.span(), server);
  const StartupResult result =
      handleStartupAnswer(answer.span(), ExchangeKind::kBackup, true, &client, &built.dhExponent);
  ASSERT_EQ(result.outcome, StartupOutcome::kAdmitted);
  EXPECT_TRUE(result.message.english.empty());
  EXPECT_TRUE(client.established());
  EXPECT_EQ(client.macKey(), server.macKey());
  EXPECT_EQ(client.cipherKey(), server.cipherKey());
  EXPECT_TRUE(built.dhExponent.empty());

  // The first request, encrypted by the client, opens on the server.
  ChunkSequence sent, accepted;
  ByteBuffer plaintext = startRequestPlaintext(sent);
  plaintext.appendU32(0);
  const ByteBuffer request = buildChunk(ChunkType::kFileListRequest, std::move(plaintext), true, client);
  OpenedChunk opened;
  EXPECT_EQ(openRequest(request, ChunkType::kFileListRequest, true, server, accepted, &opened),
            OpenStatus::kOpened);
}

TEST_F(StartAdmissionTest, WithoutEncryptionTheAnswerHasNoKeyFieldAndNoCipherKeyIsEstablished) {
  BuiltStart built = build(false);
  StartAdmission admission = admit(built.chunk.span());
  ASSERT_EQ(admission.code, StartAnswerCode::kAdmitted);
  EXPECT_FALSE(admission.encrypt);
  EXPECT_TRUE(admission.serverDhValue.empty());
  const ByteBuffer answer = buildStartupAnswer(admission.code, false, {}, server);
  ChunkFields fields;
  ASSERT_TRUE(readFields(answer.span(), &fields));
  EXPECT_EQ(bytesOf(fields.payload), (Bytes{0, 0}));
  EXPECT_EQ(handleStartupAnswer(answer.span(), ExchangeKind::kList, false, &client, &built.dhExponent)
                .outcome,
            StartupOutcome::kAdmitted);
  EXPECT_FALSE(client.established());
  EXPECT_FALSE(server.established());
  EXPECT_EQ(client.macKey(), server.macKey());
}

// Each variant breaks one check, or several to show which comes first.
TEST_F(StartAdmissionTest, ChecksRunInTheirOrderAndTheFirstFailureNamesTheCode) {
  const StartParts good = goodParts();
  struct Case {
    const char* what;
    void (*change)(StartParts&);
    StartAnswerCode code;
  };
  const Case cases[] = {
      {"protocol", [](StartParts& p) { p.protocol = 2; }, StartAnswerCode::kOutdatedClient},
      {"version", [](StartParts& p) { p.version = 6; }, StartAnswerCode::kOutdatedClient},
      {"key block version", [](StartParts& p) { p.keyBlockVersion = 2; },
       StartAnswerCode::kOutdatedClient},
      {"key number", [](StartParts& p) { p.keyNumber = 304; }, StartAnswerCode::kOutdatedClient},
      {"malformed", [](StartParts& p) { p.chunkTail = {0}; }, StartAnswerCode::kOutdatedClient},
      {"version before all else",
       [](StartParts& p) {
         p.version = 6;
         p.encapsulated.assign(256, 0xff);
         p.user = 1;
       },
       StartAnswerCode::kOutdatedClient},
      {"ciphertext not below n", [](StartParts& p) { p.encapsulated.assign(256, 0xff); },
       StartAnswerCode::kRefused},
      {"ciphertext of 255 bytes", [](StartParts& p) { p.encapsulated.pop_back(); },
       StartAnswerCode::kRefused},
      {"decapsulation before the user",
       [](StartParts& p) {
         p.encapsulated.pop_back();
         p.user = 1;
       },
       StartAnswerCode::kRefused},
      {"unknown user", [](StartParts& p) { p.user = 1; }, StartAnswerCode::kUserNotFound},
      {"user before signature",
       [](StartParts& p) {
         p.user = 1;
         p.signature = Bytes(256, 1);
       },
       StartAnswerCode::kUserNotFound},
      {"signature", [](StartParts& p) { p.signature = Bytes(256, 1); }, StartAnswerCode::kRefused},
      {"flag 2", [](StartParts& p) { p.flag = 2; }, StartAnswerCode::kRefused},
      {"flag 1 without X", [](StartParts& p) { p.dhValue.reset(); }, StartAnswerCode::kRefused},
      {"flag 0 with X", [](StartParts& p) { p.flag = 0; }, StartAnswerCode::kRefused},
      {"X of 1", [](StartParts& p) { p.dhValue = Bytes(256, 0); (*p.dhValue)[0] = 1; },
       StartAnswerCode::kRefused},
      {"X of p - 1",
       [](StartParts& p) {
         auto prime = TransportDh::prime();
         p.dhValue = Bytes(prime.begin(), prime.end());
         (*p.dhValue)[0] -= 1;
       },
       StartAnswerCode::kRefused},
      {"X of 255 bytes", [](StartParts& p) { p.dhValue->pop_back(); }, StartAnswerCode::kRefused},
      {"unchanged", [](StartParts&) {}, StartAnswerCode::kAdmitted},
  };
  for (const Case& c : cases) {
    StartParts parts = good;
    c.change(parts);
    const ByteBuffer chunk = parts.chunk(world);
    const StartAdmission admission = admit(chunk.span());
    EXPECT_EQ(admission.code, c.code) << c.what;
    // Keys exist exactly from a decapsulated secret on.
    const bool decapsulated = c.code != StartAnswerCode::kOutdatedClient &&
                              std::string_view(c.what).find("ciphertext") == std::string_view::npos &&
                              std::string_view(c.what) != "decapsulation before the user";
    EXPECT_EQ(server.present(), decapsulated) << c.what;
    EXPECT_EQ(server.established(), c.code == StartAnswerCode::kAdmitted) << c.what;
  }
}

// A refusal is MAC'd when the server has keys, and carries zeros otherwise;
// the client acts on the code either way.
TEST_F(StartAdmissionTest, RefusalsAreMacdOnceKeysExistAndTheClientActsOnThemRegardless) {
  StartParts parts = goodParts();
  parts.user = 1;
  StartAdmission admission = admit(parts.chunk(world).span());
  ASSERT_EQ(admission.code, StartAnswerCode::kUserNotFound);
  const ByteBuffer macd = buildStartupAnswer(admission.code, true, {}, server);
  ByteBuffer payload;
  EXPECT_EQ(verifyAndOpen(macd, ChunkType::kStartupResponse, false, server, &payload),
            OpenStatus::kOpened);
  EXPECT_EQ(bytesOf(payload.span()), (Bytes{1, 0}));

  parts.version = 1;
  admission = admit(parts.chunk(world).span());
  ASSERT_EQ(admission.code, StartAnswerCode::kOutdatedClient);
  const ByteBuffer unkeyed = buildStartupAnswer(admission.code, true, {}, server);
  ChunkFields fields;
  ASSERT_TRUE(readFields(unkeyed.span(), &fields));
  EXPECT_EQ(bytesOf(fields.mac), Bytes(32, 0));

  ByteBuffer x(64);
  const StartupResult result =
      handleStartupAnswer(unkeyed.span(), ExchangeKind::kRestore, true, &client, &x);
  EXPECT_EQ(result.outcome, StartupOutcome::kRefused);
  EXPECT_EQ(result.code, 2);
  // An admission is never sent without a MAC, nor without Y when encrypting.
  EXPECT_TRUE(buildStartupAnswer(StartAnswerCode::kAdmitted, false, {}, ExchangeKeys(nullptr)).empty());
  EXPECT_TRUE(buildStartupAnswer(StartAnswerCode::kAdmitted, true, {}, server).empty());
}

// Someone who recorded a start chunk and plays it again is admitted (the
// signature is good), but the keys the server then uses come from the
// encapsulated secret, which only the original client and the server key's
// holder have: no part of the chunk gives them, and the server's answer does
// not verify under keys the replayer can make.
TEST_F(StartAdmissionTest, AReplayedStartGivesTheReplayerNoUsableKeys) {
  const BuiltStart original = build(true);
  const ByteBuffer originalMac = client.macKey();

  StartAdmission admission = admit(original.chunk.span());
  ASSERT_EQ(admission.code, StartAnswerCode::kAdmitted);
  EXPECT_EQ(server.macKey(), originalMac);

  const std::span<const uint8_t> bytes = original.chunk.span();
  for (size_t i = 0; i + 32 <= bytes.size(); ++i) {
    ExchangeKeys guess(nullptr);
    ASSERT_TRUE(guess.derive(bytes.subspan(i, 32)));
    ASSERT_NE(guess.macKey(), originalMac) << i;
  }

  // The replayer's own start gives it keys and an x of its own, but the
  // answer to the replay was made under the original's keys.
  ExchangeKeys replayer(&world.keys.pool);
  BuiltStart own;
  ASSERT_TRUE(buildStartChunk(world.input(true), world.server, &world.keys.pool, &replayer, &own));
  const ByteBuffer answer =
      buildStartupAnswer(admission.code, true, admission.serverDhValue.span(), server);
  const StartupResult result =
      handleStartupAnswer(answer.span(), ExchangeKind::kBackup, true, &replayer, &own.dhExponent);
  EXPECT_EQ(result.outcome, StartupOutcome::kNotVerified);
  EXPECT_FALSE(replayer.established());

  // Nor does a request made under its keys get past the server.
  ChunkSequence sent, accepted;
  ByteBuffer plaintext = startRequestPlaintext(sent);
  const ByteBuffer request = buildChunk(ChunkType::kFileListRequest, std::move(plaintext), false, replayer);
  OpenedChunk opened;
  EXPECT_EQ(openRequest(request, ChunkType::kFileListRequest, false, server, accepted, &opened),
            OpenStatus::kNotAuthentic);
  EXPECT_EQ(accepted.last(), 0u);
}

}  // namespace
}  // namespace vl
