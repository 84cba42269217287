// The server's protocol handler driven with bytes alone: account setup and
// its refusals, the answers to a start chunk, installations and their
// roles, a recorded start played again, and requests broken in every way
// that closes the connection without an answer.
#include "server/protocol/connection_handler.h"

#include <gtest/gtest.h>

#include <functional>

#include "crypto/sha256.h"
#include "net/start_test_util.h"
#include "server/protocol/setup_request.h"
#include "server/server_test_util.h"

namespace vl {
namespace {

using test::ClientExchange;
using test::ServerWorld;
using test::SetupParts;
using test::SetupReply;
using test::answerCode;
using test::ask;
using test::open;
using test::Session;

// --- Account setup ----------------------------------------------------------

TEST(ServerSetupTest, AccountsAreNumberedFromOneAndTheAnswerEchoesTheKeyUnderItsMac) {
  ServerWorld world;
  const SetupReply first = world.setup("192.0.2.1");
  const SetupReply second = world.setup("192.0.2.2");
  EXPECT_EQ(first.result, 0);
  EXPECT_TRUE(first.macVerified);
  EXPECT_EQ(first.account, 1u);
  EXPECT_EQ(second.account, 2u);
  EXPECT_EQ(first.echo, world.keys.signing.exportPublic());
  EXPECT_EQ(first.reservedGib, 25u);
  ByteBuffer registered;
  ASSERT_TRUE(world.store->signingKey(2, &registered));
  EXPECT_EQ(registered, world.keys.signing.exportPublic());
  EXPECT_TRUE(world.log.mentions("account 1 created for \"Anna Berg\""));
}

TEST(ServerSetupTest, OtherVersionsOrANonZeroValueGetResultTwo) {
  ServerWorld world;
  for (int variant = 0; variant < 3; ++variant) {
    ExchangeKeys macKeys(&world.keys.pool);
    SetupParts parts = world.setupParts(&macKeys);
    if (variant == 0) parts.protocol = 2;
    if (variant == 1) parts.version = 6;
    if (variant == 2) parts.value = 1;
    HandlerStep step = world.connect()->receive(parts.chunk().span());
    EXPECT_EQ(step.action, HandlerAction::kSendThenClose) << variant;
    EXPECT_EQ(world.readSetupReply(step.answer, macKeys).result, 2) << variant;
  }
  EXPECT_TRUE(world.store->listAccounts().empty());
}

TEST(ServerSetupTest, ABadSigningKeyOrKeyEstablishmentGetsResultFour) {
  ServerWorld world;
  for (int variant = 0; variant < 4; ++variant) {
    ExchangeKeys macKeys(&world.keys.pool);
    SetupParts parts = world.setupParts(&macKeys);
    if (variant == 0) parts.signingKey.resize(255);
    if (variant == 1) parts.signingKey[0] &= 0xFE;  // even modulus
    if (variant == 2) parts.encapsulated = ByteBuffer(std::vector<uint8_t>(256, 0xFF));  // >= n
    if (variant == 3) parts.keyBlockVersion = 2;
    HandlerStep step = world.connect("192.0.2." + std::to_string(variant))
                           ->receive(parts.chunk().span());
    EXPECT_EQ(world.readSetupReply(step.answer, macKeys).result, 4) << variant;
  }
  EXPECT_TRUE(world.store->listAccounts().empty());
}

TEST(ServerSetupTest, TheAccountLimitGivesResultOne) {
  ServerWorld world;
  world.context.settings.maxAccounts = 2;
  EXPECT_EQ(world.setup("192.0.2.1").result, 0);
  EXPECT_EQ(world.setup("192.0.2.2").result, 0);
  const SetupReply third = world.setup("192.0.2.3");
  EXPECT_EQ(third.result, 1);
  EXPECT_TRUE(third.macVerified);
  EXPECT_EQ(world.store->listAccounts().size(), 2u);
}

TEST(ServerSetupTest, OneAddressAskingTooOftenGetsResultThreeUntilTheMinuteHasPassed) {
  ServerWorld world;
  for (uint32_t i = 0; i < SetupLimiter::kAllowed; ++i) {
    EXPECT_EQ(world.setup("203.0.113.9").result, 0);
  }
  EXPECT_EQ(world.setup("203.0.113.9").result, 3);
  EXPECT_EQ(world.setup("203.0.113.10").result, 0) << "another address is not held up";
  world.clock += SetupLimiter::kWindowSeconds;
  EXPECT_EQ(world.setup("203.0.113.9").result, 0);
  EXPECT_EQ(world.store->listAccounts().size(), SetupLimiter::kAllowed + 2);
}

TEST(ServerSetupTest, ASetupRequestThatDoesNotReadIsClosedWithoutAnAnswer) {
  ServerWorld world;
  ExchangeKeys macKeys(&world.keys.pool);
  SetupParts twoStrings = world.setupParts(&macKeys);
  twoStrings.strings.pop_back();
  SetupParts longName = world.setupParts(&macKeys);
  longName.strings[0].assign(kMaxSetupStringBytes + 1, 'a');
  for (const SetupParts& parts : {twoStrings, longName}) {
    HandlerStep step = world.connect()->receive(parts.chunk().span());
    EXPECT_EQ(step.action, HandlerAction::kClose);
    EXPECT_TRUE(step.answer.empty());
  }
  EXPECT_TRUE(world.store->listAccounts().empty());
}

// --- Start answers ----------------------------------------------------------

// The code of the answer to `chunk` on a fresh connection.
uint16_t startCode(ServerWorld& world, const ByteBuffer& chunk) {
  HandlerStep step = world.connect()->receive(chunk.span());
  if (step.action != HandlerAction::kSend && step.action != HandlerAction::kSendThenClose) {
    return 0xFFFF;
  }
  return answerCode(step.answer);
}

TEST(ServerStartTest, RefusalsCarryTheCodeOfTheFirstCheckThatFails) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  ClientExchange client(world);
  ParsedStart parsed;
  const ByteBuffer good = client.start(account, "home-pc", false);
  ASSERT_TRUE(parseStartChunk(good.span(), &parsed));
  const test::StartWorld signer;  // signs with the same account signing key
  auto variant = [&](auto change) {
    test::StartParts parts = test::StartParts::of(parsed);
    change(parts);
    return parts.chunk(signer);
  };

