#include "engine/restore_writer.h"

#include <cstring>
#include <utility>

#include "core/copy_progress_file.h"
#include "core/state_files.h"
#include "engine/restore_writer_paths.h"
#include "core/zero_bytes.h"
#include "model/list_payload.h"
#include "model/utf16.h"
#include "platform/clock.h"
#include "platform/file_info.h"

namespace vl {
namespace {

constexpr uint32_t kCancelPollMilliseconds = 1000;
// Zero sections shorter than this are written: a small hole saves nothing.
constexpr size_t kMinHole = 64 * 1024;

// SHA-256 of no bytes: what an empty file must hash to.
constexpr uint8_t kEmptyDigest[Sha256::kDigestSize] = {
    0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4, 0xc8, 0x99, 0x6f, 0xb9, 0x24,
    0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b, 0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55};

RestoreMessage messageFor(RestoreFault fault) {
  switch (fault) {
    case RestoreFault::kNone:
      return {};
    case RestoreFault::kListUnreadable:
      return {"Fel: Fillistan för kopian kunde inte läsas.",
              "Error: The file list of the copy could not be read."};
    case RestoreFault::kPathTooLong:
      return {"Fel: Återställ till en mapp med kortare sökväg, max längd för filnamn/sökväg "
              "överskreds.",
              "Error: Restore to a shorter folder path, maximum path length exceded."};
    case RestoreFault::kUnsafeName:
      return {"Fel: Fillistan innehåller ett namn som leder utanför återställningsmappen eller "
              "inte kan skapas här.",
              "Error: The file list holds a name that leads outside the restore folder or cannot "
              "be created here."};
    case RestoreFault::kTargetUnusable:
      return {"Fel: Kunde inte öppna återställningsmappen.",
              "Error: Could not open the restore folder."};
    case RestoreFault::kFolderCreate:
      return {"Fel: Kunde inte skapa mapp för återställning, kontrollera om det redan finns en "
              "mapp med samma namn.",
              "Error: Could not create restore-folder, maby an folder with this name already "
              "exist."};
    case RestoreFault::kFolderMetadata:
    case RestoreFault::kFileMetadata:
    case RestoreFault::kHashMismatch:
      return {"Internt fel (10).", "Internal error (10)."};
    case RestoreFault::kFileCreate:
      return {"Fel: Kunde inte återställa till mapp, kanske finns det redan en mapp med samma namn.",
              "Error: Could not restore to folder, check if restore-folder already exist."};
    case RestoreFault::kWriteError:
      return {"Fel: Kunde inte skriva till fil, kontrollera att det finns tillräckligt med "
              "diskutrymme.",
              "Error: Could not write to file, check that there is sufficient free disc space."};
    case RestoreFault::kSectionNumberZero:
      return {"Fel: Kunde inte återställa till mapp, internt fel.",
              "Error: Could not restore to folder, internal error."};
    case RestoreFault::kTempFolder:
      return {"Fel: Kunde inte skapa återställningsmapp.", "Error: Could not create restore folder."};
    case RestoreFault::kTempStore:
      return {"Fel: Kunde inte skriva data till fil, kontrollera att inte disken är full.",
              "Error: Could not write to file, check if disc space is full."};
    case RestoreFault::kTempDrop:
      return {"Fel: Kunde inte radera temporär fil-data.", "Error: Could not erase temp-file."};
    case RestoreFault::kInternal:
      return {"Internt fel (10).", "Internal error (10)."};
    case RestoreFault::kCancelled:
      return {"Återställningen avbröts.", "The restore was cancelled."};
  }
  return {};
}

// "a/b/c" -> parent "a/b", leaf "c"; a single component has an empty parent.
std::pair<std::string, std::string> splitLeaf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

template <typename Handle>
bool setTimes(Handle& handle, const EntryMetadata& metadata) {
  return handle.setTimes(metadata.creationTime, metadata.lastAccessTime, metadata.lastWriteTime);
}

}  // namespace

RestoreWriter::RestoreWriter(RandomPool& pool, RestoreWriterOptions options)
    : pool_(pool), options_(std::move(options)), temp_(options_.workingDirectory) {}

RestoreWriter::~RestoreWriter() {
  file_.close();
  closeFolders();
  target_.close();
}

std::u16string_view RestoreWriter::currentName() const {
  if (current_entry_ >= list_.entryCount()) return {};
  return list_.entry(current_entry_).name;
}

std::string_view RestoreWriter::faultReason() const {
  switch (fault_) {
    case RestoreFault::kFolderMetadata:
      return "the folder's times or attributes could not be set";
    case RestoreFault::kFileMetadata:
      return "the file's times could not be set";
    case RestoreFault::kFileCreate:
      return "the file could not be created, maybe it exists already";
    case RestoreFault::kHashMismatch:
      return "the restored content does not match its hash, the copy may be damaged";
    case RestoreFault::kInternal:
      return "the restore lost its place in the list";
    default:
      return {};
  }
}

bool RestoreWriter::fail(RestoreFault fault, RestoreMessage message) {
  fault_ = fault;
  message_ = std::move(message);
  phase_ = fault == RestoreFault::kCancelled ? Phase::kCancelled : Phase::kFailed;
  // A file cut short keeps what it got, without its stored times.
  file_.close();
  has_current_ = false;
  pending_.clear();
  pending_head_ = 0;
  closeFolders();
  return false;
}

bool RestoreWriter::pollCancel() {
  if (options_.cancelByte != nullptr && options_.cancelByte->load() == 1) {
    fail(RestoreFault::kCancelled, messageFor(RestoreFault::kCancelled));
    return true;
  }
  uint32_t now = millisecondClock();
  if (cancel_polled_ && now - last_cancel_poll_ < kCancelPollMilliseconds) return false;
  cancel_polled_ = true;
  last_cancel_poll_ = now;
  if (!readCancelRequest(options_.workingDirectory + "/" + kCancelFile)) return false;
  fail(RestoreFault::kCancelled, messageFor(RestoreFault::kCancelled));
  return true;
}

bool RestoreWriter::startRestore(std::span<const uint8_t> payload, const std::string& targetPath,
                                 bool restoreMetadata) {
  if (phase_ != Phase::kIdle) return fail(RestoreFault::kInternal, messageFor(RestoreFault::kInternal));
  std::optional<FileList> parsed = parseList(payload);
  if (!parsed) return fail(RestoreFault::kListUnreadable, messageFor(RestoreFault::kListUnreadable));
  list_ = std::move(*parsed);
  restore_metadata_ = restoreMetadata;

  std::optional<WipedU16String> target16 = utf8ToUtf16(targetPath);
  const size_t targetLength = target16 ? target16->size() : targetPath.size();
  uint64_t sections = 0;
  for (uint32_t i = 0; i < list_.entryCount(); ++i) {
    const FileListEntry& entry = list_.entry(i);
    current_entry_ = i;
    if (targetLength + entry.name.size() > kMaxRestorePath) {
      return fail(RestoreFault::kPathTooLong, messageFor(RestoreFault::kPathTooLong));
    }
    if (!restoreRelativePath(entry.name)) {
      return fail(RestoreFault::kUnsafeName, messageFor(RestoreFault::kUnsafeName));
    }
    if (entry.isFile()) {
      ++planned_files_;
      sections += entry.sections.size();
    }
  }
  current_entry_ = 0;
  planned_sections_ = sections > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sections);

