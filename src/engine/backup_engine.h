// BackupEngine: turns the selected folders into the new copy's file list and
// the stream of sections that the store does not hold yet.
//
// The exchange that owns the engine pulls from it: each nextSection call
// either gives the next section (at most 2 MiB of one file's plain bytes)
// with the id it is to be stored under, or says that every file has been
// handled, or that the run stops. Whatever can be reused is reused without
// reading or sending it again:
//   - a file the previous copy holds unchanged (quick compare, in the walk);
//   - a file an interrupted attempt at this copy completed (by name, when
//     path, attributes and times still match, or by content);
//   - a file of this run with the same content (by content);
//   - a file of the previous copy with the same content;
//   - one section of a new file equal to a section of the previous copy.
// Every file is read at most twice: once to hash it, and once more to cut a
// new file larger than the hashing pass keeps (kHoldLimit); a smaller file
// is read once.
//
// A list entry always describes exactly the bytes that were stored: the
// content hash of a new file is the hash of the bytes as they were cut, so a
// file that changes while it is copied is kept as it was read, never with a
// hash that would fail its restore.
//
// Completed new files are kept as restart state ("restart.bin", rewritten at
// most once a minute while the copy runs), so that an interrupted copy can
// be resumed without reading them again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "engine/backup_engine_reader.h"
#include "engine/backup_progress.h"
#include "engine/backup_walk.h"
#include "engine/copy_log.h"
#include "engine/copy_statistics.h"
#include "engine/list_walk_sink.h"
#include "engine/restart_state.h"
#include "model/file_list.h"
#include "model/previous_copy_index.h"
#include "ui/backup_main_action.h"

namespace vl {

struct BackupEngineOptions {
  // Status texts, questions and progress; may be null (nothing is asked).
  BackupMainAction* callbacks = nullptr;
  // The selected folders, in selection order.
  std::vector<std::string> folders;
  bool includeHidden = false;
  // Totals of the last measuring scan of the selection.
  uint32_t totalFiles = 0;
  uint32_t totalSections = 0;
  // Reuse files whose path and times match the previous copy without
  // reading them.
  bool quickCompare = true;
  // Never ask: leave out what cannot be read and go on.
  bool automatic = false;
  // The run's cancel flag (1 = stop); set by the user, by "cf.bin" or by an
  // abort answer. Must outlive the engine; required.
  std::atomic<uint8_t>* cancel = nullptr;
  // Language of logged texts.
  LogContext log;
  // Least time between two writes of "restart.bin" while the copy runs.
  uint32_t restartSaveSeconds = 60;
};

class BackupEngine {
 public:
  // Writes "cf.bin" with 0 and "progr.bin" with zeros; the next section id
  // is 1 until a previous copy or restart state says otherwise.
  explicit BackupEngine(const BackupEngineOptions& options);
  BackupEngine(const BackupEngine&) = delete;
  BackupEngine& operator=(const BackupEngine&) = delete;
  ~BackupEngine();

  // The latest copy's list payload. Its sections' ids are never given out
  // again, and its entries are indexed for reuse. False, changing nothing,
  // when the payload cannot be read or indexed. Call before nextSection.
  bool setPreviousCopy(std::span<const uint8_t> payload);
  // Continues an interrupted copy from "restart.bin". kNothing and kDamaged
  // leave the engine starting a fresh copy. Call after setPreviousCopy and
  // before nextSection.
  RestartLoad loadRestart();

  // The next step of the copy:
  //   true, *finished false: store `*section` under `*id` (never empty);
  //   true, *finished true: every file has been handled;
  //   false: the run stops; the cancel flag tells a cancel from an error and
  //   `*currentPath` names the file or folder being handled.
  // Before the next call every section given out must be stored: the call
  // may record the files those sections complete as restart state.
  bool nextSection(ByteBuffer* section, uint32_t* id, bool* finished, std::string* currentPath);

  // Finishing results, each a u32 count and that many u32 section ids.
  // A: sections of the previous copy that the new copy no longer uses, each
  // once, in the order first met (just a count of 0 without a previous copy).
  ByteBuffer unusedPreviousSections() const;
  // B: every section the new copy uses, each once, in the order first met.
  ByteBuffer usedSections() const;
  // C: sections that an interrupted attempt stored for files this run did
  // not take over, record after record. Sections that the previous or the
  // new copy refers to are never among them.
  ByteBuffer orphanedRestartSections() const;
  // The new copy's list payload (version 3).
  ByteBuffer newFileList() const;
  // Once the finishing results are taken: frees the previous copy and the
  // restart records, which the list payload does not need, so that a large
  // copy does not hold them while its list is serialised and sealed. The
  // finishing results are empty afterwards.
  void releaseAfterFinishing();