  EXPECT_EQ(startCode(world, variant([](auto& p) { p.version = 6; })), 2);
  EXPECT_EQ(startCode(world, variant([](auto& p) { p.protocol = 2; })), 2);
  EXPECT_EQ(startCode(world, variant([](auto& p) { p.keyNumber = 304; })), 2);
  EXPECT_EQ(startCode(world, variant([](auto& p) { p.keyBlockVersion = 2; })), 2);
  EXPECT_EQ(startCode(world, variant([&](auto& p) {
              p.encapsulated = test::Bytes(256, 0xFF);  // not below n
            })),
            3);
  EXPECT_EQ(startCode(world, variant([](auto& p) { p.user = 999; })), 1);
  // Unknown user and broken key establishment: decapsulation is checked first.
  EXPECT_EQ(startCode(world, variant([&](auto& p) {
              p.user = 999;
              p.encapsulated = test::Bytes(256, 0xFF);  // not below n
            })),
            3);
  EXPECT_EQ(startCode(world, variant([&](auto& p) {
              p.signature = test::bytesOf(
                  signMessage(p.signedBlock().span(), world.keys.other.exportShort().span(),
                              &world.keys.pool)
                      .span());
            })),
            3);
  EXPECT_EQ(startCode(world, variant([](auto& p) { p.flag = 2; })), 3);
  EXPECT_EQ(startCode(world, variant([](auto& p) {
              p.flag = 1;
              p.dhValue = test::Bytes(256, 0);
              p.dhValue->at(0) = 1;  // X = 1
            })),
            3);
  EXPECT_EQ(startCode(world, good), 0);
}

TEST(ServerStartTest, AnAdmissionWithEncryptionCompletesTheClientsKeys) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  ClientExchange client(world);
  auto handler = world.connect();
  HandlerStep step = handler->receive(client.start(account, "home-pc", true).span());
  ASSERT_EQ(step.action, HandlerAction::kSend);
  const StartupResult result = client.readStartup(step.answer);
  EXPECT_EQ(result.outcome, StartupOutcome::kAdmitted);
  EXPECT_TRUE(client.keys.established());
  EXPECT_TRUE(handler->admitted());
}

// --- Installations ----------------------------------------------------------

