#include "net/backup_act.h"

#include <utility>

#include "core/state_files.h"
#include "core/usage_files.h"
#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/key_derivation.h"
#include "crypto/key_files.h"
#include "crypto/random_pool.h"
#include "model/list_record.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/startup_answer.h"
#include "platform/clock.h"

namespace vl {
namespace {

BackupMessage internalError(const char* place) {
  return backupMessage(std::string("Fel: Internt fel (") + place + ").",
                       std::string("Error: Internal error (") + place + ").");
}

size_t logRecordCount() {
  std::vector<CopyLogRecord> records;
  return loadLog(&records) ? records.size() : 0;
}

void appendSectionSet(ByteBuffer& out, const ByteBuffer& set) { out.appendCounted(set); }

}  // namespace

BackupAct::BackupAct(BackupActInput input)
    : callbacks_(input.callbacks),
      pool_(input.pool),
      cancel_(input.cancel),
      log_(input.log),
      local_key_(std::move(input.localKey)),
      user_number_(input.userNumber),
      account_string_(std::move(input.accountString)),
      signing_key_(std::move(input.signingKey)),
      server_(std::move(input.server)),
      encrypt_(input.encrypt),
      compress_(input.compress),
      restart_run_(input.resume),
      copy_count_(input.copyCount),
      retention_days_(input.retentionDays),
      automatic_(input.engine.automatic),
      prepare_ahead_(input.prepareAhead),
      keys_(input.pool) {
  key_loaded_ = encryption_key_.load(input.encryptionPublicKey.span(), false, RsaKey::kBits,
                                     RsaKeyKind::kEncryption, pool_);
  log_records_before_ = logRecordCount();
  BackupEngineOptions options = std::move(input.engine);
  options.callbacks = callbacks_;
  options.cancel = cancel_;
  options.log = log_;
  engine_ = std::make_unique<BackupEngine>(options);
}

BackupAct::~BackupAct() {
  if (feed_) feed_->stop();
}

bool BackupAct::dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) {
  if (pool_ != nullptr) pool_->addDispatchEvent();
  if (ended_) return false;
  if (!final_phase_) {
    if (cancel_->load() == 1) return cancel();
    if (readCancelRequest()) {
      // Another process asked; the engine is left as it is.
      warn("Kopieringen avbruten av användaren!", "Copy process canceled by user!");
      callbacks_->copyFailed("Kopieringen avbruten av användaren!",
                             "Copy process canceled by user!");
      return end();
    }
  }
  const std::optional<ChunkType> type = chunkTypeOf(chunk.span());
  switch (awaiting_) {
    case Awaiting::kStartup:
      if (type == ChunkType::kStartupResponse) return admit(chunk, answer);
      break;
    case Awaiting::kStoredList:
      if (type == ChunkType::kFileListRequestResponse) {
        return storedList(std::move(chunk), answer, longWait);
      }
      break;
    case Awaiting::kUpload:
      if (type == ChunkType::kFileDataResponse) return uploaded(std::move(chunk), answer, longWait);
      break;
    case Awaiting::kCopyStored:
      if (type == ChunkType::kFileListResponse) return copyStored(std::move(chunk));
      break;
    case Awaiting::kNothing:
      break;
  }
  // Not the answer to what was sent.
  return fail(transferFailure());
}

bool BackupAct::admit(const ByteBuffer& chunk, ByteBuffer* request) {
  const StartupResult start =
      handleStartupAnswer(chunk.span(), ExchangeKind::kBackup, encrypt_, &keys_, &dh_exponent_);
  if (start.outcome != StartupOutcome::kAdmitted) {
    return fail(backupMessage(start.message.swedish, start.message.english));
  }
  if (resumed_) {
    // The section in flight when the connection was lost goes again, as
    // the first request under the new keys.
    *request = dataChunk();
    if (request->empty()) return fail(internalError("5.2"));
    awaiting_ = Awaiting::kUpload;
    return true;
  }
  ByteBuffer plaintext = startRequestPlaintext(sequence_, 5);
  plaintext.appendU32(0);
  plaintext.appendU8(0);
  *request = buildChunk(ChunkType::kFileListRequest, std::move(plaintext), encrypt_, keys_);
  if (request->empty()) return fail(encryptionFailure());
  awaiting_ = Awaiting::kStoredList;
  return true;
}

