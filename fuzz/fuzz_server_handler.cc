// The server's connection handler on arbitrary bytes, as a peer sends them,
// and the setup request and record readers on their own.
//
// The first byte steers. Bit 0: open the connection with a genuine start
// chunk, admitted, so the bytes reach the request handling behind it.
// Bit 1: that start asks for transport encryption. Bit 2: wrap the rest as
// a request with a correct MAC and the next sequence number, of the type
// that bits 4 to 7 pick, so the checks behind the MAC are reached too.
// Bit 3 (with bit 2): the rest is a series of requests instead, each a u8
// that picks its type, a u16 length and that many bytes of fields, so that
// uploads, completed copies, list, section and archive requests meet the
// copies earlier requests stored. The second byte sets the size of the
// pieces the bytes arrive in. Accounts live in an in-memory store; copies
// and records in a real backup store in a fresh temporary folder, both new
// for every input. Every answer must open under the client's keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "net/chunk_framing.h"
#include "net/start_chunk.h"
#include "net/startup_answer.h"
#include "server/accounts/account_store.h"
#include "server/protocol/connection_handler.h"
#include "server/protocol/setup_limiter.h"
#include "server/protocol/setup_request.h"
#include "server/storage/packed_backup_store.h"
#include "server/storage/sqlite_copy_catalog.h"
#include "tests/crypto/rsa_test_keys.h"

namespace {

using namespace vl;

void check(bool condition) {
  if (!condition) std::abort();
}

// The account store interface kept in memory.
class MemoryAccounts final : public AccountStore {
 public:
  CreateResult createAccount(const NewAccount& account, uint32_t maxAccounts) override {
    if (maxAccounts && keys_.size() >= maxAccounts) return {CreateOutcome::kFull, 0};
    const uint32_t number = static_cast<uint32_t>(keys_.size()) + 1;
    keys_[number] = account.signingPublicKey;
    return {CreateOutcome::kCreated, number};
  }
  bool signingKey(uint32_t account, ByteBuffer* key) override {
    const auto it = keys_.find(account);
    if (it == keys_.end()) return false;
    *key = it->second;
    return true;
  }
  InstallationStanding installation(uint32_t account, std::span<const uint8_t> id) override {
    const std::string text(id.begin(), id.end());
    if (replaced_.count({account, text})) return InstallationStanding::kReplaced;
    auto [it, added] = owner_.emplace(account, text);
    return added || it->second == text ? InstallationStanding::kOwner
                                       : InstallationStanding::kNewcomer;
  }
  bool registerRecovery(uint32_t account, std::span<const uint8_t> id) override {
    const std::string text(id.begin(), id.end());
    if (owner_.count(account) && owner_[account] != text) replaced_.insert({account, owner_[account]});
    owner_[account] = text;
    return true;
  }
  StartUse useStart(uint32_t account, std::span<const uint8_t> digest) override {
    return used_.insert({account, std::string(digest.begin(), digest.end())}).second
               ? StartUse::kFresh
               : StartUse::kReplayed;
  }
  bool usage(uint32_t account, AccountUsage* usage) override {
    *usage = AccountUsage{};
    usage->reservedBytes = uint64_t{1} << 30;
    return keys_.count(account) != 0;
  }
  std::vector<AccountSummary> listAccounts() override { return {}; }
  bool protectDays(uint32_t account, uint32_t* days) override {
    *days = account % 2;
    return keys_.count(account) != 0;
  }
  bool setProtectDays(uint32_t, uint32_t) override { return false; }

