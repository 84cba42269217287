#include "net/setup_act.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "account_act_test_util.h"
#include "core/usage_files.h"
#include "crypto/key_files.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::Bytes;

struct RecordingSetup : SetupMainAction {
  std::string swedish, english;
  int failures = 0;
  int successes = 0;
  void setupFailed(std::string_view sv, std::string_view en, uint32_t) override {
    swedish = sv;
    english = en;
    ++failures;
  }
  void setupSucceeded() override { ++successes; }
};

class SetupActTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(world.keys.ok);
    files.localKey = dir.file(kLocalKeyFile);
    files.logKey = dir.file(kLogKeyFile);
    files.usage = dir.file(kServerUsageFile);
    files.lastCopy = dir.file(kLastCopyFile);
    files.installId = dir.file(kInstallIdFile);
    recoveryPath = dir.file("anna.drf");
  }

  // A SetupAct and its request; the server's keys are derived from what the
  // request encapsulates, as the server would.
  void start() {
    act = std::make_unique<SetupAct>(&callbacks, &world.keys.pool, test::fixedAccountKeys(),
                                     recoveryPath, 0, files);
    request = buildSetupRequest(accountSetupRecord(details).span(), publicKey.span(), world.server,
                                &world.keys.pool, &act->keys());
    ASSERT_FALSE(request.empty());
    ASSERT_TRUE(test::readSetupRequest(request, &read));
    const ByteBuffer secret = world.serverPrivate.decapsulate(read.encapsulated);
    ASSERT_TRUE(serverKeys.derive(secret.span()));
  }

  // Hands the answer to the exchange, which must end.
  void answer(const ByteBuffer& chunk) {
    ByteBuffer next;
    bool longWait = false;
    EXPECT_FALSE(act->dispatch(chunk, &next, &longWait));
    EXPECT_TRUE(next.empty());
  }

  ByteBuffer refusal(uint16_t result) {
    ByteBuffer payload;
    payload.appendU16(result);
    return test::setupAnswer(payload, serverKeys, false);
  }

  void expectNoKeyFiles() {
    EXPECT_FALSE(std::filesystem::exists(files.localKey));
    EXPECT_FALSE(std::filesystem::exists(files.logKey));
    EXPECT_FALSE(std::filesystem::exists(recoveryPath));
    EXPECT_FALSE(std::filesystem::exists(files.usage));
  }

  test::TempDir dir;
  test::StartWorld world;
  AccountFiles files;
  std::string recoveryPath;
  AccountDetails details{"Anna Berg", "Berg AB", "anna@example.org"};
  ByteBuffer publicKey = world.keys.signing.exportPublic();
  RecordingSetup callbacks;
  std::unique_ptr<SetupAct> act;
  ByteBuffer request;
  test::ReadSetupRequest read;
  ExchangeKeys serverKeys{nullptr};
};

TEST_F(SetupActTest, TheRequestCarriesTheDetailsInOrderTheKeyAndAValueOfZero) {
  start();
  EXPECT_EQ(read.protocol, 1);
  EXPECT_EQ(read.version, 7);
  EXPECT_EQ(read.strings, (std::vector<std::string>{"Anna Berg", "Berg AB", "anna@example.org"}));
  EXPECT_EQ(read.signingPublicKey, test::bytesOf(publicKey.span()));
  EXPECT_EQ(read.value, 0u);
  EXPECT_EQ(read.keyBlockVersion, 1);
  // The server's keys, from the encapsulated secret, are the exchange's.
  EXPECT_TRUE(serverKeys.macKey() == act->keys().macKey());
}

TEST_F(SetupActTest, AnAcceptedAccountWritesItsFilesAndTellsTheCallback) {
  start();
  answer(test::setupAnswer(test::createdPayload(4711, publicKey.span(), 25), serverKeys));
  EXPECT_EQ(callbacks.failures, 0) << callbacks.english;
  EXPECT_EQ(callbacks.successes, 1);

  EXPECT_EQ(std::filesystem::file_size(files.localKey), 568u);
  EXPECT_EQ(std::filesystem::file_size(recoveryPath), 1245u);
  EXPECT_EQ(std::filesystem::file_size(files.logKey), 40u);
  LocalKeyRecord local;
  ASSERT_TRUE(readLocalKey(files.localKey, &local));
  EXPECT_EQ(local.userNumber, 4711u);
  EXPECT_EQ(local.encryptionPublicKey, world.keys.other.exportPublic());
  RecoveryRecord recovery;
  ASSERT_TRUE(readRecovery(recoveryPath, &recovery));
  EXPECT_EQ(recovery.userNumber, 4711u);
  EXPECT_EQ(recovery.encryptionKey, world.keys.other.exportFull());
  EXPECT_EQ(recovery.logKey, ByteBuffer(Bytes(32, 0x22)));
  EXPECT_FALSE(recovery.serverKeyFlag());
  const ServerUsage usage = readServerUsage(files.usage);
  EXPECT_EQ(usage.used_bytes, 0u);
  EXPECT_EQ(usage.copies, 0u);
  EXPECT_EQ(usage.reserved_gib, 25u);
}

TEST_F(SetupActTest, EachRefusalHasItsMessageWhateverTheMacAndWritesNothing) {
  struct Case {
    uint16_t result;
    const char* english;
    const char* swedish;
  };
  const Case cases[] = {
      {1, "Error: There is not space anough for another user right now, try again later.",
       "Fel: Det finns inte plats för en till användare just nu, försök senare."},
      {2, "Error: The client software is out-dated, use later version.",
       "Fel: Klientprogramvaran är föräldrad och måste bytas ut mot en senare version."},
      {3, "Error: Can't create more users right now, try again later.",
       "Fel: Kan inte skapa fler användare på servern just nu, försök igen senare."},
      {4, "Error: Could not create user.", "Fel: Kan inte skapa användare."},
      {0xffff, "Error: Could not create user.", "Fel: Kan inte skapa användare."},
  };
  for (const Case& c : cases) {
    start();
    answer(refusal(c.result));
    EXPECT_EQ(callbacks.english, c.english);
    EXPECT_EQ(callbacks.swedish, c.swedish);
  }
  EXPECT_EQ(callbacks.successes, 0);
  expectNoKeyFiles();
}

