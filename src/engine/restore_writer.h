// RestoreWriter: rebuilds the folders and files of one stored copy under a
// restore folder, from the copy's file list and the plain data of its
// sections.
//
// A restore makes two passes over the list. The request pass
// (nextSectionToRequest) names each distinct section once, in list order,
// and counts how often each is used; whoever fetches the records keeps them
// here with storeSection. The writing pass alternates nextEntry, which
// walks the list until a file needs data, and
// writeSection, which appends the next section of that file; the caller gets
// each record back with loadSection, opens it, and drops it after its last
// use (pendingSections tells which use is the last).
//
// The writing pass first creates every folder of the list (in list order),
// then the files in list order. Files are created new (an existing name
// fails the restore, as does an existing folder), filled section by section
// and checked against their content hash as soon as their last byte is
// written; a file gets its stored times and attributes only once it has
// passed, and one that fails is deleted. Folders get their stored times and
// attributes at their closing entry, except the top-level folders. Every
// name is checked before anything is created, so nothing is ever written
// outside the restore folder. Other than a file that failed its check, what
// was written before a failure stays on the disk; only the temporary folder
// is cleaned up.
//
// All members run on one thread, except loadSection (see there).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "crypto/sha256.h"
#include "engine/restore_writer_temp.h"
#include "model/file_list.h"
#include "model/reuse_index.h"
#include "platform/file.h"
#include "platform/folder_handle.h"
#include "ui/restore_main_action.h"

namespace vl {

enum class RequestResult : uint8_t {
  kSection,       // a section to fetch and store
  kAllRequested,  // every section is named; the writing pass may begin
  kFailed,
  kCancelled,
};

enum class EntryResult : uint8_t {
  kWaitingForData,  // a file is open; hand its sections to writeSection
  kFinished,        // the list is exhausted: the restore is complete
  kFailed,
  kCancelled,
};

// Why a restore stopped; message() gives the text for the user.
enum class RestoreFault : uint8_t {
  kNone,
  kListUnreadable,     // the list payload cannot be parsed
  kPathTooLong,        // restore folder + a name exceeds kMaxRestorePath
  kUnsafeName,         // a name would leave the restore folder or cannot be written here
  kTargetUnusable,     // the restore folder cannot be opened
  kFolderCreate,       // a folder cannot be created (it may exist already)
  kFolderMetadata,     // a folder's times or attributes cannot be set
  kFileCreate,         // a file exists already or cannot be created
  kFileMetadata,       // a file's times cannot be set
  kWriteError,         // a write or close did not complete
  kHashMismatch,       // a finished file differs from its content hash
  kSectionNumberZero,  // the list names section 0, which never exists
  kTempFolder,         // the temporary folder cannot be made
  kTempStore,          // a record cannot be kept in the temporary folder
  kTempDrop,           // a kept record cannot be deleted
  kInternal,           // a call the current state does not allow, or lost bookkeeping
  kCancelled,          // "cf.bin" asked the restore to stop
};

// A message in both languages, Swedish first, as every report carries it.
struct RestoreMessage {
  std::string swedish;
  std::string english;
};

// One use of a section by the file being filled.
struct PendingSection {
  uint32_t number = 0;
  // No later place in the copy uses this section: its record may go.
  bool lastUse = false;
};

struct RestoreWriterOptions {
  // Where the temporary folder, "cf.bin" and "progr.bin" live.
  std::string workingDirectory = ".";
  // Told the totals, and the progress after each section and file; may be null.
  RestoreMainAction* progress = nullptr;
  // A cancel request from this process (1 = stop), looked at before every
  // section and entry besides "cf.bin"; may be null. Must outlive the writer.
  const std::atomic<uint8_t>* cancelByte = nullptr;
};

class RestoreWriter {
 public:
  // Restore folder path plus entry name, in UTF-16 units, may not exceed this.
  static constexpr uint32_t kMaxRestorePath = 260;
  // Open folder handles kept for the folders being filled; deeper ones (only
  // in a list that does not nest its folders) are reopened when needed.
  static constexpr size_t kMaxOpenFolders = 200;

  // `pool` names the temporary folder; it must outlive the writer.
  explicit RestoreWriter(RandomPool& pool, RestoreWriterOptions options = {});
  RestoreWriter(const RestoreWriter&) = delete;
  RestoreWriter& operator=(const RestoreWriter&) = delete;
  // Closes open handles and removes the temporary folder with what remains.
  ~RestoreWriter();

  // Parses `payload`, checks every name against `targetPath` (a folder that
  // exists; UTF-8), counts the planned files and sections, reports them and
  // writes "progr.bin". False when the list cannot be read, a name is unsafe
  // or too long (pathTooLong() then tells), or the folder cannot be opened.
  // With `restoreMetadata` clear, files get normal attributes and the
  // current times and folders are left as created.
  bool startRestore(std::span<const uint8_t> payload, const std::string& targetPath,
                    bool restoreMetadata);
  bool pathTooLong() const { return fault_ == RestoreFault::kPathTooLong; }

  // The temporary folder for fetched records. createTempFolder is true at
  // once when it exists; removeTempFolder deletes every record still kept,
  // then the folder, and is true when nothing remains.
  bool createTempFolder();
  bool removeTempFolder();
  bool tempFolderExists() const { return temp_.exists(); }
  const std::string& tempFolderPath() const { return temp_.path(); }
  // Deletes every record still kept, leaving the folder; true when none remains.
  bool dropAllSections() { return temp_.sweep(); }
  // Keeps the record of `number` exactly as received.
  bool storeSection(uint32_t number, std::span<const uint8_t> record);
  // The record kept for `number`, or nothing. May run on several threads at
  // once while the writer's own thread is inside writeSection, nextEntry or
  // dropSection of another number, or waits.
  std::optional<ByteBuffer> loadSection(uint32_t number) const;
  // Deletes the record of `number`; sets kTempDrop when that fails.
  bool dropSection(uint32_t number);