bool BackupAct::storedList(ByteBuffer chunk, ByteBuffer* request, bool* longWait) {
  first_loss_ = true;
  StoredListAnswer answer = readStoredListAnswer(std::move(chunk), keys_, encrypt_, sequence_);
  if (!answer.ok) return fail(answer.message);
  if (answer.present) {
    if (answer.list.empty()) return fail(internalError("1a"));
    std::optional<ByteBuffer> payload = openList(answer.list.span(), local_key_.span());
    if (!payload || !engine_->setPreviousCopy(payload->span())) {
      return fail(internalError("1b"));
    }
  }
  if (restart_run_ && engine_->loadRestart() == RestartLoad::kDamaged) {
    // A damaged state would stop every later attempt too; the copy is made
    // afresh instead, which the message says.
    warn("Fel: Kunde inte läsa lista för återstart.", "Error: Could not read restart list.");
  }
  if (!startFeed()) return fail(internalError("4"));
  return sendNext(request, longWait);
}

bool BackupAct::startFeed() {
  if (!key_loaded_) return false;
  feed_ = std::make_unique<SectionFeed>(engine_.get(), local_key_.span(), &encryption_key_,
                                        compress_, pool_, prepare_ahead_);
  return true;
}

bool BackupAct::uploaded(ByteBuffer chunk, ByteBuffer* request, bool* longWait) {
  first_loss_ = true;
  UploadAnswer answer = readUploadAnswer(std::move(chunk), keys_, encrypt_, sequence_);
  if (!answer.ok) {
    if (answer.result == kUploadOverQuota) callbacks_->quotaExceeded();
    return fail(answer.message);
  }
  feed_->acknowledged();
  if (answer.uploaded != 0) writeCurrentUpload(answer.uploaded);
  return sendNext(request, longWait);
}

ByteBuffer BackupAct::dataChunk() {
  ByteBuffer plaintext = startRequestPlaintext(sequence_, 8 + last_record_.size());
  plaintext.appendU32(last_id_);
  plaintext.appendCounted(last_record_);
  return buildChunk(ChunkType::kFileData, std::move(plaintext), encrypt_, keys_);
}

bool BackupAct::sendNext(ByteBuffer* request, bool* longWait) {
  PreparedSection next = feed_->take();
  switch (next.kind) {
    case PreparedSection::Kind::kSection:
      break;
    case PreparedSection::Kind::kFinished:
      return finalStep(request, longWait);
    case PreparedSection::Kind::kSealFailed:
      return fail(internalError("4"));
    case PreparedSection::Kind::kStopped:
      if (cancel_->load() == 1) return cancel();
      return fail(backupMessage(
          "Fel: Kunde inte läsa data. Kontrollera att alla mappar är tillgängliga för "
          "kopiering. Senaste sökväg:" + next.path,
          "Error: Data read error. Check that all folders is accessible for copying. Latest "
          "path: " + next.path));
  }
  last_id_ = next.id;
  last_record_ = std::move(next.record);
  *request = dataChunk();
  if (request->empty()) return fail(internalError("5"));
  reconnect_allowed_ = true;
  awaiting_ = Awaiting::kUpload;
  // While the server stores this one, the next is made ready.
  feed_->prepare();
  return true;
}