TEST(ServerInstallationTest, ARecoveryTakesTheAccountOverAndShutsTheOldInstallationOut) {
  ServerWorld world;
  const uint32_t account = world.createAccount();

  auto owner = open(world, account, "old-pc");
  EXPECT_EQ(owner->code, 0) << "the first installation is registered";
  EXPECT_EQ(ask(*owner, ChunkType::kRecover), 0) << "the owner may do everything";

  auto thief = open(world, account, "third-pc");
  EXPECT_EQ(thief->code, 0) << "a newcomer is admitted...";
  EXPECT_EQ(ask(*thief, ChunkType::kFileList), 5) << "...but may not upload";

  auto recovering = open(world, account, "new-pc");
  ASSERT_EQ(recovering->code, 0);
  EXPECT_EQ(ask(*recovering, ChunkType::kRecover), 0) << "a recovery always works";

  EXPECT_EQ(open(world, account, "old-pc")->code, 5) << "the replaced installation is refused";
  EXPECT_EQ(open(world, account, "new-pc")->code, 0);
  auto third = open(world, account, "third-pc");
  EXPECT_EQ(ask(*third, ChunkType::kFileData), 5) << "a copied key file still cannot upload";
}

TEST(ServerInstallationTest, ARecoveryMakesTheNewcomerTheOwnerForTheRestOfItsConnection) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  EXPECT_EQ(open(world, account, "old-pc")->code, 0);
  auto recovering = open(world, account, "new-pc");
  ASSERT_EQ(ask(*recovering, ChunkType::kRecover), 0);
  EXPECT_NE(ask(*recovering, ChunkType::kFileList), std::optional<uint16_t>(5));
}

TEST(ServerInstallationTest, AReaderMayOnlyListAndFetch) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  auto reader = open(world, account, "");
  ASSERT_EQ(reader->code, 0);
  EXPECT_EQ(ask(*reader, ChunkType::kRecover), 5);
  EXPECT_EQ(ask(*reader, ChunkType::kFileList), 5);
  EXPECT_EQ(ask(*reader, ChunkType::kArchive), 5);
  EXPECT_EQ(ask(*reader, ChunkType::kFileData), 5);
  // A list request is allowed (the empty one does not read, so it closes).
  EXPECT_EQ(ask(*reader, ChunkType::kFileListRequest), std::nullopt);
  EXPECT_TRUE(world.log.mentions("FileListRequestChunk whose fields do not read"));
}

TEST(ServerInstallationTest, TheRecoverAnswerCarriesLastCopyAndUsageFigures) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  auto session = open(world, account, "new-pc");
  OpenedChunk answer;
  ASSERT_EQ(ask(*session, ChunkType::kRecover, &answer), 0);
  StrictReader fields = answer.fields();
  uint16_t result = 0;
  uint32_t values[8] = {};
  ASSERT_TRUE(fields.readU16(&result));
  for (uint32_t& value : values) ASSERT_TRUE(fields.readU32(&value));
  EXPECT_TRUE(fields.atEnd());
  for (int i = 0; i < 7; ++i) EXPECT_EQ(values[i], 0u) << i << ": no copy yet";
  EXPECT_EQ(values[7], 25u) << "reserved GiB";
}

// --- A recorded start played again ------------------------------------------

TEST(ServerReplayTest, ARecordedStartChunkPlayedAgainGetsNothing) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  ClientExchange client(world);
  const ByteBuffer recorded = client.start(account, "home-pc", false);
  HandlerStep first = world.connect()->receive(recorded.span());
  ASSERT_EQ(first.action, HandlerAction::kSend);
  EXPECT_EQ(answerCode(first.answer), 0);

  // Played again with the same bytes: the signature still verifies and the
  // secret still decapsulates, but the server has seen this start before.
  auto replay = world.connect("203.0.113.66");
  HandlerStep again = replay->receive(recorded.span());
  EXPECT_EQ(again.action, HandlerAction::kSendThenClose);
  EXPECT_EQ(answerCode(again.answer), 3);
  EXPECT_FALSE(replay->admitted());
  // Whatever follows is not looked at.
  EXPECT_EQ(replay->receive(client.request(ChunkType::kFileList).span()).action,
            HandlerAction::kClose);
  EXPECT_TRUE(world.log.mentions("replay"));
}

// The real store in all but one thing: it cannot record a used start, as
// one on a failing disk could not.
class StartsNotRecorded : public AccountStore {
 public:
  explicit StartsNotRecorded(AccountStore& real) : real_(real) {}
  CreateResult createAccount(const NewAccount& account, uint32_t maxAccounts) override {
    return real_.createAccount(account, maxAccounts);
  }
  bool signingKey(uint32_t account, ByteBuffer* publicKey) override {
    return real_.signingKey(account, publicKey);
  }
  InstallationStanding installation(uint32_t account, std::span<const uint8_t> id) override {
    return real_.installation(account, id);
  }
  bool registerRecovery(uint32_t account, std::span<const uint8_t> id) override {
    return real_.registerRecovery(account, id);
  }
  StartUse useStart(uint32_t, std::span<const uint8_t>) override { return StartUse::kFailed; }
  bool usage(uint32_t account, AccountUsage* usage) override {
    return real_.usage(account, usage);
  }
  std::vector<AccountSummary> listAccounts() override { return real_.listAccounts(); }
  bool protectDays(uint32_t account, uint32_t* days) override {
    return real_.protectDays(account, days);
  }
  bool setProtectDays(uint32_t account, uint32_t days) override {
    return real_.setProtectDays(account, days);
  }

