#include "net/restore_act.h"

#include <utility>

#include "core/strict_reader.h"
#include "crypto/random_pool.h"
#include "engine/restore_selection.h"
#include "model/list_payload.h"
#include "model/list_record.h"
#include "model/utf16.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/start_chunk.h"
#include "net/startup_answer.h"

namespace vl {
namespace {

const ExchangeMessage kUnknownError{"Fel: Ett oväntat fel har inträffat.", "Error: Unknown error."};
const ExchangeMessage kTransferError{"Fel: Internt protokollfel.", "Error: Internal transfer error."};
const ExchangeMessage kVerificationError{"Fel: Internt verifieringsfel.",
                                         "Error: Internal verification error."};
const ExchangeMessage kEncryptionError{"Fel: Internt krypteringsfel.",
                                       "Error: Internal encryption error."};
const ExchangeMessage kTempFilesNotErased{"Fel: Kunde inte radera återstående temp-filer.",
                                          "Error: When erasig temp-files."};
const ExchangeMessage kTempFolderNotErased{"Fel: Kunde inte radera kvarvarnade temp-mapp.",
                                           "Error: Could not erase temp-folder."};
const ExchangeMessage kPathTooLong{
    "Fel: Återställ till en mapp med kortare sökväg, max längd för filnamn/sökväg överskreds.",
    "Error: Restore to a shorter folder path, maximum path length exceded."};
const ExchangeMessage kRestoreFolderExists{
    "Fel: Kunde inte återställa till mapp, kanske finns det redan en mapp med samma namn.",
    "Error: Could not restore to folder, check if restore-folder already exist."};

ExchangeMessage openingMessage(OpenStatus status) {
  switch (status) {
    case OpenStatus::kNotDecrypted:
      return kEncryptionError;
    case OpenStatus::kOutOfSequence:
      return kTransferError;
    default:
      return kVerificationError;
  }
}

RestoreAnswer notRead(ExchangeMessage message) {
  RestoreAnswer answer;
  answer.message = std::move(message);
  return answer;
}

// Opens the answer and reads its result; `in` is left after the result.
RestoreAnswer openWithResult(ByteBuffer chunk, ChunkType type, bool decrypt,
                             const ExchangeKeys& keys, const ChunkSequence& sequence,
                             StrictReader* in) {
  OpenedChunk opened;
  const OpenStatus status = openAnswer(std::move(chunk), type, decrypt, keys, sequence, &opened);
  if (status != OpenStatus::kOpened) return notRead(openingMessage(status));
  RestoreAnswer answer;
  answer.plaintext = std::move(opened.plaintext);
  *in = StrictReader(answer.plaintext.span().subspan(4));
  uint16_t result = 1;
  if (!in->readU16(&result) || result != 0) return notRead(kUnknownError);
  answer.ok = true;
  return answer;
}

}  // namespace

RestoreAnswer readListAnswer(ByteBuffer chunk, bool decrypt, const ExchangeKeys& keys,
                             const ChunkSequence& sequence, uint16_t copySelector) {
  StrictReader in({});
  RestoreAnswer answer = openWithResult(std::move(chunk), ChunkType::kFileListRequestResponse,
                                        decrypt, keys, sequence, &in);
  if (!answer.ok) return answer;
  uint8_t present = 0;
  if (!in.readU8(&present)) return notRead(kTransferError);
  if (present == 0) {
    answer.ok = false;
    answer.message = copySelector != 0
                         ? ExchangeMessage{"Fel: Hittade inte säkerhetskopian på servern!",
                                           "Error: Cound not find this copy on server!"}
                         : ExchangeMessage{"Fel: Hittade ingen säkerhetskopia på servern!",
                                           "Error: No copy found on server!"};
    return answer;
  }
  answer.listPresent = true;
  // The copy's figures may follow the record; the restore has no use for them.
  if (!in.readCounted(&answer.record)) return notRead({"Internt fel (5).", "Internal error (5)."});
  if (answer.record.empty()) return notRead({"Internt fel (5a).", "Internal error (5a)."});
  return answer;
}

RestoreAnswer readSectionAnswer(ByteBuffer chunk, bool decrypt, const ExchangeKeys& keys,
                                const ChunkSequence& sequence) {
  StrictReader in({});
  RestoreAnswer answer = openWithResult(std::move(chunk), ChunkType::kFileDataRequestResponse,
                                        decrypt, keys, sequence, &in);
  if (!answer.ok) return answer;
  if (!in.readCounted(&answer.record) || !in.atEnd()) return notRead(kTransferError);
  return answer;
}

RestoreAct::RestoreAct(RestoreActSetup setup, RestoreRequest request)
    : setup_(std::move(setup)), request_(std::move(request)), keys_(setup_.pool) {
  RestoreWriterOptions options;
  options.workingDirectory = setup_.workingDirectory;
  options.progress = setup_.callbacks;
  options.cancelByte = setup_.cancel;
  writer_ = std::make_unique<RestoreWriter>(*setup_.pool, std::move(options));
}

RestoreAct::~RestoreAct() {
  if (ahead_) ahead_->stop();
  if (writer_->tempFolderExists()) removeTemporaryFiles();
}

bool RestoreAct::cancelRequested() const {
  return setup_.cancel != nullptr && setup_.cancel->load() == 1;
}

bool RestoreAct::fail(const ExchangeMessage& message, std::string_view detail) {
  state_ = State::kEnded;
  reconnect_allowed_ = false;
  keys_.clear();
  std::string swedish = message.swedish;
  std::string english = message.english;
  if (!detail.empty()) {
    swedish += " (" + std::string(detail) + ")";
    english += " (" + std::string(detail) + ")";
  }
  if (setup_.writeLog) logInLanguage(setup_.log, swedish, english);
  setup_.callbacks->restoreFailed(swedish, english);
  return false;
}

bool RestoreAct::removeTemporaryFiles() {
  if (!writer_->dropAllSections()) return fail(kTempFilesNotErased, writer_->tempFolderPath());
  const std::string folder = writer_->tempFolderPath();
  if (!writer_->removeTempFolder()) return fail(kTempFolderNotErased, folder);
  return true;
}

bool RestoreAct::cancel() {
  if (ahead_) ahead_->stop();
  const bool removed = removeTemporaryFiles();
  state_ = State::kEnded;
  reconnect_allowed_ = false;
  keys_.clear();
  if (removed) setup_.callbacks->restoreCancelled();
  return false;
}

bool RestoreAct::dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* /*longWait*/) {
  if (setup_.pool != nullptr) setup_.pool->addDispatchEvent();
  if (cancelRequested()) return cancel();
  const std::optional<ChunkType> type = chunkTypeOf(chunk.span());
  if (type == ChunkType::kStartupResponse && state_ == State::kStarting) {
    return admit(chunk, answer);
  }
  if (type == ChunkType::kFileListRequestResponse && state_ == State::kListing) {
    return listAnswer(std::move(chunk), answer);
  }
  if (type == ChunkType::kFileDataRequestResponse && state_ == State::kRequesting) {
    return sectionAnswer(std::move(chunk), answer);
  }
  // An answer to nothing asked: ending quietly would look like a finished
  // restore that wrote nothing.
  return fail(kTransferError);
}