bool BackupAct::sealCopyLog(ByteBuffer* sealed, ByteBuffer* tag) {
  ByteBuffer logKey;
  if (!readLogKey(kLogKeyFile, &logKey)) return false;
  const KeyPair keys = deriveKeys(logKey);
  if (keys.count != 2) return false;
  std::vector<CopyLogRecord> records;
  loadLog(&records);
  const size_t first = std::min(log_records_before_, records.size());
  ByteBuffer text = copyLogBuffer(std::span<const CopyLogRecord>(records).subspan(first));
  AesCipher cipher(keys.key(0));
  ByteBuffer iv;
  if (!cipher.valid() || pool_ == nullptr || !pool_->generate(16, iv)) return false;
  cipher.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
  if (!cipher.encryptBuffer(text)) return false;
  *sealed = std::move(iv);
  sealed->appendBytes(text);
  HmacSha256 mac(keys.key(1));
  if (!mac.valid()) return false;
  *tag = mac.mac(*sealed);
  return tag->size() == 32;
}

bool BackupAct::finalStep(ByteBuffer* request, bool* longWait) {
  callbacks_->showStatus("Slutför kopieringen...", "Finalizing copy...");
  const ByteBuffer unused = engine_->unusedPreviousSections();
  if (unused.empty()) return fail(internalError("3.1"));
  const ByteBuffer used = engine_->usedSections();
  if (used.empty()) return fail(internalError("3.2"));
  const ByteBuffer orphaned = engine_->orphanedRestartSections();
  if (orphaned.empty()) return fail(internalError("3.3"));
  engine_->releaseAfterFinishing();

  const CopyStatistics stats = engine_->statistics();
  copy_time_ = secondsSince1970();
  copy_files_ = stats.num_files;
  copy_bytes_ = engine_->bytesDone();
  ByteBuffer payload = engine_->newFileList();
  ByteBuffer listRecord =
      pool_ != nullptr ? sealList(payload.span(), local_key_.span(), *pool_) : ByteBuffer();
  payload.clear();
  ByteBuffer sealedLog, tag;
  if (listRecord.empty() || !sealCopyLog(&sealedLog, &tag)) return fail(internalError("3"));

  const uint32_t fieldsSize = 20 + 4 + listRecord.size() + 4 + unused.size() + 4 + used.size() +
                              4 + sealedLog.size() + 4 + tag.size() + 4 + 4 + orphaned.size();
  ByteBuffer plaintext = startRequestPlaintext(sequence_, fieldsSize);
  plaintext.appendU32(copy_time_);
  plaintext.appendU32(copy_files_);
  plaintext.appendU64HighFirst(copy_bytes_);
  plaintext.appendU32(engine_->nextSectionId());
  plaintext.appendCounted(listRecord);
  appendSectionSet(plaintext, unused);
  appendSectionSet(plaintext, used);
  plaintext.appendCounted(sealedLog);
  plaintext.appendCounted(tag);
  plaintext.appendU16(copy_count_);
  plaintext.appendU16(retention_days_);
  appendSectionSet(plaintext, orphaned);
  *request = buildChunk(ChunkType::kFileList, std::move(plaintext), encrypt_, keys_);
  if (request->empty()) return fail(internalError("3"));
  callbacks_->showStatus("Uppdaterar kopia på server...", "Updating copy on server...");
  reconnect_allowed_ = false;
  final_phase_ = true;
  awaiting_ = Awaiting::kCopyStored;
  // Storing a large copy may take the server a while.
  *longWait = true;
  return true;
}

bool BackupAct::copyStored(ByteBuffer chunk) {
  const CopyStoredAnswer answer = readCopyStoredAnswer(std::move(chunk), keys_, encrypt_, sequence_);
  if (!answer.ok) return fail(answer.message);
  if (!engine_->discardRestart()) {
    return fail(backupMessage("Fel: Kunde inte avsluta kopieringen.",
                              "Error: Could not finish copy process."));
  }
  writeLastCopy(LastCopy{copy_time_, copy_files_, copy_bytes_});
  writeServerUsage(answer.usage);
  writeCurrentUpload(0);
  logCopyFinished(log_, copy_files_, copy_bytes_);
  writeStatistics(feed_->statistics(), engine_->statistics());
  callbacks_->copyFinished(engine_->excludedPaths(), automatic_);
  return end();
}