TEST_F(SetupActTest, AnswersThatAreNotTrustedCreateNothing) {
  const ByteBuffer good = test::createdPayload(4711, publicKey.span(), 25);
  ByteBuffer otherEcho(publicKey);
  otherEcho[100] ^= 1;
  ByteBuffer trailing(good);
  trailing.appendU8(0);
  struct Case {
    const char* name;
    std::function<ByteBuffer(const ExchangeKeys&)> chunk;
    const char* english;
  };
  const Case cases[] = {
      {"another type", [&](auto& k) { return test::setupAnswer(good, k, true, ChunkType::kRecoverResponse); },
       "Error: Recieveing incorrect data from server."},
      {"no fields", [&](auto&) {
         ByteBuffer c;
         appendChunkHeader(c, ChunkType::kAccountSetupResponse);
         return c;
       }, "Error: Recieveing incorrect data from server."},
      {"bad MAC", [&](auto& k) { return test::setupAnswer(good, k, false); },
       "Internal error, could not create account."},
      {"account 0", [&](auto& k) { return test::setupAnswer(test::createdPayload(0, publicKey.span(), 25), k); },
       "Error: Internal error (1), could not create account."},
      {"echo differs", [&](auto& k) { return test::setupAnswer(test::createdPayload(7, otherEcho.span(), 25), k); },
       "Error: Internal error (2), could not create account."},
      {"bytes after", [&](auto& k) { return test::setupAnswer(trailing, k); },
       "Error: Recieveing incorrect data from server."},
  };
  for (const Case& c : cases) {
    start();
    answer(c.chunk(serverKeys));
    EXPECT_EQ(callbacks.english, c.english) << c.name;
  }
  EXPECT_EQ(callbacks.swedish, "Fel: Mottog felaktig data från servern.");
  EXPECT_EQ(callbacks.successes, 0);
  expectNoKeyFiles();
}

TEST_F(SetupActTest, SwedishTextsOfTheInternalErrorsKeepTheirWording) {
  start();
  answer(test::setupAnswer(test::createdPayload(0, publicKey.span(), 25), serverKeys));
  EXPECT_EQ(callbacks.swedish, "Fel: Internet fel (1), kunde inte skapa användare.");
  start();
  answer(test::setupAnswer(test::createdPayload(1, publicKey.span(), 25), serverKeys, false));
  EXPECT_EQ(callbacks.swedish, "Internt fel, kunde inte skapa användare.");
}

// Without the recovery file nothing can ever restore what this installation
// would back up, so it must not keep a local key either.
TEST_F(SetupActTest, ARecoveryFileThatCannotBeWrittenLeavesNoAccountBehind) {
  recoveryPath = dir.file("missing-folder/anna.drf");
  start();
  answer(test::setupAnswer(test::createdPayload(4711, publicKey.span(), 25), serverKeys));
  EXPECT_EQ(callbacks.english, "Error: Could not write data recovery file.");
  EXPECT_EQ(callbacks.swedish, "Fel: Kunde inte skriva återställningsfilen.");
  EXPECT_EQ(callbacks.successes, 0);
  EXPECT_FALSE(std::filesystem::exists(files.localKey));
  EXPECT_FALSE(std::filesystem::exists(files.logKey));
}

TEST_F(SetupActTest, KeyFilesThatCannotBeWrittenAreReported) {
  files.localKey = dir.file("missing-folder/local_key.bin");
  start();
  answer(test::setupAnswer(test::createdPayload(4711, publicKey.span(), 25), serverKeys));
  EXPECT_EQ(callbacks.english, "Error: Could not write local encryption key.");
  EXPECT_FALSE(std::filesystem::exists(recoveryPath));

  files.localKey = dir.file(kLocalKeyFile);
  files.logKey = dir.file("missing-folder/logg_key.bin");
  start();
  answer(test::setupAnswer(test::createdPayload(4711, publicKey.span(), 25), serverKeys));
  EXPECT_EQ(callbacks.english, "Error: Could not write file for logg-key.");
  EXPECT_EQ(callbacks.swedish, "Fel: Kunde inte skriva fil för logg-nyckel.");
  EXPECT_EQ(callbacks.successes, 0);
}

TEST_F(SetupActTest, AConnectFailureAndALostConnectionAreToldApart) {
  start();
  act->reportError(TransferErrorKind::kNoContact, 111);
  EXPECT_EQ(callbacks.english, "Error: Could not connect to server!");
  EXPECT_EQ(callbacks.swedish, "Fel: Kunde inte kontakta servern!");
  act->reportError(TransferErrorKind::kConnectionDropped, 0);
  EXPECT_EQ(callbacks.english, "Error: Lost connection to server!");
  EXPECT_EQ(callbacks.swedish, "Fel: Förlorade kontakten med servern!");
}

TEST_F(SetupActTest, NoRequestWithoutAUsableServerKey) {
  ServerKey wrong{1, 303, world.server.modulus};  // a 3072-bit code on a 2048-bit modulus
  ExchangeKeys keys(&world.keys.pool);
  EXPECT_TRUE(buildSetupRequest(accountSetupRecord(details).span(), publicKey.span(), wrong,
                                &world.keys.pool, &keys)
                  .empty());
  EXPECT_FALSE(keys.present());
}

}  // namespace
}  // namespace vl
