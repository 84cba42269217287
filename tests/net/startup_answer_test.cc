#include "net/startup_answer.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/random_pool.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/transport_dh.h"
#include "start_test_util.h"

namespace vl {
namespace {

using test::Bytes;

// Keys as a start chunk leaves them, and an x whose Y the server would answer.
class StartupAnswerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::creditFromOs(pool);
    ASSERT_TRUE(keys.derive(Bytes(32, 7)));
    ASSERT_TRUE(TransportDh::generate(&pool, &x, &X));
  }

  // A type-1 chunk with any payload, MAC'd under `keys` or with a bad MAC.
  ByteBuffer answer(const ByteBuffer& payload, bool goodMac = true) {
    ByteBuffer chunk;
    appendChunkHeader(chunk, ChunkType::kStartupResponse);
    chunk.appendCounted(payload);
    ByteBuffer mac = chunkMac(keys, ChunkType::kStartupResponse, payload.span());
    if (!goodMac) mac[0] ^= 1;
    chunk.appendCounted(mac);
    updateChunkLength(chunk);
    return chunk;
  }

  ByteBuffer admission(std::span<const uint8_t> serverValue) {
    ByteBuffer payload;
    payload.appendU16(0);
    payload.appendCounted(serverValue.data(), serverValue.size());
    return answer(payload);
  }

  // Handles `chunk` with a copy of x, as each start keeps its own.
  StartupResult handle(const ByteBuffer& chunk, bool encrypt,
                       ExchangeKind kind = ExchangeKind::kBackup) {
    ByteBuffer held = x;
    return handleStartupAnswer(chunk.span(), kind, encrypt, &keys, &held);
  }

  RandomPool pool;
  ExchangeKeys keys{&pool};
  ByteBuffer x, X;
};

TEST_F(StartupAnswerTest, ARefusalIsActedOnWhateverTheMacAndNamesItsCode) {
  struct Case {
    uint16_t code;
    const char* english;
  };
  const Case cases[] = {
      {1, "Error: User not found on server."},
      {2, "Error: Client software is out-dated and must be replaced with later version."},
      {3, "Error: Connection refused by server."},
      {4, "Error: The server is blocking this account for use, the blocking is released within 24 houers."},
      {5, "Error: This account is used by another installation."},
      {6, "Error: Connection refused by server."},
      {0xffff, "Error: Connection refused by server."},
  };
  for (const Case& c : cases) {
    ByteBuffer payload;
    payload.appendU16(c.code);
    for (bool goodMac : {true, false}) {
      ByteBuffer y = x;
      const StartupResult result = handleStartupAnswer(answer(payload, goodMac).span(),
                                                       ExchangeKind::kBackup, true, &keys, &y);
      EXPECT_EQ(result.outcome, StartupOutcome::kRefused) << c.code;
      EXPECT_EQ(result.code, c.code);
      EXPECT_EQ(result.message.english, c.english);
      EXPECT_TRUE(y.empty());
    }
  }
  // Even with no MAC field at all, and with no keys.
  ByteBuffer bare;
  appendChunkHeader(bare, ChunkType::kStartupResponse);
  bare.appendU32(2);
  bare.appendU16(5);
  updateChunkLength(bare);
  ExchangeKeys none(nullptr);
  EXPECT_EQ(handleStartupAnswer(bare.span(), ExchangeKind::kList, false, &none, &x).message.swedish,
            "Fel: Kontot används av en annan installation.");
}