  // The request pass. Gives (in `number`) each distinct section once, in
  // list order, until every one is named; then the writing pass is set up:
  // counters back to 0, cursor at the first entry.
  RequestResult nextSectionToRequest(uint32_t* number);

  // The writing pass: the first call creates every folder; then files are
  // created in list order until one needs section data, the list ends, or
  // a step fails.
  EntryResult nextEntry();
  // The sections the open file still needs, in file order. Empty when no
  // file waits for data.
  std::span<const PendingSection> pendingSections() const {
    return {pending_.data() + pending_head_, pending_.size() - pending_head_};
  }
  // Appends the plain data of the first pending section to the open file.
  // `plainDigest`, when given, is SHA-256 of `plain` computed by the caller;
  // it spares hashing a file that is this one section. A section of zeros
  // is not written but passed over, leaving a hole where the file system
  // keeps them. After the last
  // section the file is closed (with its times when asked) and checked
  // against its content hash. False on a cancel, a write error, a mismatch
  // or a call with nothing pending; fault() tells which.
  bool writeSection(std::span<const uint8_t> plain, const uint8_t* plainDigest = nullptr);

  // Reports sections and bytes and rewrites "progr.bin"; the caller decides
  // how often (at most once a second is plenty).
  void saveProgress();

  const FileList& list() const { return list_; }
  RestoreMainAction* progressObject() const { return options_.progress; }
  RestoreFault fault() const { return fault_; }
  // The text of the fault; empty while there is none.
  const RestoreMessage& message() const { return message_; }
  // What the fault's text leaves unsaid, for people who look into it (empty
  // where the text says it all), in English.
  std::string_view faultReason() const;
  // The listed name of the file being filled, or of the entry that failed.
  std::u16string_view currentName() const;

  uint32_t plannedFiles() const { return planned_files_; }
  uint32_t plannedSections() const { return planned_sections_; }
  uint32_t filesDone() const { return files_done_; }
  uint32_t sectionsDone() const { return sections_done_; }
  uint64_t bytesWritten() const { return bytes_written_; }

 private:
  enum class Phase : uint8_t { kIdle, kPlanned, kRequesting, kWriting, kFinished, kFailed, kCancelled };

  struct OpenFolder {
    FolderHandle handle;
    std::string path;  // relative to the restore folder, '/' separated
  };

  bool pollCancel();
  bool fail(RestoreFault fault, RestoreMessage message);
  void startWritingPass();

  // The first step of the writing pass: creates every folder of the list,
  // in list order, before any file. The tree comes out the same; but a file
  // system that skips recently freed inodes (ext4 without a journal) hands
  // out inodes for 100 000 files several times faster right after a large
  // deletion when the folders, and with them the files, are spread over its
  // block groups first. False, with the fault set, when a folder cannot be
  // created (as beginFolder would have failed) or on a cancel.
  bool makeAllFolders();
  // Opens the folder `path` (relative), creating it first when `create`,
  // and keeps it open for the entries inside it while there is room.
  bool enterFolder(const std::string& path, bool create);
  // Closes the folder `path` and any opened inside it.
  void forgetFolder(const std::string& path);

  // Steps of nextEntry; false on failure.
  bool beginFolder(const FileListEntry& entry, const std::string& path);
  bool endFolder(const FileListEntry& entry, const std::string& path);
  bool beginFile(const FileListEntry& entry, const std::string& path);
  // Checks `digest` against the open file's content hash; on a match
  // closes the file with its times and attributes, otherwise removes it.
  bool finishFile(const uint8_t digest[Sha256::kDigestSize]);
  // Closes and deletes the file being filled.
  void removeCurrentFile();

  // The open folder `path` (relative; empty is the restore folder), or null
  // when it cannot be opened. A folder not kept open is opened into `*spare`.
  const FolderHandle* folderHandle(const std::string& path, FolderHandle* spare);
  void closeFolders();
  void reportProgress();

  RandomPool& pool_;
  RestoreWriterOptions options_;
  SectionTempFolder temp_;
  Phase phase_ = Phase::kIdle;
  RestoreFault fault_ = RestoreFault::kNone;
  RestoreMessage message_;

  FileList list_;
  bool restore_metadata_ = false;
  FolderHandle target_;
  std::vector<OpenFolder> folders_;
  int32_t folder_depth_ = 0;
  uint32_t cursor_ = 0;           // next entry of the current pass
  uint32_t request_section_ = 0;  // next section of entry cursor_ in the request pass
  uint32_t current_entry_ = 0;    // entry being filled or that failed
  bool folders_made_ = false;     // makeAllFolders has run
  bool has_current_ = false;

  uint32_t planned_files_ = 0;
  uint32_t planned_sections_ = 0;
  uint32_t files_done_ = 0;
  uint32_t sections_done_ = 0;
  uint64_t bytes_written_ = 0;

  ReuseIndex section_slots_{ReuseIndex::kDefaultBuckets};
  std::vector<uint32_t> slot_uses_;

  File file_;
  std::string current_path_;  // of the open file, relative to the restore folder
  Sha256 file_hash_;
  uint64_t file_length_ = 0;  // bytes of the open file written or passed over
  bool ends_in_hole_ = false;  // its last section was passed over
  std::vector<PendingSection> pending_;
  size_t pending_head_ = 0;

  uint32_t last_cancel_poll_ = 0;
  bool cancel_polled_ = false;
};

}  // namespace vl
