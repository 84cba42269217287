#include "net/backup_answers.h"

#include <utility>

#include "net/chunk_framing.h"

namespace vl {
namespace {

BackupMessage openingFailure(OpenStatus status) {
  switch (status) {
    case OpenStatus::kNotDecrypted:
      return encryptionFailure();
    case OpenStatus::kOutOfSequence:
      return transferFailure();
    default:
      return verificationFailure();
  }
}

BackupMessage unknownError() {
  return backupMessage("Fel: Ett oväntat fel har inträffat.", "Error: Unknown error.");
}

uint64_t joinHalves(uint32_t high, uint32_t low) { return (uint64_t{high} << 32) | low; }

// Opens `chunk` and reads the result; false (with `message` set) when that
// fails.
bool openWithResult(ByteBuffer chunk, ChunkType type, const ExchangeKeys& keys, bool decrypt,
                    const ChunkSequence& sequence, OpenedChunk* opened, uint16_t* result,
                    BackupMessage* message) {
  const OpenStatus status = openAnswer(std::move(chunk), type, decrypt, keys, sequence, opened);
  if (status != OpenStatus::kOpened) {
    *message = openingFailure(status);
    return false;
  }
  StrictReader in = opened->fields();
  if (!in.readU16(result)) {
    *message = transferFailure();
    return false;
  }
  return true;
}

}  // namespace

BackupMessage backupMessage(std::string swedish, std::string english) {
  return BackupMessage{std::move(swedish), std::move(english), {}};
}

// The program has always logged its verification failure with this
// misspelt Swedish text and shown the right one.
BackupMessage verificationFailure() {
  return BackupMessage{"Fel: Internt veririferingsfel.", "Error: Internal verification error.",
                       "Fel: Internt verifieringsfel."};
}

BackupMessage encryptionFailure() {
  return backupMessage("Fel: Internt fel kryptering.", "Error: Internal encryption error.");
}

BackupMessage transferFailure() {
  return BackupMessage{"Fel: Internt protokollfel.", "Error: Internal transfer error.",
                       "Internt protokollfel."};
}

StoredListAnswer readStoredListAnswer(ByteBuffer chunk, const ExchangeKeys& keys, bool decrypt,
                                      const ChunkSequence& sequence) {
  StoredListAnswer answer;
  OpenedChunk opened;
  if (!openWithResult(std::move(chunk), ChunkType::kFileListRequestResponse, keys, decrypt,
                      sequence, &opened, &answer.result, &answer.message)) {
    return answer;
  }
  if (answer.result != 0) {
    const std::string code = std::to_string(answer.result);
    answer.message = backupMessage("Fel: Ett oväntat fel har inträffat (kod " + code + ").",
                                   "Error: Unknown error (code " + code + ").");
    return answer;
  }
  StrictReader in = opened.fields();
  uint16_t result = 0;
  uint8_t present = 0;
  std::span<const uint8_t> list;
  if (!in.readU16(&result) || !in.readU8(&present) ||
      (present != 0 && !in.readCounted(&list))) {
    answer.message = transferFailure();
    return answer;
  }
  answer.present = present != 0;
  answer.list = ByteBuffer(list);
  answer.ok = true;
  return answer;
}

UploadAnswer readUploadAnswer(ByteBuffer chunk, const ExchangeKeys& keys, bool decrypt,
                              const ChunkSequence& sequence) {
  UploadAnswer answer;
  OpenedChunk opened;
  if (!openWithResult(std::move(chunk), ChunkType::kFileDataResponse, keys, decrypt, sequence,
                      &opened, &answer.result, &answer.message)) {
    return answer;
  }
  if (answer.result == kUploadOverQuota) {
    answer.message = backupMessage("Fel: Kontots lagringsutrymme har överskridits.",
                                   "Error: Account quota exceded.");
    return answer;
  }
  if (answer.result != kUploadAccepted) {
    answer.message = unknownError();
    return answer;
  }
  StrictReader in = opened.fields();
  uint16_t result = 0;
  uint32_t high = 0, low = 0;
  if (!in.readU16(&result) || !in.readU32(&high) || !in.readU32(&low)) {
    answer.message = transferFailure();
    return answer;
  }
  answer.uploaded = joinHalves(high, low);
  answer.ok = true;
  return answer;
}

CopyStoredAnswer readCopyStoredAnswer(ByteBuffer chunk, const ExchangeKeys& keys, bool decrypt,
                                      const ChunkSequence& sequence) {
  CopyStoredAnswer answer;
  OpenedChunk opened;
  if (!openWithResult(std::move(chunk), ChunkType::kFileListResponse, keys, decrypt, sequence,
                      &opened, &answer.result, &answer.message)) {
    return answer;
  }
  if (answer.result != 0) {
    answer.message = unknownError();
    return answer;
  }
  StrictReader in = opened.fields();
  uint16_t result = 0;
  uint32_t v[4];
  if (!in.readU16(&result)) {
    answer.message = transferFailure();
    return answer;
  }
  for (uint32_t& value : v) {
    if (!in.readU32(&value)) {
      answer.message = transferFailure();
      return answer;
    }
  }
  answer.usage = ServerUsage{joinHalves(v[0], v[1]), v[2], v[3]};
  answer.ok = true;
  return answer;
}

}  // namespace vl
