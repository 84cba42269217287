#include "engine/copy_log.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/file_lock.h"
#include "platform/folders.h"
#include "platform/updatable_file.h"

namespace vl {
namespace {

// kind u16, time u32, count u32, size 2 x u32, text length u32.
constexpr uint32_t kRecordHeadBytes = 2 + 4 + 4 + 8 + 4;
// The buffer-file length and N: the bytes an append rewrites last.
constexpr uint32_t kHeadBytes = 8;
// When gathered exclusions are written without waiting for anything else.
constexpr uint32_t kWriteAtBytes = 1u << 20;
constexpr uint32_t kWriteAfterMs = 1000;
// Records that cannot be written are kept for the next attempt up to this
// much; beyond it they are given up rather than let grow without bound.
constexpr uint32_t kMaxKeptBytes = 64u << 20;

std::string inFolder(const std::string& folder, std::string_view name) {
  return folder + "/" + std::string(name);
}

// Holds the log's lock for as long as it lives.
class LogLock {
 public:
  explicit LogLock(const std::string& folder)
      : taken_(static_cast<bool>(lock_.acquire(inFolder(folder, kCopyLogLockFile)))) {}
  bool held() const { return taken_; }

 private:
  FileLock lock_;
  bool taken_;
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


void storeU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t loadU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// The first bytes of a log file: its buffer-file length and N.
struct LogHead {
  uint32_t length = 0;
  uint32_t count = 0;
  bool operator==(const LogHead&) const = default;
};

// kSound: a log; kBroken: read whole, but not a log; kUnread: could not be
// read (no descriptors, a read error), which says nothing about the file.
enum class LogState { kSound, kBroken, kUnread };

LogState readHead(UpdatableFile& file, LogHead* head) {
  uint8_t bytes[kHeadBytes];
  const auto got = file.readAt(0, bytes, kHeadBytes);
  if (!got) return LogState::kUnread;
  if (*got < kHeadBytes) return LogState::kBroken;
  head->length = loadU32(bytes);
  head->count = loadU32(bytes + 4);
  return head->length >= 4 && head->length <= ByteBuffer::kMaxFileLength ? LogState::kSound
                                                                          : LogState::kBroken;
}

// Reads the buffer of the log whose head is `head` into `body` and checks
// that it holds exactly its records. Bytes past the buffer are an append
// that never completed and are not part of the log.
LogState readBody(UpdatableFile& file, const LogHead& head, ByteBuffer* body) {
  body->clear();
  for (uint32_t done = 0; done < head.length;) {
    const uint32_t piece = std::min(head.length - done, ByteBuffer::kFilePiece);
    body->resize(done + piece);
    const auto got = file.readAt(4 + uint64_t{done}, body->data() + done, piece);
    if (!got) return LogState::kUnread;
    if (*got < piece) return LogState::kBroken;
    done += piece;
  }
  return walkRecords(*body, [](const CopyLogRecord&) {}) ? LogState::kSound : LogState::kBroken;
}

// Moves a log that does not parse out of the way under a name no other file has.
bool moveAside(const std::string& folder) {
  const std::string base =
      inFolder(folder, "logg_unreadable_" + std::to_string(secondsSince1970()));
  for (int attempt = 1; attempt < 1000; ++attempt) {
    const std::string name =
        attempt == 1 ? base + ".bin" : base + "_" + std::to_string(attempt) + ".bin";
    const MoveOutcome moved = moveFileNoReplace(inFolder(folder, kCopyLogFile), name);
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

// The records gathered for the log and what is known of the log file, for
// the whole process. Every use holds `mutex`.
class CopyLogWriter {
 public:
  // The normal end of the process writes what is still gathered.
  ~CopyLogWriter() {
    std::lock_guard<std::mutex> guard(mutex);
    write();
  }

  // Gathers one record for the log in `folder`; writes when it is due.
  bool add(const std::string& folder, uint16_t kind, uint32_t time, uint32_t count, uint64_t size,
           std::string_view text) {
    // Records gathered for another folder (the current one changed) go
    // there first, or are given up.
    if (count_ > 0 && folder_ != folder && !write()) discard();
    if (count_ == 0) first_ms_ = millisecondClock();
    folder_ = folder;
    records_.appendU16(kind);
    records_.appendU32(time);
    records_.appendU32(count);
    records_.appendU64HighFirst(size);
    records_.appendCounted(singleByteText(text));
    ++count_;
    const bool due = kind != kLogExclusion || records_.size() >= kWriteAtBytes ||
                     millisecondClock() - first_ms_ >= kWriteAfterMs;
    return !due || write();
  }

  // Writes the gathered records; true when none are left.
  bool write() {
    if (count_ == 0) return true;
    bool written = false;
    {
      LogLock lock(folder_);
      written = lock.held() && writeGathered();
    }
    if (written || records_.size() > kMaxKeptBytes) discard();
    return written;
  }

  bool pendingIn(const std::string& folder) const { return count_ > 0 && folder_ == folder; }
  void discard() {
    records_.clear();
    count_ = 0;
  }
  // The log in `folder` was replaced behind our knowledge.
  void forget() { known_valid_ = false; }

  std::mutex mutex;

 private:
  bool writeGathered() {
    const bool known = known_valid_ && known_folder_ == folder_;
    known_valid_ = false;
    const std::string path = inFolder(folder_, kCopyLogFile);
    UpdatableFile file;
    switch (file.open(path, UpdatableFile::Mode::kReadWrite)) {
      case UpdatableFile::Opened::kMissing:
        return startLog();
      case UpdatableFile::Opened::kNotAllowed:
        return replaceLog(path);
      case UpdatableFile::Opened::kFailed:
        return false;
      case UpdatableFile::Opened::kOpened:
        break;
    }
    LogHead head;
    LogState state = readHead(file, &head);
    const auto identity = file.identity();
    if (state == LogState::kSound && !(known && identity && *identity == known_identity_ &&
                                       head == known_head_)) {
      ByteBuffer body;
      state = readBody(file, head, &body);
    }
    if (state == LogState::kUnread) return false;
    if (state == LogState::kBroken || head.length > ByteBuffer::kMaxFileLength - records_.size()) {
      // Read whole but not a log, or full: kept under its own name.
      file.close();
      return moveAside(folder_) && startLog();
    }
    return appendInPlace(file, head);
  }

  // The gathered records after the last committed byte, synced; then the
  // head that takes them in, synced.
  bool appendInPlace(UpdatableFile& file, const LogHead& head) {
    const uint64_t end = 4 + uint64_t{head.length};
    const uint64_t new_end = end + records_.size();
    const auto before = file.identity();
    if (!before) return false;
    if (!file.writeAt(end, records_.data(), records_.size()) ||
        (before->size > new_end && !file.truncate(new_end)) || !file.sync()) {
      file.truncate(before->size);  // gives back what a full disk let us write
      return false;
    }
    const LogHead next{head.length + records_.size(), head.count + count_};
    uint8_t bytes[kHeadBytes];
    storeU32(bytes, next.length);
    storeU32(bytes + 4, next.count);
    if (!file.writeAt(0, bytes, kHeadBytes) || !file.sync()) return false;
    remember(file.identity(), next);
    return true;
  }

  // A new log holding the gathered records.
  bool startLog() {
    ByteBuffer log;
    log.appendU32(count_);
    log.appendBytes(records_);
    return saveWhole(log);
  }

  // The log with the gathered records added, written as a new file in its
  // place: for a log file we may read but not write.
  bool replaceLog(const std::string& path) {
    UpdatableFile file;
    if (file.open(path, UpdatableFile::Mode::kReadOnly) != UpdatableFile::Opened::kOpened) {
      return false;
    }
    LogHead head;
    ByteBuffer log;
    LogState state = readHead(file, &head);
    if (state == LogState::kSound) state = readBody(file, head, &log);
    file.close();
    if (state == LogState::kUnread) return false;
    if (state == LogState::kBroken) return moveAside(folder_) && startLog();
    storeU32(log.data(), head.count + count_);
    log.appendBytes(records_);
    return saveWhole(log);
  }

  bool saveWhole(ByteBuffer& log) {
    const std::string path = inFolder(folder_, kCopyLogFile);
    if (!log.saveToFile(path)) return false;
    log.setReadPosition(0);
    const LogHead head{log.size(), log.readU32()};
    remember(fileIdentity(path), head);
    return true;
  }

  void remember(const std::optional<FileIdentity>& identity, const LogHead& head) {
    known_valid_ = identity.has_value();
    if (!identity) return;
    known_folder_ = folder_;
    known_identity_ = *identity;
    known_head_ = head;
  }

  // Gathered records, encoded as in the file, all for the log in folder_.
  std::string folder_;
  ByteBuffer records_;
  uint32_t count_ = 0;
  uint32_t first_ms_ = 0;

  // The log file as this process last wrote it; while it is unchanged its
  // records need not be read again.
  bool known_valid_ = false;
  std::string known_folder_;
  FileIdentity known_identity_;
  LogHead known_head_;
};

CopyLogWriter& logWriter() {
  static CopyLogWriter writer;
  return writer;
}

}  // namespace

bool appendLog(uint16_t kind, uint32_t time, uint32_t count, uint64_t size, std::string_view text) {
  const auto folder = currentFolder();
  if (!folder) return false;
  CopyLogWriter& writer = logWriter();
  std::lock_guard<std::mutex> guard(writer.mutex);
  return writer.add(*folder, kind, time, count, size, text);
}

bool logInLanguage(const LogContext& context, std::string_view swedish, std::string_view english) {
  return appendLog(kLogMessage, secondsSince1970(), 0, 0, context.pick(swedish, english));
}

bool flushCopyLog() {
  CopyLogWriter& writer = logWriter();
  std::lock_guard<std::mutex> guard(writer.mutex);
  return writer.write();
}

bool clearLog() {
  const auto folder = currentFolder();
  if (!folder) return false;
  CopyLogWriter& writer = logWriter();
  std::lock_guard<std::mutex> guard(writer.mutex);
  if (writer.pendingIn(*folder)) writer.discard();
  writer.forget();
  LogLock lock(*folder);
  ByteBuffer empty;
  empty.appendU32(0);
  return lock.held() && empty.saveToFile(inFolder(*folder, kCopyLogFile));
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
  const auto folder = currentFolder();
  if (!folder) return false;
  ByteBuffer log;
  {
    CopyLogWriter& writer = logWriter();
    std::lock_guard<std::mutex> guard(writer.mutex);
    if (writer.pendingIn(*folder)) writer.write();
    LogLock lock(*folder);
    const std::string path = inFolder(*folder, kCopyLogFile);
    if (nameIsFree(path)) return true;
    if (!log.loadFromFile(path)) return false;
  }
  return parseCopyLog(log, records);
}

ByteBuffer copyLogBuffer(std::span<const CopyLogRecord> records) {
  ByteBuffer out;
  out.appendU32(static_cast<uint32_t>(records.size()));
  for (const CopyLogRecord& record : records) {
    out.appendU16(record.kind);
    out.appendU32(record.time);
    out.appendU32(record.count);
    out.appendU64HighFirst(record.size);
    out.appendCounted(singleByteText(record.textView()));
  }
  return out;
}

bool logExclusion(const LogContext& context, std::string_view path, uint32_t cause) {
  if (cause > kExcludedUncheckable) return true;
  std::string text(context.pick(kExclusionPrefixes[cause][0], kExclusionPrefixes[cause][1]));
  text += path;
  return appendLog(kLogExclusion, secondsSince1970(), 1, 0, text);
}

bool logCopyFinished(const LogContext& context, uint32_t files, uint64_t bytes) {
  return appendLog(kLogCompletion, secondsSince1970(), files, bytes,
                   context.pick("Kopiering slutförd utan fel.", "Copy finished without errors."));
}

bool logRestoreFinished(const LogContext& context, uint32_t files, uint64_t bytes) {
  return appendLog(
      kLogCompletion, secondsSince1970(), files, bytes,
      context.pick("Återställning slutförd utan fel.", "Restore finished without errors."));
}

}  // namespace vl