 private:
  AccountStore& real_;
};

// A start the server could not remember could be played again later, so it
// is not admitted either.
TEST(ServerReplayTest, AStartThatCannotBeRecordedIsNotAdmitted) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  StartsNotRecorded store(*world.store);
  world.context.accounts = &store;
  auto session = open(world, account, "home-pc");
  EXPECT_FALSE(session->handler->admitted());
  EXPECT_EQ(session->code, 0xFFFF) << "closed without an answer";
  EXPECT_TRUE(world.log.mentions("could not record the start"));
}

TEST(ServerReplayTest, AFreshStartOfTheSameClientIsStillAdmitted) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  EXPECT_EQ(open(world, account, "home-pc")->code, 0);
  EXPECT_EQ(open(world, account, "home-pc")->code, 0);
}

// --- Broken requests ----------------------------------------------------------

HandlerStep afterAdmission(ServerWorld& world, Session& session, const ByteBuffer& bytes) {
  (void)world;
  return session.handler->receive(bytes.span());
}

TEST(ServerBrokenRequestTest, EveryBrokenRequestClosesWithoutAnAnswer) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  struct Case {
    const char* name;
    bool encrypt;
    std::function<ByteBuffer(Session&)> bytes;
    const char* reason;  // what the log says, so each case meets its own check
  };
  const std::vector<Case> cases = {
      {"MAC mismatch", true,
       [](Session& s) {
         ByteBuffer chunk = s.client.request(ChunkType::kRecover);
         chunk[chunk.size() - 1] ^= 1;
         return chunk;
       },
       "MAC does not match"},
      {"payload that does not decrypt", true,
       [](Session& s) {
         // Authentic, but its ciphertext is one byte short of whole blocks,
         // which no key decrypts. (A payload under another key would now
         // and then unpad by chance and fail later, on its sequence number.)
         ByteBuffer plaintext = startRequestPlaintext(s.client.sequence);
         ByteBuffer sealed = buildChunk(ChunkType::kRecover, std::move(plaintext), true, s.client.keys);
         ChunkFields fields;
         EXPECT_TRUE(readFields(sealed.span(), &fields));
         const std::span<const uint8_t> cut = fields.payload.first(fields.payload.size() - 1);
         ByteBuffer chunk;
         appendChunkHeader(chunk, ChunkType::kRecover);
         chunk.appendCounted(cut.data(), cut.size());
         const ByteBuffer mac = chunkMac(s.client.keys, ChunkType::kRecover, cut);
         chunk.appendCounted(mac);
         updateChunkLength(chunk);
         return chunk;
       },
       "does not decrypt"},
      {"sequence number skipped", true,
       [](Session& s) {
         s.client.sequence.next();
         return s.client.request(ChunkType::kRecover);
       },
       "out of sequence"},
      {"an answer type", true,
       [](Session& s) {
         ByteBuffer chunk = s.client.request(ChunkType::kRecover);
         chunk[8] = 17;
         return chunk;
       },
       "a type no client sends"},
      {"a type no chunk has", true,
       [](Session& s) {
         ByteBuffer chunk = s.client.request(ChunkType::kRecover);
         chunk[8] = 12;
         return chunk;
       },
       "a type no client sends"},
      {"a second start", true,
       [](Session& s) {
         ClientExchange again(s.client.world);
         return again.start(1, "home-pc", true);
       },
       "a second opening chunk"},
      {"recover without encryption", false,
       [](Session& s) { return s.client.request(ChunkType::kRecover); },
       "without transport encryption"},
      {"archive without encryption", false,
       [](Session& s) { return s.client.request(ChunkType::kArchive); },
       "without transport encryption"},
      {"bytes that are not a chunk", true, [](Session&) { return ByteBuffer("GET / HTTP/1.1\r\n"); },
       "not a chunk"},
      {"recover with a byte after its number", true,
       [](Session& s) { return s.client.request(ChunkType::kRecover, ByteBuffer(1)); },
       "bytes after its number"},
  };
  for (const Case& c : cases) {
    auto session = open(world, account, "home-pc", c.encrypt);
    ASSERT_EQ(session->code, 0) << c.name;
    HandlerStep step = afterAdmission(world, *session, c.bytes(*session));
    EXPECT_EQ(step.action, HandlerAction::kClose) << c.name;
    EXPECT_TRUE(step.answer.empty()) << c.name;
    EXPECT_NE(step.reason.find(c.reason), std::string::npos) << c.name << ": " << step.reason;
  }
}