bool RestoreAct::admit(const ByteBuffer& chunk, ByteBuffer* request) {
  const StartupResult start = handleStartupAnswer(chunk.span(), ExchangeKind::kRestore,
                                                  setup_.encrypt, &keys_, &dh_exponent_);
  if (start.outcome != StartupOutcome::kAdmitted) return fail(start.message);
  return firstRequest(request);
}

bool RestoreAct::firstRequest(ByteBuffer* request) {
  if (resumed_) {
    state_ = State::kRequesting;
    *request = sectionRequest(requested_section_);
    if (request->empty()) return fail({"Internt fel (10.2).", "Internal error (10.2)."});
    return true;
  }
  if (!writer_->tempFolderExists() && !writer_->createTempFolder()) {
    return fail({"Fel: Kunde inte skapa återställningsmapp.",
                 "Error: Could not create restore folder."});
  }
  if (request_.listPayload && !writer_started_) {
    const ByteBuffer payload = std::move(*request_.listPayload);
    request_.listPayload.reset();
    if (!startWriter(payload.span(), {"Fel: Internt fel (15).", "Error: Internal error (15)."})) {
      return false;
    }
    return requestNextSection(request);
  }
  state_ = State::kListing;
  ByteBuffer plaintext = startRequestPlaintext(sequence_, 5);
  plaintext.appendU32(request_.copySelector);
  plaintext.appendU8(0);
  *request = buildChunk(ChunkType::kFileListRequest, std::move(plaintext), setup_.encrypt, keys_);
  if (request->empty()) return fail(kEncryptionError);
  return true;
}