// Stops the engine. What it has done stays resumable: its restart state is
// written when the server holds every section it has given out (otherwise
// the last state written stays, which never names a section not stored).
bool BackupAct::stopEngine() {
  if (!feed_) return true;
  feed_->stop();
  if (!feed_->started() || !feed_->allStored()) return true;
  return engine_->saveRestart(false);
}

bool BackupAct::cancel() {
  warn("Kopieringen avbruten av användaren!", "Copy process canceled by user!");
  callbacks_->copyCancelled();
  if (!stopEngine()) {
    return fail(backupMessage("Fel: Kunde inte avsluta kopieringen.",
                              "Error: Could not cancel copy process."));
  }
  callbacks_->copyFailed("Kopieringen avbruten av användaren!", "Copy process canceled by user!");
  return end();
}

bool BackupAct::fail(const BackupMessage& message) {
  if (ended_) return false;
  stopEngine();
  logInLanguage(log_, message.swedish, message.english);
  callbacks_->copyFailed(message.shown(), message.english);
  return end();
}

void BackupAct::warn(std::string_view swedish, std::string_view english) {
  logInLanguage(log_, swedish, english);
}

// Every way the run ends. The progress file then says done = total: a
// second start waits for that to know that this copy no longer runs.
bool BackupAct::end() {
  if (ended_) return false;
  ended_ = true;
  awaiting_ = Awaiting::kNothing;
  if (feed_) feed_->stop();
  keys_.clear();
  dh_exponent_.clear();
  engine_->finishProgress();
  flushCopyLog();
  return false;
}

bool BackupAct::reconnect(ByteBuffer* opening) {
  if (ended_) return false;
  if (!reconnect_allowed_) {
    return fail(backupMessage("Fel: Förlorade kontakten med servern, återanslutning ej möjlig.",
                              "Error: Lost contact with server, re-connection not possible."));
  }
  if (first_loss_) {
    attempts_ = 0;
    warn("Varning! Förlorade kontakten med servern, återansluter...",
         "Warning! Lost contact with server, re-connecting");
  } else {
    ++attempts_;
    const uint32_t limit = callbacks_->reconnectLimit();
    const bool goOn =
        (limit == 0 || attempts_ <= limit) &&
        (attempts_ == 1
             ? callbacks_->askYesNo("Förlorade kontakten med servern. Vill du försöka ansluta igen?",
                                    "Lost contact with server. Do you want to re-connect?", true)
             : callbacks_->askYesNo("Lyckades inte återansluta. Vill du försöka ansluta igen?",
                                    "Re-connect to server failed. Do you want to retry?", true));
    if (!goOn) {
      return fail(backupMessage("Fel: Lyckades inte återansluta mot mot servern.",
                                "Error: Re-connection to server failed."));
    }
    warn("Varning! Försöket misslyckades, försöker återansluta igen...",
         "Warning! Re-connect failed, retrying to connect...");
  }
  first_loss_ = false;
  callbacks_->reconnectStarting();
  const StartChunkInput input{user_number_, account_string_.span(), signing_key_.span(), encrypt_,
                              false};
  BuiltStart built;
  if (!buildStartChunk(input, server_, pool_, &keys_, &built)) {
    return fail(encryptionFailure());
  }
  *opening = std::move(built.chunk);
  dh_exponent_ = std::move(built.dhExponent);
  sequence_.reset();
  resumed_ = true;
  awaiting_ = Awaiting::kStartup;
  return true;
}

void BackupAct::reportError(TransferErrorKind kind, uint32_t platformCode) {
  if (ended_) return;
  const ExchangeMessage message =
      transferErrorMessage(ExchangeKind::kBackup, static_cast<uint32_t>(kind), platformCode);
  fail(backupMessage(message.swedish, message.english));
}

void BackupAct::addressFallback() {
  warn("Kunde ej lösa adress via DNS, återanvänder senaste adress.",
       "DNS lookup error, re-using last address.");
}

}  // namespace vl