TEST(ServerBrokenRequestTest, ARequestBeforeAnAdmittedStartCloses) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  ClientExchange client(world);
  client.start(account, "home-pc", false);
  HandlerStep step = world.connect()->receive(client.request(ChunkType::kFileListRequest).span());
  EXPECT_EQ(step.action, HandlerAction::kClose);
  EXPECT_EQ(step.reason, "a request before an admitted start");
}

TEST(ServerBrokenRequestTest, DeclaredLengthsAreJudgedFromTheHeaderBeforeTheBytesArrive) {
  ServerWorld world;
  auto header = [](uint32_t length, ChunkType type) {
    ByteBuffer chunk;
    appendChunkHeader(chunk, type);
    chunk[4] = static_cast<uint8_t>(length);
    chunk[5] = static_cast<uint8_t>(length >> 8);
    chunk[6] = static_cast<uint8_t>(length >> 16);
    chunk[7] = static_cast<uint8_t>(length >> 24);
    return chunk;
  };
  // Over 100 MiB: closed at once.
  HandlerStep huge =
      world.connect()->receive(header(kMaxChunkLength + 1, ChunkType::kFileData).span());
  EXPECT_EQ(huge.action, HandlerAction::kClose);
  // An opening chunk may not be long: nobody has proved anything yet.
  auto handler = world.connect();
  HandlerStep longStart =
      handler->receive(header(kMaxOpeningChunkLength + 1, ChunkType::kExchangeStart).span());
  EXPECT_EQ(longStart.action, HandlerAction::kClose);
  EXPECT_EQ(handler->bufferedBytes(), 0u);
  // After an admission long chunks may come, but not over 100 MiB.
  const uint32_t account = world.createAccount();
  auto admitted = open(world, account, "home-pc");
  ASSERT_EQ(admitted->code, 0);
  HandlerStep over =
      admitted->handler->receive(header(kMaxChunkLength + 1, ChunkType::kFileData).span());
  EXPECT_EQ(over.action, HandlerAction::kClose);
  EXPECT_EQ(admitted->handler->bufferedBytes(), 0u);
  // One that fits waits, holding only what arrived.
  auto waiting = world.connect();
  EXPECT_EQ(waiting->receive(header(kMaxOpeningChunkLength, ChunkType::kExchangeStart).span())
                .action,
            HandlerAction::kNeedMore);
  EXPECT_EQ(waiting->bufferedBytes(), kChunkHeaderSize);
}

// The limit holds however the bytes are cut: a signed start whose header
// came split from the rest is complete as soon as its length can be read.
TEST(ServerBrokenRequestTest, ALongOpeningChunkIsRefusedAlsoWhenItArrivesWhole) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  ClientExchange client(world);
  const std::string longId(kMaxOpeningChunkLength, 'i');
  const ByteBuffer chunk = client.start(account, longId, false);
  ASSERT_GT(chunk.size(), kMaxOpeningChunkLength);

  auto whole = world.connect();
  HandlerStep step = whole->receive(chunk.span());
  EXPECT_EQ(step.action, HandlerAction::kClose);
  EXPECT_TRUE(step.answer.empty());
  EXPECT_FALSE(whole->admitted());

  auto split = world.connect();
  ASSERT_EQ(split->receive(chunk.span().subspan(0, 4)).action, HandlerAction::kNeedMore);
  EXPECT_EQ(split->receive(chunk.span().subspan(4)).action, HandlerAction::kClose);
  EXPECT_FALSE(split->admitted());
}

TEST(ServerBrokenRequestTest, AChunkArrivingInPiecesIsHandledOnceWhole) {
  ServerWorld world;
  const uint32_t account = world.createAccount();
  ClientExchange client(world);
  const ByteBuffer chunk = client.start(account, "home-pc", false);
  auto handler = world.connect();
  for (uint32_t i = 0; i + 1 < chunk.size(); ++i) {
    ASSERT_EQ(handler->receive(chunk.span().subspan(i, 1)).action, HandlerAction::kNeedMore);
  }
  HandlerStep last = handler->receive(chunk.span().subspan(chunk.size() - 1));
  EXPECT_EQ(last.action, HandlerAction::kSend);
  EXPECT_EQ(answerCode(last.answer), 0);
}

}  // namespace
}  // namespace vl
