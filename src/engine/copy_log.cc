#include "engine/copy_log.h"

#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/file_lock.h"

namespace vl {
namespace {

// kind u16, time u32, count u32, size 2 x u32, text length u32.
constexpr uint32_t kRecordHeadBytes = 2 + 4 + 4 + 8 + 4;

// Holds the log's lock for as long as it lives. Without a lock file (a
// folder we may not write) the log cannot be written either, and the
// caller's write simply fails.
class LogLock {
 public:
  LogLock() { lock_.acquire(kCopyLogLockFile); }

 private:
  FileLock lock_;
};

// UTF-8 to one byte per character: code points up to U+00FF are their own
// byte, anything else (and any byte that is not UTF-8) becomes '?'.
ByteBuffer singleByteText(std::string_view text) {
  ByteBuffer out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    if (lead < 0x80) {
      out.appendU8(lead);
      ++i;
      continue;
    }
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    uint32_t code = length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool valid = length > 1 && lead < 0xF5 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.appendU8('?');
      ++i;
      continue;
    }
    out.appendU8(code <= 0xFF && length == 2 ? static_cast<uint8_t>(code) : '?');
    i += length;
  }
  return out;
}

ByteBuffer utf8FromSingleByte(const ByteBuffer& bytes) {
  ByteBuffer out;
  out.reserve(bytes.size() * 2);
  for (uint32_t i = 0; i < bytes.size(); ++i) {
    const uint8_t c = bytes[i];
    if (c < 0x80) {
      out.appendU8(c);
    } else {
      out.appendU8(static_cast<uint8_t>(0xC0 | (c >> 6)));
      out.appendU8(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Walks the records of a log buffer; `visit` (when given) gets each one with
// its text still in single-byte form. False unless the buffer holds exactly
// the N records it announces.
template <typename Visit>
bool walkRecords(ByteBuffer& buffer, Visit&& visit) {
  buffer.setReadPosition(0);
  if (buffer.size() < 4) return false;
  const uint32_t count = buffer.readU32();
  // Every record takes at least its head; a larger count cannot be genuine.
  if (count > buffer.remaining() / kRecordHeadBytes) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (buffer.remaining() < kRecordHeadBytes) return false;
    CopyLogRecord record;
    record.kind = buffer.readU16();
    record.time = buffer.readU32();
    record.count = buffer.readU32();
    record.size = buffer.readU64HighFirst();
    const uint32_t length = buffer.readU32();
    if (length > buffer.remaining()) return false;
    record.text.appendBytes(buffer.data() + buffer.readPosition(), length);
    buffer.setReadPosition(buffer.readPosition() + length);
    visit(record);
  }
  return buffer.remaining() == 0;
}

enum class LogState { kMissing, kReadable, kUnreadable };

LogState readLogFile(ByteBuffer* log) {
  if (nameIsFree(kCopyLogFile)) return LogState::kMissing;
  if (!log->loadFromFile(kCopyLogFile)) return LogState::kUnreadable;
  return walkRecords(*log, [](const CopyLogRecord&) {}) ? LogState::kReadable
                                                         : LogState::kUnreadable;
}

// Moves an unreadable log out of the way under a name no other file has.
bool moveAside() {
  const std::string base = "logg_unreadable_" + std::to_string(secondsSince1970());
  for (int attempt = 1; attempt < 1000; ++attempt) {
    const std::string name =
        attempt == 1 ? base + ".bin" : base + "_" + std::to_string(attempt) + ".bin";
    const MoveOutcome moved = moveFileNoReplace(kCopyLogFile, name);
    if (moved != MoveOutcome::kNameTaken) return moved == MoveOutcome::kMoved;
  }
  return false;
}

constexpr std::string_view kExclusionPrefixes[4][2] = {
    {"Fil utesluten vid kopiering: ", "File excluded from copy: "},
    {"Underliggande mapp utesluten vid kopiering: ", "Underlying folder excluded from copy: "},
    {"Fil utesluten eftersom namnet är för långt: ",
     "File excluded from copy because file name is to long: "},
    {"Fil eller mapp utesluten vid kopiering. Kunde inte kontrollera status för fil/mapp, kanske "
     "saknas sökrättigheter för mappen: ",
     "File or folder excluded from copy. Could not check status for file/folder, check "
     "file/folders premissions: "},
};

}  // namespace

void appendLog(uint16_t kind, uint32_t time, uint32_t count, uint64_t size, std::string_view text) {
  LogLock lock;
  ByteBuffer log;
  if (readLogFile(&log) == LogState::kUnreadable) {
    // Keep what is there for whoever can still make sense of it.
    if (!moveAside()) return;
    log.clear();
  }
  if (log.empty()) log.appendU32(0);
  log.setReadPosition(0);
  const uint32_t records = log.readU32() + 1;
  for (int i = 0; i < 4; ++i) log[i] = static_cast<uint8_t>(records >> (8 * i));
  log.appendU16(kind);
  log.appendU32(time);
  log.appendU32(count);
  log.appendU64HighFirst(size);
  log.appendCounted(singleByteText(text));
  log.saveToFile(kCopyLogFile);
}

void logInLanguage(const LogContext& context, std::string_view swedish, std::string_view english) {
  appendLog(kLogMessage, secondsSince1970(), 0, 0, context.pick(swedish, english));
}

bool clearLog() {
  LogLock lock;
  ByteBuffer empty;
  empty.appendU32(0);
  return empty.saveToFile(kCopyLogFile);
}

bool parseCopyLog(ByteBuffer& buffer, std::vector<CopyLogRecord>* records) {
  records->clear();
  const bool whole = walkRecords(buffer, [records](CopyLogRecord& record) {
    record.text = utf8FromSingleByte(record.text);
    records->push_back(std::move(record));
  });
  if (!whole) records->clear();
  return whole;
}

bool loadLog(std::vector<CopyLogRecord>* records) {
  records->clear();
  ByteBuffer log;
  {
    LogLock lock;
    if (nameIsFree(kCopyLogFile)) return true;
    if (!log.loadFromFile(kCopyLogFile)) return false;
  }
  return parseCopyLog(log, records);
}

void logExclusion(const LogContext& context, std::string_view path, uint32_t cause) {
  if (cause > kExcludedUncheckable) return;
  std::string text(context.pick(kExclusionPrefixes[cause][0], kExclusionPrefixes[cause][1]));
  text += path;
  appendLog(kLogExclusion, secondsSince1970(), 1, 0, text);
}

void logCopyFinished(const LogContext& context, uint32_t files, uint64_t bytes) {
  appendLog(kLogCompletion, secondsSince1970(), files, bytes,
            context.pick("Kopiering slutförd utan fel.", "Copy finished without errors."));
}

void logRestoreFinished(const LogContext& context, uint32_t files, uint64_t bytes) {
  appendLog(kLogCompletion, secondsSince1970(), files, bytes,
            context.pick("Återställning slutförd utan fel.", "Restore finished without errors."));
}

}  // namespace vl