TEST_F(StartupAnswerTest, TheArchiveExchangeHasShorterSwedishTextsForCodesOneTwoAndFour) {
  EXPECT_EQ(answerCodeMessage(ExchangeKind::kArchive, 1),
            (ExchangeMessage{"Fel: Hittade inte användaren på servern.",
                             "Error: User not found on server."}));
  EXPECT_EQ(answerCodeMessage(ExchangeKind::kArchive, 2).swedish,
            "Fel: Klientprogramvaran är föråldrad.");
  EXPECT_EQ(answerCodeMessage(ExchangeKind::kArchive, 4).swedish,
            "Fel: Servern blockerar användning.");
  EXPECT_EQ(answerCodeMessage(ExchangeKind::kArchive, 5), answerCodeMessage(ExchangeKind::kBackup, 5));
  EXPECT_EQ(answerCodeMessage(ExchangeKind::kRestore, 1).swedish,
            "Fel: Hittade inte denna användaren på servern.");
  EXPECT_EQ(answerCodeMessage(ExchangeKind::kList, 2).swedish,
            "Fel: Klientprogramvaran är föråldrad och måste bytas.");
  EXPECT_EQ(answerCodeMessage(ExchangeKind::kRecover, 4).swedish,
            "Fel: Servern blockerar användning av detta konto, blockeringen släpper inom 24 timmar.");
}

TEST_F(StartupAnswerTest, AnAdmissionIsBelievedOnlyWithItsMacAndTheBackupSpellsTheErrorItsOwnWay) {
  ByteBuffer payload;
  payload.appendU16(0);
  payload.appendCounted(X);
  const ByteBuffer forged = answer(payload, false);
  StartupResult result = handle(forged, true);
  EXPECT_EQ(result.outcome, StartupOutcome::kNotVerified);
  EXPECT_EQ(result.message, (ExchangeMessage{"Fel: Internt verifieringsfel.",
                                             "Error: Internal verrification error."}));
  EXPECT_FALSE(keys.established());
  for (ExchangeKind kind : {ExchangeKind::kRestore, ExchangeKind::kList, ExchangeKind::kArchive,
                            ExchangeKind::kRecover}) {
    EXPECT_EQ(handleStartupAnswer(forged.span(), kind, true, &keys, &x).message.english,
              "Error: Internal verification error.");
  }
  // Without keys nothing verifies; a chunk that is not a startup answer, or
  // that is cut, is not one either.
  ExchangeKeys none(nullptr);
  EXPECT_EQ(handleStartupAnswer(answer(payload).span(), ExchangeKind::kList, true, &none, &x).outcome,
            StartupOutcome::kNotVerified);
  ByteBuffer relabelled = answer(payload);
  relabelled[8] = 3;
  EXPECT_EQ(handle(relabelled, true).outcome, StartupOutcome::kNotVerified);
  const ByteBuffer good = answer(payload);
  EXPECT_EQ(handleStartupAnswer(good.span().first(good.size() - 1), ExchangeKind::kBackup, true,
                                &keys, &x)
                .outcome,
            StartupOutcome::kNotVerified);
}

TEST_F(StartupAnswerTest, AServerValueOutsideTheRangeOrOfAnotherLengthFailsKeySetup) {
  auto prime = TransportDh::prime();
  Bytes primeMinusOne(prime.begin(), prime.end());
  primeMinusOne[0] -= 1;
  Bytes one(256, 0);
  one[0] = 1;
  const Bytes good(X.span().begin(), X.span().end());
  const std::vector<Bytes> refused = {one, primeMinusOne, Bytes(good.begin(), good.end() - 1),
                                      Bytes(257, 1)};
  for (const Bytes& value : refused) {
    ByteBuffer held = x;
    const StartupResult result = handleStartupAnswer(admission(value).span(), ExchangeKind::kBackup,
                                                     true, &keys, &held);
    EXPECT_EQ(result.outcome, StartupOutcome::kKeySetupFailed) << value.size();
    EXPECT_EQ(result.message,
              (ExchangeMessage{"Fel: Nyckeletableringsfel.", "Error: Key setup error."}));
    EXPECT_FALSE(keys.established());
    EXPECT_TRUE(held.empty());
  }
  // A missing Y, a byte after it, and an x that is not 64 bytes.
  ByteBuffer noValue;
  noValue.appendU16(0);
  EXPECT_EQ(handle(answer(noValue), true).outcome, StartupOutcome::kKeySetupFailed);
  ByteBuffer extra;
  extra.appendU16(0);
  extra.appendCounted(X);
  extra.appendU8(0);
  EXPECT_EQ(handle(answer(extra), true).outcome, StartupOutcome::kKeySetupFailed);
  ByteBuffer shortX(x.data(), 63);
  EXPECT_EQ(handleStartupAnswer(admission(good).span(), ExchangeKind::kBackup, true, &keys, &shortX)
                .outcome,
            StartupOutcome::kKeySetupFailed);
  EXPECT_FALSE(keys.established());

  // The right value completes the key: the XOR of the agreed secret.
  const ByteBuffer before = keys.cipherKey();
  ByteBuffer y, Y;
  ASSERT_TRUE(TransportDh::generate(&pool, &y, &Y));
  const ByteBuffer secret = TransportDh::agree(y.span(), X.span());
  ASSERT_EQ(handle(admission(Y.span()), true).outcome, StartupOutcome::kAdmitted);
  ASSERT_TRUE(keys.established());
  for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(keys.cipherKey()[i], before[i] ^ secret[i]);
}

