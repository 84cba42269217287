// A server world for the handler tests: fixed keys, an account database in
// a temporary folder, a log that tests read, a clock they set, and the
// client's side of the setup and recover exchanges written out by hand.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/rsa_test_keys.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/start_chunk.h"
#include "net/startup_answer.h"
#include "server/accounts/sqlite_account_store.h"
#include "server/protocol/connection_handler.h"
#include "server/protocol/setup_limiter.h"
#include "server/storage/packed_backup_store.h"
#include "server/storage/sqlite_copy_catalog.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace vl::test {

struct RecordingLog : ServerLog {
  std::vector<std::string> lines;
  void write(std::string_view line) override { lines.emplace_back(line); }
  bool mentions(std::string_view text) const {
    for (const std::string& line : lines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

// The parts of an account setup request, so tests can write any variant.
struct SetupParts {
  uint16_t protocol = 1;
  uint16_t version = 7;
  std::vector<std::string> strings = {"Anna Berg", "Berg & Son", "anna@example.org"};
  ByteBuffer signingKey;
  uint32_t value = 0;
  uint16_t keyBlockVersion = 1;
  ByteBuffer encapsulated;

  ByteBuffer chunk() const {
    ByteBuffer record;
    for (const std::string& text : strings) record.appendCounted(text.data(), text.size());
    ByteBuffer keyBlock;
    keyBlock.appendU16(keyBlockVersion);
    keyBlock.appendCounted(encapsulated);
    ByteBuffer out;
    appendChunkHeader(out, ChunkType::kAccountSetupRequest);
    out.appendU16(protocol);
    out.appendU16(version);
    out.appendCounted(record);
    out.appendCounted(signingKey);
    out.appendU32(value);
    out.appendCounted(keyBlock);
    updateChunkLength(out);
    return out;
  }
};

// What a client sees of the setup answer.
struct SetupReply {
  uint16_t result = 0xFFFF;
  uint32_t account = 0;
  ByteBuffer echo;
  uint32_t reservedGib = 0;
  bool macVerified = false;
};

class ServerWorld {
 public:
  FixedKeys& keys = fixedKeys();
  TempDir dir;
  std::unique_ptr<SqliteAccountStore> store = SqliteAccountStore::open(dir.file("accounts.db"));
  std::unique_ptr<SqliteCopyCatalog> catalog = SqliteCopyCatalog::open(dir.file("accounts.db"));
  SetupLimiter limiter;
  RecordingLog log;
  std::unique_ptr<PackedBackupStore> backups =
      std::make_unique<PackedBackupStore>(dir.file("backups"), catalog.get(), &log);
  uint32_t clock = 1700000000;
  ServerContext context;
  // The server's key as a client has it built in.
  ServerKey serverPublic{0, 303, keys.encryption.exportPublic()};
  ByteBuffer signingShort = keys.signing.exportShort();

  ServerWorld() {
    context.serverKey = &keys.encryption;
    context.keyNumber = 303;
    context.accounts = store.get();
    context.backups = backups.get();
    context.pool = &keys.pool;
    context.limiter = &limiter;
    context.log = &log;
    context.settings.reservedGib = 25;
    context.now = [this] { return clock; };
  }

  // What a server restart does to the stores: everything closed and opened
  // again from the folder. Every handler must be gone.
  void restart() {
    backups.reset();
    catalog.reset();
    store.reset();
    store = SqliteAccountStore::open(dir.file("accounts.db"));
    catalog = SqliteCopyCatalog::open(dir.file("accounts.db"));
    backups = std::make_unique<PackedBackupStore>(dir.file("backups"), catalog.get(), &log);
    context.accounts = store.get();
    context.backups = backups.get();
  }

  std::unique_ptr<ConnectionHandler> connect(const std::string& address = "192.0.2.7") {
    return std::make_unique<ConnectionHandler>(context, address, address + ":40000");
  }

  // A setup request with the account's signing key and a fresh secret,
  // whose MAC key ends up in `macKeys`.
  SetupParts setupParts(ExchangeKeys* macKeys) {
    SetupParts parts;
    parts.signingKey = keys.signing.exportPublic();
    ByteBuffer secret;
    EXPECT_TRUE(keys.encryption.encapsulate(&keys.pool, &secret, &parts.encapsulated));
    EXPECT_TRUE(macKeys->derive(secret.span()));
    return parts;
  }

  SetupReply readSetupReply(const ByteBuffer& chunk, const ExchangeKeys& macKeys) {
    SetupReply reply;
    ChunkFields fields;
    if (chunkTypeOf(chunk.span()) != ChunkType::kAccountSetupResponse ||
        !readFields(chunk.span(), &fields)) {
      return reply;
    }
    StrictReader reader(fields.payload);
    std::span<const uint8_t> echo;
    if (!reader.readU16(&reply.result)) return reply;
    if (reply.result == 0 && reader.readU32(&reply.account) && reader.readCounted(&echo) &&
        reader.readU32(&reply.reservedGib)) {
      reply.echo = ByteBuffer(echo);
    }
    ByteBuffer plaintext;
    reply.macVerified = verifyAndOpen(chunk, ChunkType::kAccountSetupResponse, false,
                                      macKeys, &plaintext) == OpenStatus::kOpened;
    return reply;
  }

  // Runs a setup from `address` through a fresh handler.
  SetupReply setup(const std::string& address = "192.0.2.7") {
    ExchangeKeys macKeys(&keys.pool);
    SetupParts parts = setupParts(&macKeys);
    auto handler = connect(address);
    HandlerStep step = handler->receive(parts.chunk().span());
    EXPECT_EQ(step.action, HandlerAction::kSendThenClose);
    return readSetupReply(step.answer, macKeys);
  }

  uint32_t createAccount() {
    const SetupReply reply = setup("198.51.100." + std::to_string(++setups_));
    EXPECT_EQ(reply.result, 0);
    return reply.account;
  }

 private:
  int setups_ = 0;
};

// The client's side of one exchange: its start chunk, keys and counter.
struct ClientExchange {
  explicit ClientExchange(ServerWorld& world) : world(world), keys(&world.keys.pool) {}

  ServerWorld& world;
  ExchangeKeys keys;
  ChunkSequence sequence;
  BuiltStart built;
  bool encrypt = false;

  ByteBuffer start(uint32_t account, std::string_view installation, bool withEncryption) {
    encrypt = withEncryption;
    const ByteBuffer id{installation};
    StartChunkInput input{account, id.span(), world.signingShort.span(), encrypt, true};
    EXPECT_TRUE(buildStartChunk(input, world.serverPublic, &world.keys.pool, &keys, &built));
    return built.chunk;
  }

  StartupResult readStartup(const ByteBuffer& answer) {
    return handleStartupAnswer(answer.span(), ExchangeKind::kRecover, encrypt, &keys,
                               &built.dhExponent);
  }

  ByteBuffer request(ChunkType type, const ByteBuffer& fields = ByteBuffer()) {
    ByteBuffer plaintext = startRequestPlaintext(sequence, fields.size());
    plaintext.appendBytes(fields);
    return buildChunk(type, std::move(plaintext), encrypt, keys);
  }
};

struct Session {
  std::unique_ptr<ConnectionHandler> handler;
  ClientExchange client;
  uint16_t code = 0xFFFF;
};

inline std::unique_ptr<Session> open(ServerWorld& world, uint32_t account, std::string_view id,
                              bool encrypt = true) {
  auto session = std::unique_ptr<Session>(new Session{world.connect(), ClientExchange(world)});
  HandlerStep step = session->handler->receive(session->client.start(account, id, encrypt).span());
  if (!step.answer.empty()) {
    const StartupResult result = session->client.readStartup(step.answer);
    session->code = result.outcome == StartupOutcome::kAdmitted ? 0 : result.code;
  }
  return session;
}

// Sends a request of `type`; the result of its answer, or nothing when the
// server closed instead.
inline std::optional<uint16_t> ask(Session& session, ChunkType type, OpenedChunk* opened = nullptr,
                                   const ByteBuffer& request = ByteBuffer()) {
  HandlerStep step = session.handler->receive(session.client.request(type, request).span());
  if (step.action != HandlerAction::kSend) return std::nullopt;
  OpenedChunk answer;
  const ChunkType answerType = *chunkTypeFromWire(wireChunkType(type) + 1);
  if (openAnswer(step.answer, answerType, session.client.encrypt, session.client.keys,
                 session.client.sequence, &answer) != OpenStatus::kOpened) {
    return std::nullopt;
  }
  uint16_t result = 0xFFFF;
  StrictReader fields = answer.fields();
  if (!fields.readU16(&result)) return std::nullopt;
  if (opened) *opened = std::move(answer);
  return result;
}

// The u16 at the start of an answer's payload, read without any check (as
// a client reads a refusal); 0xFFFF when there is none.
inline uint16_t answerCode(const ByteBuffer& chunk) {
  ChunkFields fields;
  StrictReader reader(readFields(chunk.span(), &fields) ? fields.payload
                                                        : std::span<const uint8_t>());
  uint16_t code = 0xFFFF;
  return reader.readU16(&code) ? code : 0xFFFF;
}

}  // namespace vl::test
