#include "net/setup_act.h"

#include <algorithm>
#include <utility>

#include "core/strict_reader.h"
#include "crypto/random_pool.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/start_chunk.h"
#include "platform/file.h"

namespace vl {
namespace {

const ExchangeMessage kIncorrectData{"Fel: Mottog felaktig data från servern.",
                                     "Error: Recieveing incorrect data from server."};
const ExchangeMessage kNotVerified{"Internt fel, kunde inte skapa användare.",
                                   "Internal error, could not create account."};

ExchangeMessage refusalMessage(uint16_t result) {
  switch (result) {
    case kSetupNoSpace:
      return {"Fel: Det finns inte plats för en till användare just nu, försök senare.",
              "Error: There is not space anough for another user right now, try again later."};
    case kSetupOutdated:
      return {"Fel: Klientprogramvaran är föräldrad och måste bytas ut mot en senare version.",
              "Error: The client software is out-dated, use later version."};
    case kSetupTooManyUsers:
      return {"Fel: Kan inte skapa fler användare på servern just nu, försök igen senare.",
              "Error: Can't create more users right now, try again later."};
    default:
      return {"Fel: Kan inte skapa användare.", "Error: Could not create user."};
  }
}

SetupAnswer notCreated(uint16_t result, ExchangeMessage message) {
  SetupAnswer answer;
  answer.result = result;
  answer.message = std::move(message);
  return answer;
}

bool sameBytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

ByteBuffer accountSetupRecord(const AccountDetails& details) {
  ByteBuffer record;
  for (const std::string* text : {&details.name, &details.organisation, &details.email}) {
    record.appendCounted(text->data(), text->size());
  }
  return record;
}

ByteBuffer buildSetupRequest(std::span<const uint8_t> setupRecord,
                             std::span<const uint8_t> signingPublicKey, const ServerKey& server,
                             RandomPool* pool, ExchangeKeys* keys) {
  keys->clear();
  ByteBuffer secret;
  ByteBuffer encapsulated;
  if (!encapsulateForServer(server, pool, &secret, &encapsulated) ||
      !keys->derive(secret.span())) {
    keys->clear();
    return ByteBuffer();
  }
  ByteBuffer keyBlock;
  keyBlock.appendU16(kKeyBlockVersion);
  keyBlock.appendCounted(encapsulated);

  ByteBuffer chunk;
  appendChunkHeader(chunk, ChunkType::kAccountSetupRequest);
  chunk.appendU16(kStartProtocol);
  chunk.appendU16(kStartVersion);
  chunk.appendCounted(setupRecord.data(), setupRecord.size());
  chunk.appendCounted(signingPublicKey.data(), signingPublicKey.size());
  chunk.appendU32(kSetupRequestValue);
  chunk.appendCounted(keyBlock);
  updateChunkLength(chunk);
  chunk.setReadPosition(kChunkHeaderSize);
  return chunk;
}

SetupAnswer readSetupAnswer(ByteBuffer chunk, const ExchangeKeys& keys,
                            std::span<const uint8_t> signingPublicKey) {
  // The type is checked before anything of the payload is looked at.
  if (chunkTypeOf(chunk.span()) != ChunkType::kAccountSetupResponse) {
    return notCreated(0, kIncorrectData);
  }
  ChunkFields fields;
  uint16_t result = 0;
  if (!readFields(chunk.span(), &fields) ||
      !StrictReader(fields.payload).readU16(&result)) {
    return notCreated(0, kIncorrectData);
  }
  // A refusal is believed unverified: the server may have had no key to MAC
  // it with, and a forged one achieves no more than a cut connection.
  if (result != kSetupCreated) return notCreated(result, refusalMessage(result));

  ByteBuffer payload;
  if (verifyAndOpen(std::move(chunk), ChunkType::kAccountSetupResponse, false, keys, &payload) !=
      OpenStatus::kOpened) {
    return notCreated(result, kNotVerified);
  }
  SetupAnswer answer;
  std::span<const uint8_t> echo;
  StrictReader in(payload.span());
  if (!in.skip(2) || !in.readU32(&answer.account) || !in.readCounted(&echo) ||
      !in.readU32(&answer.reservedGib) || !in.atEnd()) {
    return notCreated(result, kIncorrectData);
  }
  if (answer.account == 0) {
    return notCreated(result, {"Fel: Internet fel (1), kunde inte skapa användare.",
                               "Error: Internal error (1), could not create account."});
  }
  if (!sameBytes(echo, signingPublicKey)) {
    return notCreated(result, {"Fel: Internet fel (2), kunde inte skapa användare.",
                               "Error: Internal error (2), could not create account."});
  }
  answer.created = true;
  return answer;
}

SetupAct::SetupAct(SetupMainAction* callbacks, RandomPool* pool, AccountKeys accountKeys,
                   std::string recoveryFilePath, uint16_t serverKeySizeCode, AccountFiles files)
    : callbacks_(callbacks),
      pool_(pool),
      account_keys_(std::move(accountKeys)),
      recovery_path_(std::move(recoveryFilePath)),
      server_key_size_code_(serverKeySizeCode),
      files_(std::move(files)),
      keys_(pool) {}

bool SetupAct::dispatch(ByteBuffer chunk, ByteBuffer* /*answer*/, bool* /*longWait*/) {
  if (pool_ != nullptr) pool_->addDispatchEvent();
  const SetupAnswer answer =
      readSetupAnswer(std::move(chunk), keys_, account_keys_.signingPublicKey.span());
  keys_.clear();
  if (!answer.created) return fail(answer.message);
  if (!writeAccountFiles(answer)) return false;
  callbacks_->setupSucceeded();
  return false;
}

bool SetupAct::writeAccountFiles(const SetupAnswer& accepted) {
  ServerUsage usage;
  usage.reserved_gib = accepted.reservedGib;
  writeServerUsage(usage, files_.usage);

  if (!writeLocalKey(files_.localKey, accepted.account, account_keys_.localKey,
                     account_keys_.encryptionKey, account_keys_.signingKey)) {
    return fail({"Fel: Kunde inte skriva lokal krypteringsnyckel.",
                 "Error: Could not write local encryption key."});
  }
  RecoveryRecord recovery;
  recovery.userNumber = accepted.account;
  recovery.localKey = account_keys_.localKey;
  recovery.encryptionKey = account_keys_.encryptionKey;
  recovery.signingKey = account_keys_.signingKey;
  recovery.serverKeyCode = static_cast<uint8_t>(server_key_size_code_);
  recovery.logKey = account_keys_.logKey;
  if (!writeRecovery(recovery_path_, recovery)) {
    deleteFile(files_.localKey);
    return fail({"Fel: Kunde inte skriva återställningsfilen.",
                 "Error: Could not write data recovery file."});
  }
  if (!writeLogKey(files_.logKey, account_keys_.logKey)) {
    return fail({"Fel: Kunde inte skriva fil för logg-nyckel.",
                 "Error: Could not write file for logg-key."});
  }
  return true;
}

bool SetupAct::fail(const ExchangeMessage& message) {
  callbacks_->setupFailed(message.swedish, message.english, 0);
  return false;
}

void SetupAct::reportError(TransferErrorKind kind, uint32_t platformCode) {
  fail(transferErrorMessage(ExchangeKind::kSetup, static_cast<uint32_t>(kind), platformCode));
}

}  // namespace vl