bool RestoreAct::startWriter(std::span<const uint8_t> payload,
                             const ExchangeMessage& otherFailure) {
  writer_started_ = true;
  if (writer_->startRestore(payload, request_.targetPath, request_.restoreMetadata)) {
    setup_.callbacks->showStatus("Laddar ner fildata... (1/2)", "Downloading file data... (1/2)");
    return true;
  }
  if (writer_->pathTooLong()) return fail(kPathTooLong);
  return fail(otherFailure, writer_->message().english);
}

// The part of the copy's list that was asked for: all of it, or the
// entries that restore the chosen names.
std::optional<ByteBuffer> RestoreAct::chosenPayload(ByteBuffer payload) {
  if (request_.paths.empty()) return payload;
  std::optional<FileList> list = parseList(payload.span());
  if (!list) {
    fail({"Fel: Internt fel (16).", "Internal error (16)."}, "the file list does not parse");
    return std::nullopt;
  }
  std::vector<std::u16string> unmatched;
  std::optional<FileList> chosen = selectEntries(*list, request_.paths, &unmatched);
  if (!chosen) {
    const std::string name = utf16ToUtf8(unmatched.front()).value_or("?");
    fail({"Fel: Kopian innehåller ingen fil eller mapp med namnet " + name + ".",
          "Error: The copy holds no file or folder named " + name + "."});
    return std::nullopt;
  }
  return serializeList(*chosen, chosen->version);
}

bool RestoreAct::listAnswer(ByteBuffer chunk, ByteBuffer* request) {
  RestoreAnswer answer =
      readListAnswer(std::move(chunk), setup_.encrypt, keys_, sequence_, request_.copySelector);
  if (!answer.ok) return fail(answer.message);
  std::optional<ByteBuffer> payload = openList(answer.record, setup_.localKey.span());
  if (!payload) {
    return fail({"Fel: Internt fel (11).", "Internal error (11)."},
                "the file list does not open with this account's local key");
  }
  if (!writer_started_) {
    std::optional<ByteBuffer> chosen = chosenPayload(std::move(*payload));
    if (!chosen) return false;
    if (!startWriter(chosen->span(), {"Fel: Internt fel (12).", "Internal error (12)."})) {
      return false;
    }
  }
  return requestNextSection(request);
}

ByteBuffer RestoreAct::sectionRequest(uint32_t number) {
  ByteBuffer plaintext = startRequestPlaintext(sequence_, 4);
  plaintext.appendU32(number);
  return buildChunk(ChunkType::kFileDataRequest, std::move(plaintext), setup_.encrypt, keys_);
}

