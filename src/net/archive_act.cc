#include "net/archive_act.h"

#include <utility>

#include "crypto/random_pool.h"
#include "net/chunk_framing.h"
#include "net/startup_answer.h"

namespace vl {
namespace {

// Five u32 values per record on the wire.
constexpr size_t kArchiveRecordSize = 20;

ArchiveAnswer archiveFailed(ExchangeMessage message) {
  ArchiveAnswer answer;
  answer.message = std::move(message);
  return answer;
}

// The records field: u32 count, then exactly count records.
bool readRecords(std::span<const uint8_t> field, std::vector<ArchivedCopy>* copies) {
  StrictReader in(field);
  uint32_t count = 0;
  if (!in.readU32(&count) || in.remaining() / kArchiveRecordSize != count ||
      in.remaining() % kArchiveRecordSize != 0) {
    return false;
  }
  copies->resize(count);
  for (ArchivedCopy& copy : *copies) {
    if (!in.readU32(&copy.values[0]) || !in.readU32(&copy.values[1]) ||
        !in.readU32(&copy.values[2]) || !in.readU64HighFirst(&copy.size)) {
      return false;
    }
  }
  return true;
}

}  // namespace

ArchiveAnswer readArchiveAnswer(ByteBuffer chunk, const ExchangeKeys& keys,
                                const ChunkSequence& sequence) {
  OpenedChunk opened;
  const OpenStatus status =
      openAnswer(std::move(chunk), ChunkType::kArchiveResponse, true, keys, sequence, &opened);
  if (status != OpenStatus::kOpened) return archiveFailed(answerOpeningMessage(status));

  StrictReader in = opened.fields();
  uint16_t result = 1;
  if (!in.readU16(&result)) return archiveFailed(unknownErrorMessage());
  if (result == kArchiveWrongNumber) {
    return archiveFailed(
        {"Fel: Felaktigt index på minst ett värde.", "Error: Att least one incorrect index value."});
  }
  if (result != 0) return archiveFailed(unknownErrorMessage());

  ArchiveAnswer answer;
  std::span<const uint8_t> records;
  if (!in.readCounted(&records) || !readRecords(records, &answer.copies) ||
      !in.readU64HighFirst(&answer.usage.used_bytes) || !in.readU32(&answer.usage.copies) ||
      !in.readU32(&answer.usage.reserved_gib) || !in.atEnd()) {
    return archiveFailed(answerOpeningMessage(OpenStatus::kOutOfSequence));
  }
  answer.ok = true;
  return answer;
}

ArchiveAct::ArchiveAct(ArchiveMainAction* callbacks, RandomPool* pool, uint32_t mode,
                       std::vector<uint32_t> copyNumbers, std::string usagePath)
    : callbacks_(callbacks),
      pool_(pool),
      mode_(mode),
      copy_numbers_(std::move(copyNumbers)),
      usage_path_(std::move(usagePath)),
      keys_(pool) {}

bool ArchiveAct::dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) {
  if (pool_ != nullptr) pool_->addDispatchEvent();
  if (!admitted_) return admit(chunk, answer, longWait);
  return take(std::move(chunk));
}

bool ArchiveAct::admit(const ByteBuffer& chunk, ByteBuffer* request, bool* longWait) {
  const StartupResult start =
      handleStartupAnswer(chunk.span(), ExchangeKind::kArchive, true, &keys_, &dh_exponent_);
  if (start.outcome != StartupOutcome::kAdmitted) return fail(start.message);
  admitted_ = true;
  const uint32_t count = static_cast<uint32_t>(copy_numbers_.size());
  ByteBuffer plaintext = startRequestPlaintext(sequence_, 12 + 4 * count);
  plaintext.appendU32(mode_);
  plaintext.appendU32(4 + 4 * count);
  plaintext.appendU32(count);
  for (uint32_t number : copy_numbers_) plaintext.appendU32(number);
  *request = buildChunk(ChunkType::kArchive, std::move(plaintext), true, keys_);
  if (request->empty()) return fail({"Internt fel.", "Internal error."});
  // Deleting copies makes the server drop their sections, which takes a while.
  if (mode_ == kArchiveDelete) *longWait = true;
  return true;
}

bool ArchiveAct::take(ByteBuffer chunk) {
  const ArchiveAnswer answer = readArchiveAnswer(std::move(chunk), keys_, sequence_);
  keys_.clear();
  if (!answer.ok) return fail(answer.message);
  // The figures only inform the usage view and the quota warning, and the
  // next backup brings them again: a failed write must not hide that the
  // copies were listed or deleted.
  writeServerUsage(answer.usage, usage_path_);
  callbacks_->archiveDone(mode_, answer.copies);
  return false;
}

bool ArchiveAct::fail(const ExchangeMessage& message) {
  keys_.clear();
  callbacks_->showArchiveMessage(message.swedish, message.english);
  return false;
}

void ArchiveAct::reportError(TransferErrorKind kind, uint32_t platformCode) {
  fail(transferErrorMessage(ExchangeKind::kArchive, static_cast<uint32_t>(kind), platformCode));
}

}  // namespace vl