  if (!target_.open(targetPath)) {
    return fail(RestoreFault::kTargetUnusable, messageFor(RestoreFault::kTargetUnusable));
  }
  if (options_.progress != nullptr) options_.progress->setProgressRange(planned_files_, planned_sections_);
  phase_ = Phase::kPlanned;
  cursor_ = 0;
  folder_depth_ = 0;
  saveProgress();
  return true;
}

bool RestoreWriter::createTempFolder() {
  if (temp_.create(pool_)) return true;
  return fail(RestoreFault::kTempFolder, messageFor(RestoreFault::kTempFolder));
}

bool RestoreWriter::removeTempFolder() { return temp_.remove(); }

bool RestoreWriter::storeSection(uint32_t number, std::span<const uint8_t> record) {
  if (temp_.store(number, record)) return true;
  return fail(RestoreFault::kTempStore, messageFor(RestoreFault::kTempStore));
}

std::optional<ByteBuffer> RestoreWriter::loadSection(uint32_t number) const {
  return temp_.load(number);
}

bool RestoreWriter::dropSection(uint32_t number) {
  if (temp_.drop(number)) return true;
  return fail(RestoreFault::kTempDrop, messageFor(RestoreFault::kTempDrop));
}

RequestResult RestoreWriter::nextSectionToRequest(uint32_t* number) {
  if (phase_ == Phase::kPlanned) {
    phase_ = Phase::kRequesting;
    cursor_ = 0;
    request_section_ = 0;
    cancel_polled_ = false;
  }
  if (phase_ == Phase::kCancelled) return RequestResult::kCancelled;
  if (phase_ != Phase::kRequesting) {
    if (phase_ != Phase::kFailed) fail(RestoreFault::kInternal, messageFor(RestoreFault::kInternal));
    return RequestResult::kFailed;
  }
  if (pollCancel()) return RequestResult::kCancelled;

  while (cursor_ < list_.entryCount()) {
    const FileListEntry& entry = list_.entry(cursor_);
    if (entry.isFolder) {
      folder_depth_ += entry.isFolderEnd ? -1 : 1;
      ++cursor_;
      continue;
    }
    if (request_section_ >= entry.sections.size()) {
      ++cursor_;
      request_section_ = 0;
      continue;
    }
    current_entry_ = cursor_;
    const uint32_t section = entry.sections[request_section_++].number;
    if (section == 0) {
      fail(RestoreFault::kSectionNumberZero, messageFor(RestoreFault::kSectionNumberZero));
      return RequestResult::kFailed;
    }
    ++sections_done_;
    reportProgress();
    if (std::optional<uint32_t> slot = section_slots_.find(section)) {
      // Its record, fetched for an earlier use, serves this one too.
      ++slot_uses_[*slot];
      continue;
    }
    if (!section_slots_.insert(section, static_cast<uint32_t>(slot_uses_.size()))) {
      fail(RestoreFault::kInternal, messageFor(RestoreFault::kInternal));
      return RequestResult::kFailed;
    }
    slot_uses_.push_back(1);
    *number = section;
    return RequestResult::kSection;
  }
  startWritingPass();
  return RequestResult::kAllRequested;
}