bool RestoreAct::requestNextSection(ByteBuffer* request) {
  uint32_t number = 0;
  switch (writer_->nextSectionToRequest(&number)) {
    case RequestResult::kAllRequested:
      state_ = State::kAllRequested;
      reconnect_allowed_ = false;
      keys_.clear();
      return false;  // the writing pass follows in finished()
    case RequestResult::kCancelled:
      return cancel();
    case RequestResult::kFailed:
      if (writer_->fault() == RestoreFault::kSectionNumberZero) {
        return fail({"Fel: Kunde inte återställa till mapp, internt fel.",
                     "Error: Could not restore to folder, internal error."});
      }
      return fail(kRestoreFolderExists, writer_->message().english);
    case RequestResult::kSection:
      break;
  }
  state_ = State::kRequesting;
  *request = sectionRequest(number);
  if (request->empty()) return fail({"Internt fel (10).", "Internal error (10)."});
  reconnect_allowed_ = true;
  requested_section_ = number;
  return true;
}

bool RestoreAct::sectionAnswer(ByteBuffer chunk, ByteBuffer* request) {
  first_loss_ = true;
  RestoreAnswer answer = readSectionAnswer(std::move(chunk), setup_.encrypt, keys_, sequence_);
  if (!answer.ok) return fail(answer.message, "section " + std::to_string(requested_section_));
  if (!writer_->storeSection(requested_section_, answer.record)) {
    if (!removeTemporaryFiles()) return false;
    return fail({"Fel: Kunde inte skriva data till fil, kontrollera att inte disken är full.",
                 "Error: Could not write to file, check if disc space is full."});
  }
  bytes_received_ += answer.record.size();
  if (setup_.unwrapAhead) {
    if (!ahead_) ahead_ = std::make_unique<SectionSecretsAhead>(setup_.localKey.span(), encryption_key_);
    ahead_->add(answer.record);
  }
  return requestNextSection(request);
}

bool RestoreAct::reconnect(ByteBuffer* opening) {
  if (!reconnect_allowed_) return false;
  if (first_loss_) {
    attempts_ = 0;
  } else {
    ++attempts_;
    const uint32_t limit = setup_.callbacks->reconnectLimit();
    if (limit != 0 && attempts_ > limit) return false;
    if (!setup_.callbacks->askYesNo("Förlorade kontakten med servern. Vill du försöka ansluta igen?",
                                    "Connetion to server lost. Do you want do re-connect?", true)) {
      return false;
    }
  }
  first_loss_ = false;
  setup_.callbacks->reconnectStarting();
  const StartChunkInput input{setup_.userNumber, {}, setup_.signingKey.span(), setup_.encrypt,
                              false};
  BuiltStart built;
  if (!buildStartChunk(input, setup_.server, setup_.pool, &keys_, &built)) return false;
  *opening = std::move(built.chunk);
  dh_exponent_ = std::move(built.dhExponent);
  sequence_.reset();
  resumed_ = true;
  state_ = State::kStarting;
  return true;
}

void RestoreAct::finished() {
  if (state_ != State::kAllRequested) return;
  state_ = State::kEnded;
  setup_.callbacks->showStatus("Återställer filer och mappar... (2/2)",
                               "Restoring files and folders... (2/2)");
  if (ahead_) ahead_->stop();
  SectionSecretsAhead fallback(setup_.localKey.span(), encryption_key_);
  const SectionUnsealer open = ahead_ ? ahead_->unsealer() : fallback.unsealer();
  RestoreOutcome outcome = writeAllFiles(*writer_, open, setup_.workers);
  RestoreRunOptions options;
  options.workers = setup_.workers;
  options.log = setup_.log;
  options.writeLog = setup_.writeLog;
  outcome = endRestore(*writer_, std::move(outcome), options);
  succeeded_ = outcome.finished();
}

void RestoreAct::reportError(TransferErrorKind kind, uint32_t platformCode) {
  fail(transferErrorMessage(ExchangeKind::kRestore, static_cast<uint32_t>(kind), platformCode));
}

}  // namespace vl
