// The two passes of a restore, around a RestoreWriter, for records that the
// caller fetches and opens: the part of restoring that does not depend on
// where the records come from (a server, or a store on this machine).
//
// The request pass fetches every distinct section once and keeps it in the
// writer's temporary folder; records that already sit on this machine (a
// SectionShelf) are only checked there and read in place. The writing pass
// walks the list with the writer while worker threads (at most 6) load and
// open the records of the coming sections ahead of it, in list order, so
// that the writer thread only writes and the expensive opening runs in
// parallel. A section used by several neighbouring places is opened once
// for all of them. Each record is deleted after its last use.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.h"
#include "engine/copy_log.h"
#include "engine/restore_writer.h"

namespace vl {

// The record of section `number`, or nothing when it cannot be had. Runs on
// the calling thread.
using SectionFetcher = std::function<std::optional<ByteBuffer>(uint32_t number)>;
// The plain data of a record, or nothing when it does not open (damaged,
// cut short, or sealed with other keys). Runs on several threads at once.
using SectionOpener = std::function<std::optional<ByteBuffer>(std::span<const uint8_t> record)>;
// Several records at once: entry i is what a SectionOpener would give for
// records[i], but the work may be shared between them (the private-key
// operations of a batch run together). Runs on several threads at once.
using SectionBatchOpener = std::function<std::vector<std::optional<ByteBuffer>>(
    std::span<const std::span<const uint8_t>> records)>;

// Opening in two steps. `unwrap` does the costly private-key step for
// several records at once: entry i is what records[i] needs for the second
// step, or nothing when the record fails already. `finish` does the rest of
// one record (decryption, checks, expansion) with what unwrap gave for it,
// and gives its plain data or nothing; it may use up the record's memory.
// The writing pass unwraps in batches and spreads the finishing over every
// worker, nearest the writer first, so that a batch of large sections does
// not hold the writer up while other workers sit idle. Both run on several
// threads at once.
struct SectionUnsealer {
  std::function<std::vector<std::optional<ByteBuffer>>(
      std::span<const std::span<const uint8_t>> records)>
      unwrap;
  std::function<std::optional<ByteBuffer>(ByteBuffer& record, ByteBuffer& unwrapped)> finish;
};

// Records kept where the writing pass can read them at any time, from
// several threads at once: a copy store on this machine. A restore from a
// shelf checks in its request pass that every section is there and then
// reads each record in place, instead of first copying it into the
// temporary folder (which exists for records that arrive once, over a
// connection).
struct SectionShelf {
  std::function<bool(uint32_t number)> holds;
  // The record of `number`, or nothing. Runs on several threads at once.
  std::function<std::optional<ByteBuffer>(uint32_t number)> read;
};

enum class RestoreEnd : uint8_t { kFinished, kFailed, kCancelled };

struct RestoreOutcome {
  RestoreEnd end = RestoreEnd::kFinished;
  // For kFailed: the text to show and log.
  RestoreMessage message;
  // For kFailed: what it concerns, for people who look into it: the listed
  // name of the entry, and the section number when one is involved.
  std::string detail;
  // Set when the temporary folder could not be removed after a failure or a
  // cancel: told besides the outcome, with the folder's path.
  std::optional<RestoreMessage> leftovers;
  std::string leftoversDetail;

  bool finished() const { return end == RestoreEnd::kFinished; }
  // `text` followed by " (detail)" when there is a detail.
  std::string withDetail(std::string_view text) const;
};

// At most this many threads open records.
inline constexpr unsigned kMaxSectionOpeners = 6;
// At most this many records go to one call of a SectionBatchOpener.
inline constexpr unsigned kSectionBatchSize = 8;

// The request pass: creates the temporary folder, then fetches and stores
// every section the writer names. The writer must have started.
RestoreOutcome fetchAllSections(RestoreWriter& writer, const SectionFetcher& fetch);

// The writing pass, after fetchAllSections: `workers` threads (clamped to
// 1..kMaxSectionOpeners; 0 picks one per processor) open records ahead of
// the writer; the sections opened or being opened ahead of it hold at most
// about 64 MiB. Saves the progress at most once a second.
RestoreOutcome writeAllFiles(RestoreWriter& writer, const SectionOpener& open, unsigned workers);
// The same with records opened in batches: a worker takes up to
// kSectionBatchSize coming sections at once.
RestoreOutcome writeAllFiles(RestoreWriter& writer, const SectionBatchOpener& open,
                             unsigned workers);
// The same with records opened in two steps, the first in batches.
RestoreOutcome writeAllFiles(RestoreWriter& writer, const SectionUnsealer& open, unsigned workers);

struct RestoreRunOptions {
  bool restoreMetadata = true;
  unsigned workers = 0;
  // Language of the copy-log texts.
  LogContext log;
  // Whether the outcome goes into the copy log ("logg.bin").
  bool writeLog = true;
};

// The end of every restore, after its passes (or after whatever stopped
// it): deletes the records left in the temporary folder and the folder,
// then reports the outcome to the writer's progress object and, when
// asked, in the copy log. Leftovers that cannot be deleted fail a finished
// restore with internal error 8 (records) or 9 (the folder); after a
// failure or a cancel they are told besides. Gives the final outcome.
RestoreOutcome endRestore(RestoreWriter& writer, RestoreOutcome outcome,
                          const RestoreRunOptions& options);

// A whole restore of the list `payload` into `targetPath`: start, both
// passes, removal of the temporary folder. The outcome is reported to the
// writer's progress object (status lines, failure, cancel or finish) and,
// when asked, logged in the copy log.
RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionFetcher& fetch,
                          const SectionOpener& open, const RestoreRunOptions& options);
// The same, opening records in batches.
RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionFetcher& fetch,
                          const SectionBatchOpener& open, const RestoreRunOptions& options);
// The same, opening records in two steps.
RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionFetcher& fetch,
                          const SectionUnsealer& open, const RestoreRunOptions& options);
// The last two with the records on a shelf: no temporary folder is made.
RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionShelf& shelf,
                          const SectionBatchOpener& open, const RestoreRunOptions& options);
RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionShelf& shelf,
                          const SectionUnsealer& open, const RestoreRunOptions& options);

}  // namespace vl