TEST_F(StartupAnswerTest, WithEncryptionOffAnAdmissionNeedsNoKeyFieldAndEstablishesNothing) {
  ByteBuffer payload;
  payload.appendU16(0);
  const StartupResult result = handle(answer(payload), false, ExchangeKind::kRecover);
  EXPECT_EQ(result.outcome, StartupOutcome::kAdmitted);
  EXPECT_FALSE(keys.established());
  ByteBuffer plaintext;
  plaintext.appendU32(1);
  EXPECT_TRUE(buildChunk(ChunkType::kRecover, std::move(plaintext), true, keys).empty());
  // A key field that nobody asked for is not taken.
  EXPECT_EQ(handle(admission(X.span()), false).outcome, StartupOutcome::kNotVerified);
  EXPECT_FALSE(keys.established());
}

TEST(TransferErrorMessageTest, BackupAndRestoreNameTheKindAndAddANonZeroCode) {
  for (ExchangeKind kind : {ExchangeKind::kBackup, ExchangeKind::kRestore}) {
    EXPECT_EQ(transferErrorMessage(kind, 2, 10054),
              (ExchangeMessage{
                  "Fel: Fel vid läsning, fick ingen kontakt med servern. (kod: 10054)",
                  "Error: Error when reading data, connetion to server lost. (code: 10054)"}));
    EXPECT_EQ(transferErrorMessage(kind, 2, 0).english,
              "Error: Error when reading data, connetion to server lost.");
    EXPECT_EQ(transferErrorMessage(kind, 0, 0).swedish, "Fel: Fick ingen kontakt med servern!");
    EXPECT_EQ(transferErrorMessage(kind, 7, 0).english,
              "Error: Invalid socket, connection to server lost.");
    EXPECT_EQ(transferErrorMessage(kind, 8, 3),
              (ExchangeMessage{"Fel: Generellt fel under överföringen. (kod: 3)",
                               "Error: General transfer error. (code: 3)"}));
    EXPECT_EQ(transferErrorMessage(kind, 0xffffffff, 0).english, "Error: General transfer error.");
  }
}

TEST(TransferErrorMessageTest, TheShortExchangesOnlyTellAFailedConnectFromALostOne) {
  for (ExchangeKind kind : {ExchangeKind::kSetup, ExchangeKind::kList, ExchangeKind::kArchive,
                            ExchangeKind::kRecover}) {
    EXPECT_EQ(transferErrorMessage(kind, 0, 5),
              (ExchangeMessage{"Fel: Kunde inte kontakta servern!",
                               "Error: Could not connect to server!"}));
    for (uint32_t other : {1u, 2u, 7u, 8u, 1000u}) {
      EXPECT_EQ(transferErrorMessage(kind, other, 10054),
                (ExchangeMessage{"Fel: Förlorade kontakten med servern!",
                                 "Error: Lost connection to server!"}));
    }
  }
}

}  // namespace
}  // namespace vl
