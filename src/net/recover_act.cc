#include "net/recover_act.h"

#include <utility>

#include "crypto/random_pool.h"
#include "net/chunk_framing.h"
#include "net/startup_answer.h"

namespace vl {
namespace {

RecoverAnswer notRecovered(ExchangeMessage message) {
  RecoverAnswer answer;
  answer.message = std::move(message);
  return answer;
}

uint64_t joinHalves(uint32_t high, uint32_t low) { return (uint64_t{high} << 32) | low; }

}  // namespace

RecoverAnswer readRecoverAnswer(ByteBuffer chunk, const ExchangeKeys& keys,
                                const ChunkSequence& sequence) {
  OpenedChunk opened;
  const OpenStatus status =
      openAnswer(std::move(chunk), ChunkType::kRecoverResponse, true, keys, sequence, &opened);
  if (status != OpenStatus::kOpened) return notRecovered(answerOpeningMessage(status));

  StrictReader in = opened.fields();
  uint16_t result = 1;
  if (!in.readU16(&result) || result != 0) {
    return notRecovered(unknownErrorMessage());
  }
  uint32_t v[8];
  for (uint32_t& value : v) {
    if (!in.readU32(&value)) return notRecovered(answerOpeningMessage(OpenStatus::kOutOfSequence));
  }
  if (!in.atEnd()) return notRecovered(answerOpeningMessage(OpenStatus::kOutOfSequence));
  RecoverAnswer answer;
  answer.ok = true;
  answer.last = LastCopy{v[0], v[1], joinHalves(v[2], v[3])};
  answer.usage = ServerUsage{joinHalves(v[4], v[5]), v[6], v[7]};
  return answer;
}

RecoverAct::RecoverAct(RecoverMainAction* callbacks, RandomPool* pool, AccountFiles files)
    : callbacks_(callbacks), pool_(pool), files_(std::move(files)), keys_(pool) {}

bool RecoverAct::dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* /*longWait*/) {
  if (pool_ != nullptr) pool_->addDispatchEvent();
  if (!admitted_) return admit(chunk, answer);
  return store(std::move(chunk));
}

bool RecoverAct::admit(const ByteBuffer& chunk, ByteBuffer* request) {
  const StartupResult start =
      handleStartupAnswer(chunk.span(), ExchangeKind::kRecover, true, &keys_, &dh_exponent_);
  if (start.outcome != StartupOutcome::kAdmitted) return fail(start.message);
  admitted_ = true;
  *request = buildChunk(ChunkType::kRecover, startRequestPlaintext(sequence_), true, keys_);
  if (request->empty()) return fail({"Internt fel.", "Internal error."});
  return true;
}

bool RecoverAct::store(ByteBuffer chunk) {
  const RecoverAnswer answer = readRecoverAnswer(std::move(chunk), keys_, sequence_);
  keys_.clear();
  if (!answer.ok) return fail(answer.message);
  // The figures are all that the takeover still needs; an installation told
  // it succeeded without them would believe it had no copy yet.
  if (!writeLastCopy(answer.last, files_.lastCopy) ||
      !writeServerUsage(answer.usage, files_.usage)) {
    return fail({"Fel: Kunde inte skriva kontots uppgifter, disken kan vara full.",
                 "Error: Could not write the account's figures, disc may be full."});
  }
  callbacks_->recoverSucceeded();
  return false;
}

bool RecoverAct::fail(const ExchangeMessage& message) {
  keys_.clear();
  callbacks_->recoverFailed(message.swedish, message.english);
  return false;
}

void RecoverAct::reportError(TransferErrorKind kind, uint32_t platformCode) {
  fail(transferErrorMessage(ExchangeKind::kRecover, static_cast<uint32_t>(kind), platformCode));
}

}  // namespace vl