void RestoreWriter::startWritingPass() {
  phase_ = Phase::kWriting;
  folders_made_ = false;
  cursor_ = 0;
  folder_depth_ = 0;
  files_done_ = 0;
  sections_done_ = 0;
  bytes_written_ = 0;
  cancel_polled_ = false;
}

EntryResult RestoreWriter::nextEntry() {
  if (phase_ == Phase::kFinished) return EntryResult::kFinished;
  if (phase_ == Phase::kCancelled) return EntryResult::kCancelled;
  if (phase_ != Phase::kWriting || has_current_) {
    if (phase_ != Phase::kFailed) fail(RestoreFault::kInternal, messageFor(RestoreFault::kInternal));
    return EntryResult::kFailed;
  }
  if (!folders_made_) {
    if (!makeAllFolders()) return phase_ == Phase::kCancelled ? EntryResult::kCancelled
                                                              : EntryResult::kFailed;
    folders_made_ = true;
  }
  while (true) {
    if (pollCancel()) return EntryResult::kCancelled;
    if (cursor_ >= list_.entryCount()) {
      closeFolders();
      phase_ = Phase::kFinished;
      return EntryResult::kFinished;
    }
    current_entry_ = cursor_++;
    const FileListEntry& entry = list_.entry(current_entry_);
    std::optional<std::string> path = restoreRelativePath(entry.name);
    if (!path) {
      fail(RestoreFault::kUnsafeName, messageFor(RestoreFault::kUnsafeName));
      return EntryResult::kFailed;
    }
    bool ok;
    if (entry.isFolderStart()) {
      ++folder_depth_;
      ok = beginFolder(entry, *path);
    } else if (entry.isFolder) {
      --folder_depth_;
      ok = endFolder(entry, *path);
    } else {
      ok = beginFile(entry, *path);
      if (ok && has_current_) return EntryResult::kWaitingForData;
    }
    if (!ok) return EntryResult::kFailed;
  }
}

