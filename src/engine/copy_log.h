// The copy log ("logg.bin"): every outcome a user may want to look at later.
//
// Finished copies and restores, errors of unattended runs and exchanges, and
// every file or folder left out of a copy are records of one buffer file:
// u32 N, then N records of kind u16, time u32, count u32, size as two u32
// halves (high first) and the text as counted bytes. Texts are stored one
// byte per character (Latin-1); a character without a single-byte form is
// stored as '?'. In memory texts are UTF-8.
//
// The interactive program and a background run both append, so every change
// to the file happens under an advisory lock on "logg.lock" in the same
// folder; appends never overwrite each other. Files are opened by bare name
// in the working directory (the folder that is current at the append).
//
// Appending and crash safety. Records are gathered in memory and added to
// the file together, in place: the new records are written after the last
// committed byte and synced, and only then the buffer-file length and N at
// the start of the file are rewritten and synced. A crash before that leaves
// the old length, which still covers exactly the old records (readers never
// look past it), and the next append writes over the uncommitted tail. So
// an append costs the size of its records, not of the whole history.
// Every record that is not an exclusion (failures, notices, completions) is
// written, with all gathered before it, before its append returns: a run's
// failure is on disk before the caller can go on and crash. Exclusions,
// which a walk may produce by the thousand, are gathered until one of: a
// record that is not an exclusion, an exclusion a second or more after the
// first gathered one, 1 MiB gathered, flushCopyLog (end of a run, shutdown),
// loadLog or clearLog, or the normal end of the process. A process killed
// outright loses the exclusions gathered since the last write, never a
// failure or a completion. A log file we may read but not write (left by a
// run as another user) is replaced as a whole instead, as a rename allows.
//
// A log file that was read whole but does not parse is moved aside
// ("logg_unreadable_<time>.bin") before a new log is started, never silently
// replaced. A log that cannot be read at all (no descriptors left, a read
// error, not ours to open) is left as it is and the append fails; its
// records stay gathered for the next attempt.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/byte_buffer.h"

namespace vl {

inline constexpr char kCopyLogFile[] = "logg.bin";
inline constexpr char kCopyLogLockFile[] = "logg.lock";

// Record kinds.
constexpr uint16_t kLogCompletion = 0;
constexpr uint16_t kLogMessage = 1;
constexpr uint16_t kLogExclusion = 2;

// Causes of an exclusion record.
constexpr uint32_t kExcludedUnreadableFile = 0;
constexpr uint32_t kExcludedUnopenableFolder = 1;
constexpr uint32_t kExcludedNameTooLong = 2;
constexpr uint32_t kExcludedUncheckable = 3;

struct CopyLogRecord {
  uint16_t kind = 0;
  uint32_t time = 0;   // seconds since 1970
  uint32_t count = 0;  // completion: files; exclusion: 1; message: 0
  uint64_t size = 0;   // completion: bytes; otherwise 0
  ByteBuffer text;     // UTF-8, wiped when the record goes away

  std::string_view textView() const {
    return {reinterpret_cast<const char*>(text.data()), text.size()};
  }
};

// Which language logged texts are in: 0 Swedish, anything else English.
struct LogContext {
  uint32_t language = 0;

  std::string_view pick(std::string_view swedish, std::string_view english) const {
    return language != 0 ? english : swedish;
  }
};

// Appends one record. A missing log starts empty; one that does not parse is
// moved aside first. False when the record (or, for an exclusion that is
// only gathered, nothing yet) could not be written; it stays gathered and
// goes out with the next write that succeeds.
bool appendLog(uint16_t kind, uint32_t time, uint32_t count, uint64_t size, std::string_view text);
// A message record stamped now, in the language `context` selects.
bool logInLanguage(const LogContext& context, std::string_view swedish, std::string_view english);
// Writes the gathered exclusions now: at the end of a run and before an exit.
bool flushCopyLog();
// Empties the log (N = 0), gathered records included.
bool clearLog();
// Reads every record in file order, gathered ones included. A missing log is
// empty (true); false when the file exists but cannot be read as a log, and
// `records` is then empty.
bool loadLog(std::vector<CopyLogRecord>* records);
// Reads the records of a log buffer (the file's contents after its length).
// False, with `records` empty, unless the buffer holds exactly N whole records.
bool parseCopyLog(ByteBuffer& buffer, std::vector<CopyLogRecord>* records);

// `records` in the layout of the log file's buffer: u32 N, then the
// records, texts one byte per character.
ByteBuffer copyLogBuffer(std::span<const CopyLogRecord> records);
// An exclusion record (count 1): the prefix of `cause` followed by `path`.
// Causes above kExcludedUncheckable write nothing.
bool logExclusion(const LogContext& context, std::string_view path, uint32_t cause);
// A completion record "Kopiering slutförd utan fel." / "Copy finished without errors.".
bool logCopyFinished(const LogContext& context, uint32_t files, uint64_t bytes);
// A completion record "Återställning slutförd utan fel." / "Restore finished without errors.".
bool logRestoreFinished(const LogContext& context, uint32_t files, uint64_t bytes);

}  // namespace vl
