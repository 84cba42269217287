#include "server/protocol/connection_handler.h"

#include "crypto/rsa_key.h"
#include "crypto/sha256.h"
#include "net/chunk_header.h"
#include "net/start_admission.h"
#include "server/accounts/account_store.h"
#include "server/protocol/backup_requests.h"
#include "server/storage/backup_store.h"
#include "server/protocol/setup_limiter.h"
#include "server/protocol/setup_request.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace vl {
namespace {

constexpr uint16_t kResultDone = 0;
constexpr uint16_t kSetupFull = 1;
constexpr uint16_t kSetupOutdated = 2;
constexpr uint16_t kSetupTooMany = 3;
constexpr uint16_t kSetupBadKeys = 4;
constexpr uint16_t kResultNotAllowed = 5;
constexpr uint16_t kResultMissing = 1;
constexpr uint16_t kResultRefused = 2;
constexpr uint16_t kResultOverQuota = 3;
constexpr uint16_t kResultNotArchived = 4;
constexpr uint16_t kResultProtected = 6;
constexpr uint32_t kArchiveList = 1;
constexpr uint32_t kArchiveDelete = 2;

std::string numberList(const std::vector<uint32_t>& numbers) {
  std::string text;
  for (uint32_t number : numbers) text += (text.empty() ? "" : ", ") + std::to_string(number);
  return text;
}

// Room for what buildChunk adds around a plaintext (IV, padding, fields,
// MAC), so that a long answer is built in the memory it was written to.
constexpr uint32_t kAnswerFraming = 128;

// The plaintext of an answer: the request's number and the result, with room
// for `fieldsSize` more bytes.
ByteBuffer answerPlaintext(uint32_t number, uint16_t result, uint32_t fieldsSize = 0) {
  ByteBuffer plaintext;
  plaintext.reserve(size_t{6} + fieldsSize + kAnswerFraming);
  plaintext.appendU32(number);
  plaintext.appendU16(result);
  return plaintext;
}

std::string hexOf(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// A chunk of `type` carrying `payload`: MAC'd when there are keys, with a MAC
// of zeros otherwise (a refusal before any key exists; the client acts on a
// non-zero result without looking at the MAC).
ByteBuffer answerChunk(ChunkType type, ByteBuffer payload, const ExchangeKeys& keys) {
  if (keys.canAuthenticate()) return buildChunk(type, std::move(payload), false, keys);
  ByteBuffer chunk;
  appendChunkHeader(chunk, type);
  chunk.appendCounted(payload);
  const ByteBuffer zeros(kChunkMacSize);
  chunk.appendCounted(zeros);
  updateChunkLength(chunk);
  return chunk;
}

// A signing modulus that can be a key at all: 256 bytes, odd, and loadable.
bool usableSigningKey(std::span<const uint8_t> modulus) {
  if (modulus.size() != RsaKey::kModulusBytes || (modulus[0] & 1) == 0) return false;
  RsaKey key;
  return key.load(modulus, false, RsaKey::kBits, RsaKeyKind::kSigning, nullptr);
}

std::string startRefusalReason(const StartAdmission& admission, const ExchangeKeys& keys) {
  switch (admission.code) {
    case StartAnswerCode::kOutdatedClient:
      return "start chunk malformed, or of another version or server key number";
    case StartAnswerCode::kUserNotFound:
      return "user " + std::to_string(admission.start.userNumber) + " not found";
    default:
      return keys.present() ? "signature or Diffie-Hellman value refused"
                            : "key establishment does not decapsulate";
  }
}

const char* roleName(bool reader, bool owner) {
  return reader ? "reader" : owner ? "owner" : "recovering installation";
}

}  // namespace

ConnectionHandler::ConnectionHandler(const ServerContext& context, std::string address,
                                     std::string peer)
    : context_(context),
      address_(std::move(address)),
      peer_(std::move(peer)),
      keys_(context.pool) {}

void ConnectionHandler::log(const std::string& line) const {
  if (context_.log) context_.log->write(peer_ + ": " + line);
}

HandlerStep ConnectionHandler::close(const std::string& reason) {
  state_ = State::kFinished;
  received_.clear();
  keys_.clear();
  log("closed: " + reason);
  HandlerStep step;
  step.action = HandlerAction::kClose;
  step.reason = reason;
  return step;
}

HandlerStep ConnectionHandler::receive(std::span<const uint8_t> bytes) {
  if (state_ == State::kFinished) {
    HandlerStep step;
    step.action = HandlerAction::kClose;
    step.reason = "the exchange is over";
    return step;
  }
  received_.appendBytes(bytes);
  const ChunkScan scan = classifyChunk(received_.span());
  switch (scan.status) {
    case ChunkStatus::kMalformed:
      return close("bytes that are not a chunk");
    case ChunkStatus::kTooLarge:
      return close("a chunk declared " + std::to_string(scan.length) + " bytes long");
    case ChunkStatus::kNeedMore:
    case ChunkStatus::kComplete:
      break;
  }
  // Judged however the bytes came: a long opening chunk whose header arrived
  // split may well be complete by the time its length can be read.
  if (state_ == State::kAwaitingOpening && scan.length > kMaxOpeningChunkLength) {
    return close("an opening chunk declared " + std::to_string(scan.length) + " bytes long");
  }
  if (scan.status == ChunkStatus::kNeedMore) return {};
  HandlerStep step = handleChunk();
  received_.clear();
  return step;
}

HandlerStep ConnectionHandler::handleChunk() {
  const std::optional<ChunkType> type = chunkTypeOf(received_.span());
  if (!type || wireChunkType(*type) % 2 != 0) {
    return close("a chunk of a type no client sends");
  }
  const bool opening = *type == ChunkType::kExchangeStart || *type == ChunkType::kAccountSetupRequest;
  if (state_ == State::kAwaitingOpening) {
    if (*type == ChunkType::kExchangeStart) return handleStart();
    if (*type == ChunkType::kAccountSetupRequest) return handleSetup();
    return close("a request before an admitted start");
  }
  if (opening) return close("a second opening chunk on one connection");
  return handleRequest(*type);
}

HandlerStep ConnectionHandler::refuseStart(StartAnswerCode code, const std::string& why) {
  ByteBuffer answer = buildStartupAnswer(code, false, {}, keys_);
  const std::string account = account_ ? " to account " + std::to_string(account_) : "";
  log("start refused" + account + ": " + why + " (code " +
      std::to_string(static_cast<uint16_t>(code)) + ")");
  return finishWith(std::move(answer), why);
}

HandlerStep ConnectionHandler::finishWith(ByteBuffer answer, const std::string& why) {
  state_ = State::kFinished;
  keys_.clear();
  HandlerStep step;
  step.action = HandlerAction::kSendThenClose;
  step.answer = std::move(answer);
  step.reason = why;
  return step;
}

HandlerStep ConnectionHandler::handleStart() {
  const SigningKeyLookup lookup = [this](uint32_t user, ByteBuffer* publicKey) {
    return context_.accounts->signingKey(user, publicKey);
  };
  StartAdmission admission = admitStart(received_.span(), *context_.serverKey, context_.keyNumber,
                                        lookup, context_.pool, &keys_);
  if (admission.code != StartAnswerCode::kAdmitted) {
    return refuseStart(admission.code, startRefusalReason(admission, keys_));
  }
  account_ = admission.start.userNumber;

  // Each admitted start is remembered, so one that was recorded on the way
  // and is played again gets nothing.
  const ByteBuffer digest = sha256(admission.start.signedBlock);
  switch (context_.accounts->useStart(account_, digest.span())) {
    case StartUse::kFresh:
      break;
    case StartUse::kReplayed:
      return refuseStart(StartAnswerCode::kRefused, "start chunk used before (a replay)");
    case StartUse::kFailed:
      return close("the account store could not record the start");
  }

  const std::span<const uint8_t> id = admission.start.accountString;
  role_ = Role::kReader;
  if (!id.empty()) {
    switch (context_.accounts->installation(account_, id)) {
      case InstallationStanding::kOwner:
        role_ = Role::kOwner;
        break;
      case InstallationStanding::kNewcomer:
        role_ = Role::kRecoverer;
        break;
      case InstallationStanding::kReplaced:
        return refuseStart(StartAnswerCode::kOtherInstallation,
                           "installation " + hexOf(id) + " was replaced by a recovery");
      case InstallationStanding::kFailed:
        return close("the account store could not check the installation");
    }
  }

  ByteBuffer answer = buildStartupAnswer(StartAnswerCode::kAdmitted, admission.encrypt,
                                         admission.serverDhValue.span(), keys_);
  if (answer.empty()) return close("the admission could not be built");
  installationId_ = ByteBuffer(id);
  encrypt_ = admission.encrypt;
  sequence_.reset();
  state_ = State::kAdmitted;
  log("admitted to account " + std::to_string(account_) + " as " +
      roleName(role_ == Role::kReader, role_ == Role::kOwner) +
      (id.empty() ? "" : " (installation " + hexOf(id) + ")") + ", transport encryption " +
      (encrypt_ ? "on" : "off"));
  HandlerStep step;
  step.action = HandlerAction::kSend;
  step.answer = std::move(answer);
  return step;
}

HandlerStep ConnectionHandler::answerSetup(uint16_t result, const std::string& why) {
  ByteBuffer payload;
  payload.appendU16(result);
  ByteBuffer answer = answerChunk(ChunkType::kAccountSetupResponse, std::move(payload), keys_);
  log("account setup refused: " + why + " (result " + std::to_string(result) + ")");
  return finishWith(std::move(answer), why);
}

HandlerStep ConnectionHandler::handleSetup() {
  SetupRequest request;
  if (!readSetupVersions(received_.span(), &request)) {
    return close("a setup request too short to hold its versions");
  }
  if (request.protocol != kStartProtocol || request.version != kStartVersion) {
    return answerSetup(kSetupOutdated, "protocol " + std::to_string(request.protocol) +
                                           ", version " + std::to_string(request.version));
  }
  SetupDetails details;
  if (!parseSetupRequest(received_.span(), &request) ||
      !parseSetupRecord(request.setupRecord, &details)) {
    return close("a setup request that does not read");
  }
  if (request.value != 0) {
    return answerSetup(kSetupOutdated, "setup value " + std::to_string(request.value));
  }
  // Counted before the costly steps: the request proves nothing about its
  // sender, and decapsulation is a private-key operation.
  if (!context_.limiter->allow(address_, context_.now())) {
    return answerSetup(kSetupTooMany, "too many setup requests from " + address_);
  }
  if (!usableSigningKey(request.signingPublicKey)) {
    return answerSetup(kSetupBadKeys, "the signing key is not a 2048-bit modulus");
  }
  const ByteBuffer secret = request.keyBlockVersion == kKeyBlockVersion
                                ? context_.serverKey->decapsulate(request.encapsulated)
                                : ByteBuffer();
  if (!keys_.derive(secret.span())) {
    return answerSetup(kSetupBadKeys, "key establishment does not decapsulate");
  }

  NewAccount account;
  account.signingPublicKey = ByteBuffer(request.signingPublicKey);
  account.setupRecord = ByteBuffer(request.setupRecord);
  account.reservedBytes = static_cast<uint64_t>(context_.settings.reservedGib) << 30;
  account.createdAt = context_.now();
  const CreateResult created =
      context_.accounts->createAccount(account, context_.settings.maxAccounts);
  if (created.outcome == CreateOutcome::kFull) {
    return answerSetup(kSetupFull, "the account limit is reached");
  }
  if (created.outcome != CreateOutcome::kCreated) {
    return close("the account store could not create the account");
  }

  ByteBuffer payload;
  payload.appendU16(kResultDone);
  payload.appendU32(created.number);
  payload.appendCounted(account.signingPublicKey);
  payload.appendU32(context_.settings.reservedGib);
  ByteBuffer answer =
      buildChunk(ChunkType::kAccountSetupResponse, std::move(payload), false, keys_);
  if (answer.empty()) return close("the setup answer could not be built");
  log("account " + std::to_string(created.number) + " created for \"" + details.name + "\", \"" +
      details.organisation + "\", <" + details.email + ">, " +
      std::to_string(context_.settings.reservedGib) + " GiB reserved");
  return finishWith(std::move(answer), "account created");
}

bool ConnectionHandler::allowed(ChunkType type) const {
  switch (role_) {
    case Role::kOwner:
      return true;
    case Role::kReader:
      return type == ChunkType::kFileListRequest || type == ChunkType::kFileDataRequest;
    case Role::kRecoverer:
      return type == ChunkType::kRecover;
  }
  return false;
}

HandlerStep ConnectionHandler::answerRequest(ChunkType type, uint32_t number, uint16_t result) {
  const std::optional<ChunkType> answerType = chunkTypeFromWire(wireChunkType(type) + 1);
  ByteBuffer plaintext;
  plaintext.appendU32(number);
  plaintext.appendU16(result);
  HandlerStep step;
  step.action = HandlerAction::kSend;
  step.answer = buildChunk(*answerType, std::move(plaintext), encrypt_, keys_);
  if (step.answer.empty()) return close("an answer could not be built");
  return step;
}

HandlerStep ConnectionHandler::handleRequest(ChunkType type) {
  const std::string label(chunkLabel(type).substr(0, chunkLabel(type).size() - 2));
  if ((type == ChunkType::kArchive || type == ChunkType::kRecover) && !encrypt_) {
    return close(label + " without transport encryption");
  }
  OpenedChunk request;
  switch (openRequest(std::move(received_), type, encrypt_, keys_, sequence_, &request)) {
    case OpenStatus::kOpened:
      break;
    case OpenStatus::kNotAuthentic:
      return close(label + " whose MAC does not match");
    case OpenStatus::kNotDecrypted:
      return close(label + " whose payload does not decrypt");
    case OpenStatus::kOutOfSequence:
      return close(label + " out of sequence (expected " + std::to_string(sequence_.last() + 1) +
                   ")");
  }
  if (!allowed(type)) {
    log(label + " refused: not allowed to a " +
        roleName(role_ == Role::kReader, role_ == Role::kOwner) + " (result 5)");
    return answerRequest(type, request.number, kResultNotAllowed);
  }
  switch (type) {
    case ChunkType::kRecover:
      return handleRecover(request);
    case ChunkType::kFileData:
      return handleUpload(request);
    case ChunkType::kFileList:
      return handleCommit(request);
    case ChunkType::kFileListRequest:
      return handleListRequest(request);
    case ChunkType::kFileDataRequest:
      return handleSectionRequest(request);
    case ChunkType::kArchive:
      return handleArchive(request);
    default:
      return close(label + ": this exchange is not served yet");
  }
}

AccountBackups* ConnectionHandler::backups() {
  if (!backups_ && context_.backups) backups_ = context_.backups->account(account_);
  return backups_.get();
}

HandlerStep ConnectionHandler::sendAnswer(ChunkType type, ByteBuffer plaintext) {
  HandlerStep step;
  step.action = HandlerAction::kSend;
  step.answer = buildChunk(type, std::move(plaintext), encrypt_, keys_);
  if (step.answer.empty()) return close("an answer could not be built");
  return step;
}

HandlerStep ConnectionHandler::handleUpload(const OpenedChunk& request) {
  SectionUpload upload;
  std::string why;
  if (!readSectionUpload(request.fields(), &upload)) {
    why = "its fields do not read";
  } else if (upload.number == 0) {
    why = "number 0";
  } else if (!soundSectionRecord(upload.record)) {
    why = "a misshapen record";
  }
  if (!why.empty()) {
    log("section " + std::to_string(upload.number) + " refused: " + why + " (result 2)");
    return sendAnswer(ChunkType::kFileDataResponse,
                      answerPlaintext(request.number, kResultRefused));
  }
  AccountBackups* store = backups();
  AccountUsage usage;
  if (!store || !context_.accounts->usage(account_, &usage)) {
    return close("the account's records cannot be opened");
  }
  const UploadResult result = store->putSection(upload.number, upload.record, usage.reservedBytes);
  switch (result.outcome) {
    case UploadOutcome::kStored:
      break;
    case UploadOutcome::kNumberInUse:
      log("section " + std::to_string(upload.number) +
          " refused: a stored copy uses the number (result 2)");
      return sendAnswer(ChunkType::kFileDataResponse,
                        answerPlaintext(request.number, kResultRefused));
    case UploadOutcome::kOverQuota:
      log("section " + std::to_string(upload.number) + " refused: " +
          std::to_string(upload.record.size()) + " bytes would pass the reserved " +
          std::to_string(usage.reservedBytes) + " (result 3)");
      return sendAnswer(ChunkType::kFileDataResponse,
                        answerPlaintext(request.number, kResultOverQuota));
    case UploadOutcome::kFailed:
      return close("section " + std::to_string(upload.number) + " could not be stored");
  }
  ByteBuffer plaintext = answerPlaintext(request.number, kResultDone, 8);
  plaintext.appendU64HighFirst(result.copyBytes);
  return sendAnswer(ChunkType::kFileDataResponse, std::move(plaintext));
}

HandlerStep ConnectionHandler::handleCommit(const OpenedChunk& request) {
  NewCopy copy;
  std::string why;
  auto refuse = [&](const std::string& reason) {
    log("copy refused: " + reason + " (result 2)");
    return sendAnswer(ChunkType::kFileListResponse,
                      answerPlaintext(request.number, kResultRefused));
  };
  if (!readCompletedCopy(request.fields(), &copy, &why)) return refuse(why);
  copy.receivedAt = context_.now();
  AccountBackups* store = backups();
  if (!store) return close("the account's records cannot be opened");
  const CommitResult result = store->commitCopy(copy);
  switch (result.outcome) {
    case CommitOutcome::kStored:
      break;
    case CommitOutcome::kMissingSection:
      return refuse("set B names section " + std::to_string(result.missing) +
                    ", which the server does not hold");
    case CommitOutcome::kBadSections:
      return refuse("a section set is not a count and that many numbers");
    case CommitOutcome::kFailed:
      return close("the copy could not be stored");
  }
  if (context_.settings.expire) expireAfter(copy.time);
  AccountUsage usage;
  if (!context_.accounts->usage(account_, &usage)) {
    return close("the account store could not read the usage");
  }
  log("copy " + std::to_string(result.copy) + " stored: " + std::to_string(copy.files) +
      " files, " + std::to_string(copy.size) + " bytes, " + std::to_string(result.dropped) +
      " unused section records deleted; " + std::to_string(usage.copies) + " copies, " +
      std::to_string(usage.usedBytes) + " bytes used");
  ByteBuffer plaintext = answerPlaintext(request.number, kResultDone, 16);
  plaintext.appendU64HighFirst(usage.usedBytes);
  plaintext.appendU32(usage.copies);
  plaintext.appendU32(static_cast<uint32_t>(usage.reservedBytes >> 30));
  return sendAnswer(ChunkType::kFileListResponse, std::move(plaintext));
}

HandlerStep ConnectionHandler::handleListRequest(const OpenedChunk& request) {
  uint32_t selector = 0;
  uint8_t withLists = 0;
  if (!readListRequest(request.fields(), &selector, &withLists)) {
    return close("FileListRequestChunk whose fields do not read");
  }
  AccountBackups* store = backups();
  if (!store) return close("the account's records cannot be opened");
  CopyListing copy;
  switch (store->copyBySelector(selector, &copy)) {
    case Lookup::kFound:
      break;
    case Lookup::kAbsent: {
      ByteBuffer plaintext = answerPlaintext(request.number, kResultDone, 1);
      plaintext.appendU8(0);
      return sendAnswer(ChunkType::kFileListRequestResponse, std::move(plaintext));
    }
    case Lookup::kFailed:
      return close("the copy " + std::to_string(selector) + " back from the newest cannot be read");
  }
  // The list goes with every answer: the backup and restore exchanges ask
  // without the flag and still need it.
  ByteBuffer plaintext = answerPlaintext(request.number, kResultDone, copy.list.size() + 21);
  plaintext.appendU8(1);
  plaintext.appendCounted(copy.list);
  copy.list.clear();
  plaintext.appendU32(copy.time);
  plaintext.appendU32(copy.files);
  plaintext.appendU64HighFirst(copy.size);
  return sendAnswer(ChunkType::kFileListRequestResponse, std::move(plaintext));
}

HandlerStep ConnectionHandler::handleSectionRequest(const OpenedChunk& request) {
  uint32_t number = 0;
  if (!readSectionRequest(request.fields(), &number)) {
    return close("FileDataRequestChunk whose fields do not read");
  }
  AccountBackups* store = backups();
  if (!store) return close("the account's records cannot be opened");
  ByteBuffer record;
  switch (store->getSection(number, &record)) {
    case Lookup::kFound:
      break;
    case Lookup::kAbsent:
      log("section " + std::to_string(number) + " asked for but not held (result 1)");
      return sendAnswer(ChunkType::kFileDataRequestResponse,
                        answerPlaintext(request.number, kResultMissing));
    case Lookup::kFailed:
      return close("section " + std::to_string(number) + " cannot be read");
  }
  ByteBuffer plaintext = answerPlaintext(request.number, kResultDone, record.size() + 4);
  plaintext.appendCounted(record);
  record.clear();
  return sendAnswer(ChunkType::kFileDataRequestResponse, std::move(plaintext));
}

HandlerStep ConnectionHandler::handleRecover(const OpenedChunk& request) {
  if (!request.fields().atEnd()) return close("RecoverChunk with bytes after its number");
  if (role_ == Role::kRecoverer) {
    if (!context_.accounts->registerRecovery(account_, installationId_.span())) {
      return close("the account store could not register the recovery");
    }
    role_ = Role::kOwner;
    log("account " + std::to_string(account_) + " recovered: installation " +
        hexOf(installationId_.span()) + " is now its owner");
  }
  AccountUsage usage;
  if (!context_.accounts->usage(account_, &usage)) {
    return close("the account store could not read the usage");
  }
  ByteBuffer plaintext;
  plaintext.appendU32(request.number);
  plaintext.appendU16(kResultDone);
  plaintext.appendU32(usage.lastCopyTime);
  plaintext.appendU32(usage.lastCopyFiles);
  plaintext.appendU64HighFirst(usage.lastCopySize);
  plaintext.appendU64HighFirst(usage.usedBytes);
  plaintext.appendU32(usage.copies);
  plaintext.appendU32(static_cast<uint32_t>(usage.reservedBytes >> 30));
  HandlerStep step;
  step.action = HandlerAction::kSend;
  step.answer = buildChunk(ChunkType::kRecoverResponse, std::move(plaintext), true, keys_);
  if (step.answer.empty()) return close("the recover answer could not be built");
  log("recovery figures sent for account " + std::to_string(account_));
  return step;
}

std::optional<uint32_t> ConnectionHandler::protectDays() {
  uint32_t own = 0;
  if (!context_.accounts->protectDays(account_, &own)) return std::nullopt;
  return std::max(own, context_.settings.protectDays);
}

void ConnectionHandler::expireAfter(uint32_t newestTime) {
  const std::optional<uint32_t> days = protectDays();
  std::vector<uint32_t> expired;
  std::vector<uint32_t> kept;
  if (!days || !backups()->expire(newestTime, *days, context_.now(), &expired, &kept)) {
    log("retention: the archived copies could not be expired");
    return;
  }
  if (!expired.empty()) log("retention: archived copies " + numberList(expired) + " deleted");
  if (!kept.empty()) {
    log("retention: archived copies " + numberList(kept) + " past retention kept: protected");
  }
}

HandlerStep ConnectionHandler::handleArchive(const OpenedChunk& request) {
  StrictReader fields = request.fields();
  uint32_t mode = 0;
  std::span<const uint8_t> indexBytes;
  std::optional<std::vector<uint32_t>> numbers;
  if (fields.readU32(&mode) && fields.readCounted(&indexBytes) && fields.atEnd()) {
    numbers = readSectionSet(indexBytes);
  }
  if (!numbers || (mode != kArchiveList && mode != kArchiveDelete)) {
    log("archive request refused: " +
        (numbers ? "mode " + std::to_string(mode) : std::string("its fields do not read")) +
        " (result 2)");
    return sendAnswer(ChunkType::kArchiveResponse,
                      answerPlaintext(request.number, kResultRefused));
  }
  AccountBackups* store = backups();
  if (!store) return close("the account's records cannot be opened");
  if (mode == kArchiveDelete) {
    const std::optional<uint32_t> days = protectDays();
    if (!days) return close("the account store could not read the protection");
    const DeleteResult deleted = store->deleteArchived(*numbers, *days, context_.now());
    switch (deleted.outcome) {
      case DeleteOutcome::kDeleted:
        log("archived copies " + numberList(*numbers) + " deleted, " +
            std::to_string(deleted.dropped) + " section records with them");
        break;
      case DeleteOutcome::kNotArchived:
        log("archive deletion refused: " + std::to_string(deleted.refused) +
            " is not an archived copy (result 4)");
        return sendAnswer(ChunkType::kArchiveResponse,
                          answerPlaintext(request.number, kResultNotArchived));
      case DeleteOutcome::kProtected:
        log("archive deletion refused: copy " + std::to_string(deleted.refused) +
            " is protected for " + std::to_string(*days) + " days from its receipt (result 6)");
        return sendAnswer(ChunkType::kArchiveResponse,
                          answerPlaintext(request.number, kResultProtected));
      case DeleteOutcome::kFailed:
        return close("the archived copies could not be deleted");
    }
  }
  const std::optional<std::vector<CopySummary>> archived = store->archived();
  AccountUsage usage;
  if (!archived || !context_.accounts->usage(account_, &usage)) {
    return close("the archived copies cannot be read");
  }
  ByteBuffer list;
  list.appendU32(static_cast<uint32_t>(archived->size()));
  for (const CopySummary& copy : *archived) {
    list.appendU32(copy.copy);
    list.appendU32(copy.clientTime);
    list.appendU32(copy.files);
    list.appendU64HighFirst(copy.size);
  }
  ByteBuffer plaintext = answerPlaintext(request.number, kResultDone, list.size() + 20);
  plaintext.appendCounted(list);
  plaintext.appendU64HighFirst(usage.usedBytes);
  plaintext.appendU32(usage.copies);
  plaintext.appendU32(static_cast<uint32_t>(usage.reservedBytes >> 30));
  return sendAnswer(ChunkType::kArchiveResponse, std::move(plaintext));
}

}  // namespace vl