 private:
  std::map<uint32_t, ByteBuffer> keys_;
  std::map<uint32_t, std::string> owner_;
  std::set<std::pair<uint32_t, std::string>> replaced_;
  std::set<std::pair<uint32_t, std::string>> used_;
};

constexpr ChunkType kRequests[] = {ChunkType::kFileData,        ChunkType::kFileDataRequest,
                                   ChunkType::kFileList,        ChunkType::kFileListRequest,
                                   ChunkType::kArchive,         ChunkType::kRecover,
                                   ChunkType::kExchangeStart,   ChunkType::kAccountSetupRequest,
                                   ChunkType::kStartupResponse, ChunkType::kRecoverResponse};

test::FixedKeys& keys() { return test::fixedKeys(); }

// Feeds `bytes` in pieces of `piece`; false once the handler has closed.
bool feed(ConnectionHandler& handler, std::span<const uint8_t> bytes, size_t piece,
          HandlerStep* last) {
  for (size_t at = 0; at < bytes.size(); at += piece) {
    *last = handler.receive(bytes.subspan(at, std::min(piece, bytes.size() - at)));
    check(last->action == HandlerAction::kNeedMore || !last->reason.empty() ||
          !last->answer.empty());
    if (last->action == HandlerAction::kClose || last->action == HandlerAction::kSendThenClose) {
      return false;
    }
  }
  return true;
}

// A folder that goes with everything in it when the object does.
class ScratchFolder {
 public:
  ScratchFolder() {
    char shm[] = "/dev/shm/vl_fuzz_XXXXXX";
    char tmp[] = "/tmp/vl_fuzz_XXXXXX";
    const char* made = ::mkdtemp(shm);
    if (made == nullptr) made = ::mkdtemp(tmp);
    check(made != nullptr);
    path_ = made;
  }
  ~ScratchFolder() {
    ::nftw(
        path_.c_str(),
        [](const char* name, const struct stat*, int, struct FTW*) { return ::remove(name); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// An answer the handler sends must be a chunk of the answer type that
// opens under the client's keys and echoes the request's number.
void checkAnswer(const HandlerStep& step, ChunkType request, bool encrypt,
                 const ExchangeKeys& keys, const ChunkSequence& sequence) {
  if (step.action != HandlerAction::kSend) return;
  const ChunkType answerType = *chunkTypeFromWire(wireChunkType(request) + 1);
  OpenedChunk opened;
  check(openAnswer(step.answer, answerType, encrypt, keys, sequence, &opened) ==
        OpenStatus::kOpened);
  uint16_t result = 0;
  StrictReader fields = opened.fields();
  check(fields.readU16(&result));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check(keys().ok);
  const std::span<const uint8_t> input(data, size);
  {
    SetupRequest request;
    SetupDetails details;
    if (parseSetupRequest(input, &request)) (void)parseSetupRecord(request.setupRecord, &details);
    (void)parseSetupRecord(input, &details);
  }
  if (size < 2) return 0;
  const uint8_t steer = data[0];
  const size_t piece = data[1] == 0 ? size : data[1];
  const std::span<const uint8_t> rest = input.subspan(2);

  MemoryAccounts accounts;
  SetupLimiter limiter;
  ServerContext context;
  context.serverKey = &keys().encryption;
  context.keyNumber = 303;
  context.accounts = &accounts;
  context.pool = &keys().pool;
  context.limiter = &limiter;
  context.now = [] { return 1700000000u; };
  context.settings.expire = (steer & 16) != 0;
  std::unique_ptr<ScratchFolder> scratch;
  std::unique_ptr<SqliteCopyCatalog> catalog;
  std::unique_ptr<PackedBackupStore> backups;
  if (steer & 1) {
    scratch = std::make_unique<ScratchFolder>();
    catalog = SqliteCopyCatalog::open(scratch->path() + "/copies.db");
    check(catalog != nullptr);
    backups = std::make_unique<PackedBackupStore>(scratch->path() + "/backups", catalog.get(),
                                                  nullptr);
    context.backups = backups.get();
  }
  ConnectionHandler handler(context, "192.0.2.1", "fuzz");
  HandlerStep last;

  ExchangeKeys clientKeys(&keys().pool);
  ChunkSequence sequence;
  const bool encrypt = (steer & 2) != 0;
  if (steer & 1) {
    NewAccount account;
    account.signingPublicKey = keys().signing.exportPublic();
    const uint32_t number = accounts.createAccount(account, 0).number;
    const ByteBuffer id(std::string_view("fuzz-pc"));
    const ByteBuffer signing = keys().signing.exportShort();
    const ServerKey server{0, 303, keys().encryption.exportPublic()};
    BuiltStart built;
    check(buildStartChunk({number, id.span(), signing.span(), encrypt, true}, server,
                          &keys().pool, &clientKeys, &built));
    last = handler.receive(built.chunk.span());
    check(last.action == HandlerAction::kSend);
    check(handleStartupAnswer(last.answer.span(), ExchangeKind::kRecover, encrypt, &clientKeys,
                              &built.dhExponent)
              .outcome == StartupOutcome::kAdmitted);
  }
  // Sends `fields` as a genuine request of `type`; false once closed.
  const auto request = [&](ChunkType type, std::span<const uint8_t> fields) {
    ByteBuffer plaintext = startRequestPlaintext(sequence, static_cast<uint32_t>(fields.size()));
    plaintext.appendBytes(fields);
    const ByteBuffer chunk = buildChunk(type, std::move(plaintext), encrypt, clientKeys);
    last = HandlerStep{};  // a type that carries no MAC builds no chunk at all
    const bool open = feed(handler, chunk.span(), piece, &last);
    if (steer & 1) checkAnswer(last, type, encrypt, clientKeys, sequence);
    return open;
  };
  if ((steer & 12) == 12) {
    StrictReader series(rest);
    uint8_t pick = 0;
    uint16_t length = 0;
    std::span<const uint8_t> fields;
    while (series.readU8(&pick) && series.readU16(&length) &&
           series.readBytes(std::min<size_t>(length, series.remaining()), &fields)) {
      if (!request(kRequests[pick % std::size(kRequests)], fields)) break;
    }
  } else if (steer & 4) {
    request(kRequests[(steer >> 4) % std::size(kRequests)], rest);
  } else {
    feed(handler, rest, piece, &last);
  }
  // Nothing but a short opening chunk is ever held before an admission.
  check(handler.admitted() || handler.bufferedBytes() <= kMaxOpeningChunkLength);
  return 0;
}
