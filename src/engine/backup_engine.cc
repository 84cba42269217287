#include "engine/backup_engine.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "core/copy_progress_file.h"
#include "core/state_files.h"
#include "core/usage_files.h"
#include "crypto/sha256.h"
#include "engine/folder_scan.h"
#include "model/list_payload.h"
#include "model/utf16.h"
#include "platform/clock.h"

namespace vl {
namespace {

constexpr uint64_t kLongReadBytes = 104857600;
constexpr std::string_view kStatusBackingUpSv = "Säkerhetskopierar mappar...";
constexpr std::string_view kStatusBackingUpEn = "Backing upp folders...";
constexpr std::string_view kStatusRestartingSv = "Återstartar...";
constexpr std::string_view kStatusRestartingEn = "Restarting...";
constexpr std::string_view kStatusReadingSv = "Läser fildata...";
constexpr std::string_view kStatusReadingEn = "Reading file...";

EntryMetadata metadataOf(const WalkEntry& entry) {
  return EntryMetadata{entry.creation_time, entry.last_access_time, entry.last_write_time,
                       entry.attributes};
}

ListHash listHash(const ByteBuffer& digest) { return *ListHash::from(digest.span()); }

}  // namespace

// The new file whose sections are being cut: from the sections the hashing
// pass kept, or by reading the file again.
struct BackupEngine::CurrentFile {
  WalkEntry entry;
  WipedU16String name;
  ListHash hashed;  // from the hashing pass
  std::vector<ByteBuffer> held;
  size_t nextHeld = 0;
  bool fromMemory = false;
  SectionCutter cutter;
  WipedVector<ListSection> sections;