const FolderHandle* RestoreWriter::folderHandle(const std::string& path, FolderHandle* spare) {
  if (path.empty()) return &target_;
  for (size_t i = folders_.size(); i-- > 0;) {
    if (folders_[i].path == path) return &folders_[i].handle;
  }
  // Not among the open folders: walk down from the restore folder, never
  // following a symlink, so that nothing planted in the folder can lead out.
  const FolderHandle* at = &target_;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string component = path.substr(start, slash - start);
    FolderHandle next;
    if (!next.openAt(*at, component.c_str())) return nullptr;
    *spare = std::move(next);
    at = spare;
    start = slash + 1;
  }
  return spare;
}

void RestoreWriter::closeFolders() { folders_.clear(); }

bool RestoreWriter::makeAllFolders() {
  for (uint32_t i = 0; i < list_.entryCount(); ++i) {
    if (pollCancel()) return false;
    const FileListEntry& entry = list_.entry(i);
    if (!entry.isFolder) continue;
    current_entry_ = i;
    std::optional<std::string> path = restoreRelativePath(entry.name);
    if (!path) return fail(RestoreFault::kUnsafeName, messageFor(RestoreFault::kUnsafeName));
    if (entry.isFolderEnd) {
      forgetFolder(*path);
    } else if (!enterFolder(*path, true)) {
      return false;
    }
  }
  closeFolders();
  return true;
}

bool RestoreWriter::enterFolder(const std::string& path, bool create) {
  auto [parent, leaf] = splitLeaf(path);
  FolderHandle spare;
  const FolderHandle* parentFolder = folderHandle(parent, &spare);
  FolderHandle folder;
  if (parentFolder != nullptr && (!create || parentFolder->createSubfolder(leaf.c_str()))) {
    folder.openAt(*parentFolder, leaf.c_str());
  }
  spare.close();
  if (!folder.isOpen()) return fail(RestoreFault::kFolderCreate, messageFor(RestoreFault::kFolderCreate));
  if (folders_.size() < kMaxOpenFolders) folders_.push_back(OpenFolder{std::move(folder), path});
  return true;
}

void RestoreWriter::forgetFolder(const std::string& path) {
  for (size_t i = folders_.size(); i-- > 0;) {
    if (folders_[i].path != path) continue;
    // Folders opened inside it and never closed by the list go with it.
    folders_.resize(i);
    break;
  }
}

bool RestoreWriter::beginFolder(const FileListEntry&, const std::string& path) {
  // makeAllFolders created it.
  return enterFolder(path, false);
}

bool RestoreWriter::endFolder(const FileListEntry& entry, const std::string& path) {
  bool ok = true;
  // A top-level folder closes with depth 0: its times and attributes are
  // left as they are.
  if (folder_depth_ != 0 && restore_metadata_) {
    FolderHandle spare;
    const FolderHandle* folder = folderHandle(path, &spare);
    ok = folder != nullptr &&
         ((entry.metadata.attributes & kAttributeReadOnly) == 0 || folder->setReadOnly()) &&
         setTimes(*folder, entry.metadata);
  }
  forgetFolder(path);
  if (!ok) return fail(RestoreFault::kFolderMetadata, messageFor(RestoreFault::kFolderMetadata));
  return true;
}

bool RestoreWriter::beginFile(const FileListEntry& entry, const std::string& path) {
  auto [parent, leaf] = splitLeaf(path);
  FolderHandle spare;
  const FolderHandle* parentFolder = folderHandle(parent, &spare);
  // Created writable: the read-only attribute, like the times, goes on only
  // once the content has proved right (finishFile).
  if (parentFolder != nullptr) file_.createNewAt(*parentFolder, leaf.c_str(), FileAccess::kDefault);
  spare.close();
  if (!file_.isOpen()) return fail(RestoreFault::kFileCreate, messageFor(RestoreFault::kFileCreate));

  has_current_ = true;
  current_path_ = path;
  file_hash_.reset();
  file_length_ = 0;
  ends_in_hole_ = false;
  pending_.clear();
  pending_head_ = 0;
  if (entry.sections.empty()) return finishFile(kEmptyDigest);

  pending_.reserve(entry.sections.size());
  for (const ListSection& section : entry.sections) {
    std::optional<uint32_t> slot = section_slots_.find(section.number);
    if (!slot || slot_uses_[*slot] == 0) {
      return fail(RestoreFault::kInternal, messageFor(RestoreFault::kInternal));
    }
    pending_.push_back(PendingSection{section.number, --slot_uses_[*slot] == 0});
  }
  return true;
}

