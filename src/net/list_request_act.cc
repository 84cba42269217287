#include "net/list_request_act.h"

#include <string>
#include <utility>

#include "crypto/random_pool.h"
#include "model/list_cache.h"
#include "model/list_record.h"
#include "net/chunk_framing.h"
#include "net/startup_answer.h"

namespace vl {
namespace {

// The list exchange always asks for transport encryption.
constexpr bool kEncrypt = true;
constexpr uint8_t kCopyAbsent = 0;
constexpr uint8_t kCopyPresent = 1;

ListAnswer listFailed(ExchangeMessage message) {
  ListAnswer answer;
  answer.message = std::move(message);
  return answer;
}

// The rest of a present answer: the record field and the copy's figures,
// and nothing after them.
bool readPresentCopy(StrictReader& in, ListAnswer* answer) {
  std::span<const uint8_t> record;
  if (!in.readCounted(&record) || !in.readU32(&answer->copy.time) ||
      !in.readU32(&answer->copy.files) || !in.readU64HighFirst(&answer->copy.size) ||
      !in.atEnd()) {
    return false;
  }
  answer->record = ByteBuffer(record);
  return true;
}

}  // namespace

ListAnswer readListAnswer(ByteBuffer chunk, bool decrypt, const ExchangeKeys& keys,
                          const ChunkSequence& sequence) {
  OpenedChunk opened;
  const OpenStatus status = openAnswer(std::move(chunk), ChunkType::kFileListRequestResponse,
                                       decrypt, keys, sequence, &opened);
  if (status != OpenStatus::kOpened) return listFailed(answerOpeningMessage(status));

  StrictReader in = opened.fields();
  uint16_t result = 1;
  if (!in.readU16(&result) || result != 0) return listFailed(unknownErrorMessage());
  uint8_t present = 0;
  if (!in.readU8(&present)) return listFailed(answerOpeningMessage(OpenStatus::kOutOfSequence));
  ListAnswer answer;
  if (present == kCopyAbsent && in.atEnd()) {
    answer.kind = ListAnswer::Kind::kAbsent;
    return answer;
  }
  if (present != kCopyPresent || !readPresentCopy(in, &answer)) {
    return listFailed(answerOpeningMessage(OpenStatus::kOutOfSequence));
  }
  answer.kind = ListAnswer::Kind::kPresent;
  return answer;
}

ListRequestAct::ListRequestAct(ListRequestMainAction* callbacks, RandomPool* pool,
                               std::span<const uint8_t> localKey, const ListRequest& request,
                               const std::atomic<uint8_t>* cancel,
                               std::vector<StoredCopy>* copies)
    : callbacks_(callbacks),
      pool_(pool),
      local_key_(localKey),
      request_(request),
      cancel_(cancel),
      copies_(copies),
      keys_(pool) {}

bool ListRequestAct::dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* /*longWait*/) {
  if (pool_ != nullptr) pool_->addDispatchEvent();
  if (cancelled()) {
    keys_.clear();
    callbacks_->closeView();
    return false;
  }
  if (!admitted_) return admit(chunk, answer);
  return take(std::move(chunk), answer);
}

bool ListRequestAct::admit(const ByteBuffer& chunk, ByteBuffer* request) {
  const StartupResult start = handleStartupAnswer(chunk.span(), ExchangeKind::kList,
                                                  kEncrypt, &keys_, &dh_exponent_);
  if (start.outcome != StartupOutcome::kAdmitted) return fail(start.message);
  admitted_ = true;
  return ask(request, {"Internt fel (1).", "Internal error (1)."});
}

bool ListRequestAct::ask(ByteBuffer* request, const ExchangeMessage& buildFailure) {
  ByteBuffer plaintext = startRequestPlaintext(sequence_, 5);
  plaintext.appendU32(next_selector_);
  plaintext.appendU8(request_.withLists ? 1 : 0);
  *request = buildChunk(ChunkType::kFileListRequest, std::move(plaintext), kEncrypt, keys_);
  if (request->empty()) return fail(buildFailure);
  ++next_selector_;
  return true;
}

bool ListRequestAct::take(ByteBuffer chunk, ByteBuffer* request) {
  const ListAnswer answer = readListAnswer(std::move(chunk), kEncrypt, keys_, sequence_);
  if (answer.kind == ListAnswer::Kind::kFailed) return fail(answer.message);
  if (answer.kind == ListAnswer::Kind::kAbsent) {
    if (request_.wantedCount != 0) {
      return fail({"Fel: Efterfrågad kopia fanns ej på servern.",
                   "Error: Requested copy not found on server."});
    }
    keys_.clear();
    callbacks_->listReady();
    return false;
  }

  copies_->push_back(answer.copy);
  if (!answer.record.empty()) {
    // Opened even when it is not kept: a record that the account's key does
    // not open describes a copy that nothing could restore.
    if (!openList(answer.record.span(), local_key_.span())) {
      return fail({"Internt fel (10).", "Internal error (10)."});
    }
    if (request_.withLists && !keep(next_selector_ - 1, answer.record)) return false;
  }

  if (request_.wantedCount == 0 || next_selector_ < request_.wantedCount) {
    if (!ask(request, {"Internt fel (2).", "Internal error (2)."})) return false;
    if (!cancelled()) {
      callbacks_->showStatus("Laddar ned information om kopia:  " +
                             std::to_string(next_selector_));
    }
    return true;
  }
  keys_.clear();
  callbacks_->listReady();
  return false;
}

bool ListRequestAct::keep(uint32_t number, const ByteBuffer& record) {
  if (!writeCachedList(number, record.span(), request_.cacheFolder)) {
    return fail({"Fel: Kunde inte skriva temporär data till disk, disken kan vara full.",
                 "Error: Could not write temporary data, disc may be full."});
  }
  if (!writeCachedListCount(number + 1, request_.cacheFolder)) {
    return fail({"Fel: Kunde inte skriva fil för list-info, disken kan vara full.",
                 "Error: Could not write file for list-info, disc may be full"});
  }
  return true;
}

bool ListRequestAct::fail(const ExchangeMessage& message) {
  keys_.clear();
  callbacks_->listFailed(message.swedish, message.english);
  return false;
}

void ListRequestAct::reportError(TransferErrorKind kind, uint32_t platformCode) {
  fail(transferErrorMessage(ExchangeKind::kList, static_cast<uint32_t>(kind), platformCode));
}

}  // namespace vl