  SectionCutter::Cut next(ByteBuffer& piece) {
    if (!fromMemory) return cutter.next(piece);
    if (nextHeld == held.size()) return SectionCutter::Cut::kEnd;
    piece = std::move(held[nextHeld++]);
    return SectionCutter::Cut::kSection;
  }
  bool done() const { return fromMemory ? nextHeld == held.size() : cutter.done(); }
  // The hash of the bytes cut: those that were hashed, when they were kept.
  ListHash cutHash() { return fromMemory ? hashed : listHash(cutter.contentHash()); }
};

BackupEngine::BackupEngine(const BackupEngineOptions& options)
    : options_(options),
      cancel_(options.cancel),
      totalFiles_(options.totalFiles),
      sink_(&newList_, &previousIndex_),
      progress_(options.callbacks, options.totalSections),
      walk_(walkRoots(options.folders),
            BackupWalk::Options{options.includeHidden, options.quickCompare, kCancelFile},
            options.cancel, &progress_, &sink_) {
  writeCancelRequest(false);
  writeCopyProgress(CopyProgress{});
  newList_.nextSectionNumber = nextSectionId_;
}

BackupEngine::~BackupEngine() = default;

bool BackupEngine::setPreviousCopy(std::span<const uint8_t> payload) {
  std::optional<FileList> parsed = parseList(payload);
  if (!parsed) return false;
  previousList_ = std::move(*parsed);
  if (!previousIndex_.build(previousList_)) {
    previousList_ = FileList();
    previousIndex_.build(previousList_);
    hasPrevious_ = false;
    return false;
  }
  hasPrevious_ = true;
  // New ids must never name a section the store already holds, even when
  // the stored counter lags behind the ids the list uses.
  uint32_t next = std::max<uint32_t>(previousList_.nextSectionNumber, 1);
  for (const FileListEntry& entry : previousList_.entries()) {
    for (const ListSection& section : entry.sections) {
      if (section.number >= next && section.number != UINT32_MAX) next = section.number + 1;
    }
  }
  nextSectionId_ = std::max(nextSectionId_, next);
  newList_.nextSectionNumber = nextSectionId_;
  previousNextId_ = next;
  return true;
}

// A section below the previous copy's next id that the previous copy does
// not use was given out before that copy was stored, and the store dropped
// it when the copy was stored without it. A record naming such a section
// (kept by an attempt older than the previous copy, for a file no copy
// took) would make the new copy name a section that no longer exists, so
// it is not resumed.
void BackupEngine::dropRecordsOlderThanPrevious() {
  if (!hasPrevious_ || restart_.empty()) return;
  std::unordered_set<uint32_t> previous;
  for (const FileListEntry& entry : previousList_.entries()) {
    for (const ListSection& section : entry.sections) previous.insert(section.number);
  }
  RestartState kept;
  kept.nextSectionId = restart_.nextSectionId;
  kept.filesPassed = restart_.filesPassed;
  for (uint32_t i = 0; i < restart_.size(); ++i) {
    RestartRecord& record = restart_.record(i);
    bool stored = true;
    for (const ListSection& section : record.sections) {
      if (section.number < previousNextId_ && previous.count(section.number) == 0) stored = false;
    }
    if (stored && !kept.add(std::move(record))) return;
  }
  restart_ = std::move(kept);
}

RestartLoad BackupEngine::loadRestart() {
  RestartState loaded;
  RestartLoad result = loadRestartState(&loaded);
  if (result != RestartLoad::kLoaded) return result;
  restart_ = std::move(loaded);
  dropRecordsOlderThanPrevious();
  // As with the previous copy: never give out an id that a record names.
  uint32_t next = restart_.nextSectionId;
  for (uint32_t i = 0; i < restart_.size(); ++i) {
    for (const ListSection& section : restart_.record(i).sections) {
      if (section.number >= next && section.number != UINT32_MAX) next = section.number + 1;
    }
  }
  nextSectionId_ = std::max(nextSectionId_, next);
  newList_.nextSectionNumber = nextSectionId_;
  statusThreshold_ = restart_.filesPassed;
  resuming_ = true;
  restarting_ = true;
  if (options_.callbacks != nullptr) {
    options_.callbacks->showStatus(kStatusRestartingSv, kStatusRestartingEn);
  }
  return result;
}

bool BackupEngine::cancelRequested() {
  if (cancel_->load() == 1) return true;
  if (!readCancelRequest()) return false;
  cancel_->store(1);
  return true;
}

bool BackupEngine::restartBookkeeping() {
  const uint32_t now = millisecondClock();
  if (firstCall_) {
    firstCall_ = false;
    lastRestartSave_ = now;
    // A fresh copy must not leave an older attempt's state to be resumed.
    return resuming_ || saveRestart(true);
  }
  if (now - lastRestartSave_ >= options_.restartSaveSeconds * 1000u) {
    if (!saveRestart(false)) return false;
    lastRestartSave_ = millisecondClock();
  }
  return true;
}

void BackupEngine::showRunningStatus() {
  if (options_.callbacks == nullptr) return;
  if (restarting_) {
    options_.callbacks->showStatus(kStatusRestartingSv, kStatusRestartingEn);
  } else {
    options_.callbacks->showStatus(kStatusBackingUpSv, kStatusBackingUpEn);
  }
}

bool BackupEngine::nextSection(ByteBuffer* section, uint32_t* id, bool* finished,
                               std::string* currentPath) {
  section->clear();
  *id = 0;
  *finished = false;
  if (finished_) {
    *finished = true;
    return true;
  }
  if (current_ != nullptr) {
    if (cancelRequested()) {
      *currentPath = current_->entry.full_path;
      return false;
    }
    std::string path = current_->entry.full_path;
    Flow flow = cutSections(section, id);
    if (flow == Flow::kSent) return true;
    if (flow == Flow::kStop) {
      *currentPath = path;
      return false;
    }
  } else if (!restartBookkeeping()) {
    *currentPath = walk_.currentPath();
    return false;
  }

  for (;;) {
    if (statusThreshold_ != 0 && walk_.filesPassed() >= statusThreshold_) {
      statusThreshold_ = 0;
      restarting_ = false;
      showRunningStatus();
    }
    if (cancel_->load() == 1) {
      *currentPath = walk_.currentPath();
      return false;
    }
    WalkEntry entry;
    WalkStep step = walk_.next(&entry);
    if (step == WalkStep::kFinished) {
      finished_ = true;
      *finished = true;
      return true;
    }
    if (step == WalkStep::kFailed) {
      *currentPath = walk_.currentPath();
      return false;
    }
    Flow flow = step == WalkStep::kFile ? handleFile(entry, section, id)
                                        : handleWalkStep(step, entry);
    if (flow == Flow::kSent) return true;
    if (flow == Flow::kStop) {
      *currentPath = entry.full_path;
      return false;
    }
  }
}

BackupEngine::Flow BackupEngine::handleWalkStep(WalkStep step, const WalkEntry& entry) {
  switch (step) {
    case WalkStep::kUnreadableSubFolder: {
      Answer answer = askUnopenableFolder(entry);
      if (answer == Answer::kTryAgain) walk_.retryPendingFolder();
      return answer == Answer::kStop ? Flow::kStop : Flow::kNext;
    }
    case WalkStep::kUnreadableSelectedFolder: {
      std::string quoted = "\"" + entry.full_path + "\"";
      logInLanguage(options_.log, "Fel: Kunde inte läsa mappen " + quoted + " som är vald för kopiering.",
                    "Error: Could not read folder " + quoted + " selected for copy.");
      return Flow::kStop;
    }
    case WalkStep::kNameTooLong: {
      if (askNameTooLong(entry) == Answer::kStop) return Flow::kStop;
      progress_.advance(sectionsFor(entry.size), 0);
      return Flow::kNext;
    }
    case WalkStep::kUncheckable:
      exclude(entry.full_path, kExcludedUncheckable);
      return Flow::kNext;
    default:
      return Flow::kStop;
  }
}

bool BackupEngine::reuseRestartByName(const WalkEntry& entry, const WipedU16String& name) {
  std::optional<WipedU16String> fullPath = utf8ToUtf16(entry.full_path);
  if (!fullPath) return false;
  RestartRecord* record = restart_.findByPath(*fullPath);
  // The last-access time is left out of the comparison: the interrupted
  // attempt's own read of the file moved it.
  const EntryMetadata now = metadataOf(entry);
  if (record == nullptr || record->fullPath != *fullPath ||
      record->metadata.attributes != now.attributes ||
      record->metadata.creationTime != now.creationTime ||
      record->metadata.lastWriteTime != now.lastWriteTime) {
    return false;
  }
  if (!addReused(name, record->metadata, record->contentHash, record->sections, entry.size)) {
    return false;
  }
  ++stats_.num_restarted_name_reuse_files;
  record->used = true;
  return true;
}

bool BackupEngine::addReused(const WipedU16String& name, const EntryMetadata& metadata,
                             const ListHash& contentHash, std::span<const ListSection> sections,
                             uint64_t size) {
  if (!newList_.addFile(name, metadata, contentHash, sections)) return false;
  progress_.advance(static_cast<uint32_t>(sections.size()), size);
  return true;
}

HashedContent BackupEngine::hashWithStatus(const WalkEntry& entry) {
  const bool longRead = entry.size > kLongReadBytes && options_.callbacks != nullptr;
  if (longRead) options_.callbacks->showStatus(kStatusReadingSv, kStatusReadingEn);
  HashedContent hashed = hashFileContent(entry.full_path, entry.size, cancel_);
  if (longRead) showRunningStatus();
  return hashed;
}

BackupEngine::Flow BackupEngine::handleFile(const WalkEntry& entry, ByteBuffer* section,
                                            uint32_t* id) {
  std::optional<WipedU16String> name = utf8ToUtf16(entry.relative_path);
  if (!name) {
    exclude(entry.full_path, kExcludedUncheckable);
    return Flow::kNext;
  }
  if (resuming_ && !restart_.empty() && reuseRestartByName(entry, *name)) return Flow::kNext;

  HashedContent hashed = hashWithStatus(entry);
  ++stats_.num_read_files;
  if (hashed.outcome != HashedContent::Outcome::kRead) {
    ++stats_.num_read_errors;
    do {
      if (cancel_->load() == 1) return Flow::kStop;
      Answer answer = askUnreadableFile(entry);
      if (answer == Answer::kStop) return Flow::kStop;
      if (answer == Answer::kGoOn) return goOnWithout(entry, *name);
      hashed = hashWithStatus(entry);
    } while (hashed.outcome != HashedContent::Outcome::kRead);
  }

  // The hashed byte count is the file's size from here on, whatever the
  // listing said: the hash describes those bytes and no others.
  const ListHash contentHash = listHash(hashed.hash);
  if (hashed.bytes == 0) {
    if (!newList_.addFile(*name, metadataOf(entry), contentHash, {})) return Flow::kStop;
    ++stats_.num_empty_files;
    return Flow::kNext;
  }
  if (RestartRecord* record = restart_.findByContent(contentHash.bytes())) {
    if (record->contentHash == contentHash) {
      if (!addReused(*name, metadataOf(entry), contentHash, record->sections, hashed.bytes)) {
        return Flow::kStop;
      }
      ++stats_.num_file_reuse_dedup_restart;
      record->used = true;
      return Flow::kNext;
    }
  }
  if (hasPrevious_) {
    if (const FileListEntry* earlier = previousIndex_.findEntryByContent(contentHash.bytes())) {
      if (!(earlier->contentHash == contentHash) ||
          !addReused(*name, metadataOf(entry), earlier->contentHash, earlier->sections,
                     hashed.bytes)) {
        return Flow::kStop;
      }
      ++stats_.num_reuse_prev_copy;
      return Flow::kNext;
    }
  }
  return startNewFile(entry, std::move(*name), std::move(hashed), section, id);
}

BackupEngine::Flow BackupEngine::goOnWithout(const WalkEntry& entry, const WipedU16String& name) {
  if (hasPrevious_) {
    if (const FileListEntry* earlier = previousIndex_.findEntryByPath(name)) {
      if (!newList_.addEntry(*earlier)) return Flow::kStop;
      ++stats_.num_read_error_reuse;
      progress_.advance(static_cast<uint32_t>(earlier->sections.size()), entry.size);
      return Flow::kNext;
    }
  }
  if (totalFiles_ > 0) --totalFiles_;
  progress_.advance(sectionsFor(entry.size), 0);
  ++stats_.num_read_error_skipped;
  return Flow::kNext;
}

bool BackupEngine::takeSectionId(uint32_t* id) {
  // Ids only grow; one that wrapped around would name an older section.
  if (nextSectionId_ == 0) return false;
  *id = nextSectionId_++;
  newList_.nextSectionNumber = nextSectionId_;
  return true;
}

BackupEngine::Flow BackupEngine::startNewFile(const WalkEntry& entry, WipedU16String name,
                                              HashedContent hashed, ByteBuffer* section,
                                              uint32_t* id) {
  ++stats_.num_new_files;
  stats_.num_new_file_sections += sectionsFor(hashed.bytes);
  current_ = std::make_unique<CurrentFile>();
  current_->entry = entry;
  current_->name = std::move(name);
  current_->hashed = listHash(hashed.hash);

  ByteBuffer whole;
  ListHash wholeHash = current_->hashed;
  // A test's hook between the passes wants the file read again.
  const bool held = hashed.held() && (hashed.sections.size() == 1 || !betweenPasses_);
  if (held && hashed.sections.size() > 1) {
    // In hand from the hashing pass: the file is not read again.
    current_->held = std::move(hashed.sections);
    current_->fromMemory = true;
    return cutSections(section, id);
  }
  if (held) {
    whole = std::move(hashed.sections.front());
  } else {
    if (betweenPasses_) betweenPasses_(entry.full_path);
    if (!current_->cutter.open(entry.full_path, hashed.bytes)) return Flow::kStop;
    if (hashed.bytes > kSectionSize) return cutSections(section, id);
    // Listed as larger than a section, but hashed as one: read it whole.
    if (current_->cutter.next(whole) == SectionCutter::Cut::kFailed) return Flow::kStop;
    wholeHash = listHash(current_->cutter.contentHash());
    current_->cutter.close();
    if (whole.empty()) return completeNewFile(wholeHash) ? Flow::kNext : Flow::kStop;
  }

  // A file of one section: its section hash is its content hash.
  uint32_t sectionId = 0;
  if (!takeSectionId(&sectionId)) return Flow::kStop;
  progress_.advance(1, whole.size());
  current_->sections.push_back({sectionId, wholeHash});
  ++stats_.num_single_sections;
  if (!completeNewFile(wholeHash)) return Flow::kStop;
  *section = std::move(whole);
  *id = sectionId;
  return Flow::kSent;
}

BackupEngine::Flow BackupEngine::cutSections(ByteBuffer* section, uint32_t* id) {
  ByteBuffer piece;
  for (;;) {
    if (cancel_->load() == 1) return Flow::kStop;
    SectionCutter::Cut cut = current_->next(piece);
    if (cut == SectionCutter::Cut::kFailed) return Flow::kStop;
    if (cut == SectionCutter::Cut::kEnd) {
      return completeNewFile(current_->cutHash()) ? Flow::kNext : Flow::kStop;
    }
    progress_.advance(1, piece.size());
    const ListHash sectionHash = listHash(sha256(piece));
    std::optional<uint32_t> stored;
    if (hasPrevious_) stored = previousIndex_.findSection(sectionHash.bytes());
    if (stored && *stored != 0) {
      current_->sections.push_back({*stored, sectionHash});
      ++stats_.num_section_reuse;
      continue;
    }
    uint32_t sectionId = 0;
    if (!takeSectionId(&sectionId)) return Flow::kStop;
    current_->sections.push_back({sectionId, sectionHash});
    ++stats_.num_section_write;
    if (current_->done() && !completeNewFile(current_->cutHash())) return Flow::kStop;
    *section = std::move(piece);
    *id = sectionId;
    return Flow::kSent;
  }
}

bool BackupEngine::completeNewFile(const ListHash& storedHash) {
  CurrentFile& file = *current_;
  // `storedHash` describes the bytes that were cut. When the file changed
  // after it was hashed, that is what the copy holds, and the entry says so.
  const EntryMetadata metadata = metadataOf(file.entry);
  if (!newList_.addFile(file.name, metadata, storedHash, file.sections)) return false;

  RestartRecord record;
  std::optional<WipedU16String> fullPath = utf8ToUtf16(file.entry.full_path);
  // A path that cannot be held is never found by name; the record still
  // serves reuse by content.
  if (fullPath) record.fullPath = std::move(*fullPath);
  record.metadata = metadata;
  record.contentHash = storedHash;
  record.sections = file.sections;
  record.used = true;
  bool added = restart_.add(std::move(record));
  current_.reset();
  return added;
}

bool BackupEngine::saveRestart(bool clear) {
  if (clear) return RestartState::saveCleared();
  if (barrier_ && !barrier_()) return false;
  restart_.nextSectionId = nextSectionId_;
  restart_.filesPassed = walk_.filesPassed();
  return restart_.save();
}

bool BackupEngine::discardRestart() {
  bool current = writeCurrentUpload(0);
  return saveRestart(true) && current;
}

CopyStatistics BackupEngine::statistics() const {
  CopyStatistics stats = stats_;
  stats.num_files = 0;
  stats.num_dir = 0;
  for (const FileListEntry& entry : newList_.entries()) {
    if (entry.isFile()) ++stats.num_files;
    if (entry.isFolderStart()) ++stats.num_dir;
  }
  stats.num_name_reuse_files = walk_.nameReusedFiles();
  return stats;
}

}  // namespace vl