bool RestoreWriter::writeSection(std::span<const uint8_t> plain, const uint8_t* plainDigest) {
  if (phase_ != Phase::kWriting || !has_current_ || pendingSections().empty()) {
    if (phase_ != Phase::kFailed && phase_ != Phase::kCancelled) {
      fail(RestoreFault::kInternal, messageFor(RestoreFault::kInternal));
    }
    return false;
  }
  if (pollCancel()) return false;
  // Zeros are passed over rather than written: a disk image restores as
  // fast as its data, and takes only the room its data needs.
  ends_in_hole_ = plain.size() >= kMinHole && allZero(plain);
  if (ends_in_hole_ ? !file_.skip(plain.size()) : !file_.write(plain.data(), plain.size())) {
    return fail(RestoreFault::kWriteError, messageFor(RestoreFault::kWriteError));
  }
  file_length_ += plain.size();
  const FileListEntry& entry = list_.entry(current_entry_);
  const bool wholeFile = entry.sections.size() == 1 && plainDigest != nullptr;
  if (!wholeFile) file_hash_.update(plain);
  bytes_written_ += plain.size();
  ++sections_done_;
  ++pending_head_;
  reportProgress();
  if (!pendingSections().empty()) return true;

  if (wholeFile) return finishFile(plainDigest);
  uint8_t digest[Sha256::kDigestSize];
  file_hash_.final(digest);
  return finishFile(digest);
}

bool RestoreWriter::finishFile(const uint8_t digest[Sha256::kDigestSize]) {
  const FileListEntry& entry = list_.entry(current_entry_);
  std::span<const uint8_t> expected = entry.contentHash.bytes();
  // An empty file listed without a hash has nothing that could differ; a
  // file with data always needs its hash.
  const bool matches =
      (expected.size() == Sha256::kDigestSize &&
       std::memcmp(expected.data(), digest, Sha256::kDigestSize) == 0) ||
      (expected.empty() && entry.sections.empty());
  if (!matches) {
    // Wrong bytes must not stay behind looking like a finished restore (or
    // block the next restore into the same folder).
    removeCurrentFile();
    return fail(RestoreFault::kHashMismatch, messageFor(RestoreFault::kHashMismatch));
  }
  // Zeros passed over at the end are not part of the file until it is made
  // that long.
  if (ends_in_hole_ && !file_.setLength(file_length_)) {
    removeCurrentFile();
    return fail(RestoreFault::kWriteError, messageFor(RestoreFault::kWriteError));
  }
  // Times go on last: every write before would move the last-write time.
  // Taking write permission away does not.
  if (restore_metadata_) {
    const bool readOnly = (entry.metadata.attributes & kAttributeReadOnly) != 0;
    if (!setTimes(file_, entry.metadata) || (readOnly && !file_.setReadOnly())) {
      return fail(RestoreFault::kFileMetadata, messageFor(RestoreFault::kFileMetadata));
    }
  }
  if (!file_.close()) {
    return fail(RestoreFault::kWriteError, messageFor(RestoreFault::kWriteError));
  }
  has_current_ = false;
  pending_.clear();
  pending_head_ = 0;
  ++files_done_;
  reportProgress();
  return true;
}

void RestoreWriter::removeCurrentFile() {
  file_.close();
  auto [parent, leaf] = splitLeaf(current_path_);
  FolderHandle spare;
  if (const FolderHandle* folder = folderHandle(parent, &spare)) folder->removeFile(leaf.c_str());
}

void RestoreWriter::reportProgress() {
  if (options_.progress != nullptr) {
    options_.progress->setProgress(sections_done_, files_done_, bytes_written_);
  }
}

void RestoreWriter::saveProgress() {
  reportProgress();
  CopyProgress progress;
  progress.done = sections_done_;
  progress.total = planned_sections_;
  progress.written_at = secondsSince1970();
  writeCopyProgress(progress, options_.workingDirectory + "/" + kCopyProgressFile);
}

}  // namespace vl