  // Writes "restart.bin": the state of this run, or, with `clear`, two zero
  // values (nothing to resume).
  bool saveRestart(bool clear);
  // Writes "current.bin" with zeros and clears "restart.bin": the copy is
  // complete or the interrupted one is abandoned.
  bool discardRestart();

  // The run is over (completed, failed or cancelled): "progr.bin" says
  // done = total from now on.
  bool finishProgress() { return progress_.finish(); }

  // Counters of this run; the file and folder counts describe the new list.
  CopyStatistics statistics() const;
  // Paths left out of the copy, for the copy's closing report.
  const std::vector<std::string>& excludedPaths() const { return excluded_; }
  // Plain bytes of the files in the new copy handled so far.
  uint64_t bytesDone() const { return progress_.bytesDone(); }
  uint32_t nextSectionId() const { return nextSectionId_; }
  const FileList& newList() const { return newList_; }

  // Called before every write of the running restart state; false stops the
  // run. A caller that stores sections behind the engine's back (on another
  // thread) waits here until everything given out is stored.
  void setRestartSaveBarrier(std::function<bool()> barrier) { barrier_ = std::move(barrier); }
  // For tests: called with the full path of a new file of several sections
  // after it was hashed and before it is cut. While a hook is set such a
  // file is always read again to be cut, as a file too large to keep is.
  void setBetweenPassesHook(std::function<void(const std::string&)> hook) {
    betweenPasses_ = std::move(hook);
  }

 private:
  enum class Flow { kNext, kSent, kStop };
  enum class Answer { kGoOn, kTryAgain, kStop };
  struct CurrentFile;

  void dropRecordsOlderThanPrevious();
  bool cancelRequested();
  bool restartBookkeeping();
  Flow handleWalkStep(WalkStep step, const WalkEntry& entry);
  Flow handleFile(const WalkEntry& entry, ByteBuffer* section, uint32_t* id);
  bool reuseRestartByName(const WalkEntry& entry, const WipedU16String& name);
  HashedContent hashWithStatus(const WalkEntry& entry);
  Flow goOnWithout(const WalkEntry& entry, const WipedU16String& name);
  bool addReused(const WipedU16String& name, const EntryMetadata& metadata,
                 const ListHash& contentHash, std::span<const ListSection> sections,
                 uint64_t size);
  Flow startNewFile(const WalkEntry& entry, WipedU16String name, HashedContent hashed,
                    ByteBuffer* section, uint32_t* id);
  Flow cutSections(ByteBuffer* section, uint32_t* id);
  bool completeNewFile(const ListHash& storedHash);
  bool takeSectionId(uint32_t* id);
  void showRunningStatus();

  // Questions (backup_engine_questions.cc).
  Answer askUnreadableFile(const WalkEntry& entry);
  Answer askNameTooLong(const WalkEntry& entry);
  Answer askUnopenableFolder(const WalkEntry& entry);
  void exclude(const std::string& path, uint32_t cause);

  BackupEngineOptions options_;
  std::atomic<uint8_t>* cancel_;
  CopyStatistics stats_;
  std::vector<std::string> excluded_;
  uint32_t totalFiles_;

  FileList newList_;
  FileList previousList_;
  PreviousCopyIndex previousIndex_;
  bool hasPrevious_ = false;
  uint32_t previousNextId_ = 0;  // ids below it were given out before the previous copy
  ListWalkSink sink_;
  BackupProgress progress_;
  BackupWalk walk_;

  std::unique_ptr<CurrentFile> current_;
  uint32_t nextSectionId_ = 1;
  RestartState restart_;
  uint32_t statusThreshold_ = 0;
  bool resuming_ = false;
  bool restarting_ = false;
  bool firstCall_ = true;
  bool finished_ = false;
  uint32_t lastRestartSave_ = 0;
  bool skipUnreadable_ = false;
  bool skipTooLong_ = false;

  std::function<bool()> barrier_;
  std::function<void(const std::string&)> betweenPasses_;
};

}  // namespace vl
