#include "engine/backup_walk.h"

#include <optional>

#include "core/state_files.h"
#include "engine/entry_filter.h"
#include "engine/folder_selection.h"
#include "engine/root_names.h"
#include "model/utf16.h"

namespace vl {
namespace {

// The UTF-16 length of a name, or nothing when the name cannot go into a
// file list as it is: bytes that are not UTF-8, or a backslash, which the
// list would read as a folder boundary.
std::optional<size_t> nameUnits(std::string_view name) {
  if (name.find('\\') != std::string_view::npos) return std::nullopt;
  auto converted = utf8ToUtf16(name);
  if (!converted) return std::nullopt;
  return converted->size();
}

std::string_view lastComponent(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void appendComponent(std::string* path, char separator, std::string_view name) {
  if (path->empty() || path->back() != separator) *path += separator;
  *path += name;
}

void copyInfo(const FileInfo& info, WalkEntry* entry) {
  entry->attributes = info.attributes & kKeptAttributes;
  entry->creation_time = info.creation_time;
  entry->last_access_time = info.last_access_time;
  entry->last_write_time = info.last_write_time;
  entry->size = info.size;
}

}  // namespace

std::vector<WalkRoot> walkRoots(const std::vector<std::string>& selected_paths) {
  std::vector<WalkRoot> roots;
  std::vector<std::string> paths;
  roots.reserve(selected_paths.size());
  paths.reserve(selected_paths.size());
  for (const std::string& selected : selected_paths) {
    std::optional<std::string> normal = normalFolderPath(selected);
    roots.push_back({normal.value_or(selected), std::string(), normal.has_value()});
    paths.push_back(roots.back().full_path);
  }
  std::vector<std::string> names = rootNames(paths);
  for (size_t i = 0; i < roots.size(); ++i) roots[i].root_name = std::move(names[i]);
  return roots;
}

BackupWalk::BackupWalk(std::vector<WalkRoot> roots, const Options& options,
                       std::atomic<uint8_t>* cancel, BackupProgress* progress, WalkSink* sink)
    : roots_(std::move(roots)),
      options_(options),
      cancel_(cancel),
      progress_(progress),
      sink_(sink != nullptr ? sink : &default_sink_) {
  stack_.reserve(32);
}

void BackupWalk::retryPendingFolder() {
  if (pending_.active) pending_.retry = true;
}

bool BackupWalk::cancelled() const { return stopped_for_cancel_; }

bool BackupWalk::stopRequested() {
  if (cancel_ != nullptr && cancel_->load() == 1) {
    stopped_for_cancel_ = true;
    return true;
  }
  const uint32_t now = options_.clock();
  if (cancel_polled_ && now - last_cancel_poll_ms_ < 1000) return false;
  cancel_polled_ = true;
  last_cancel_poll_ms_ = now;
  if (!readCancelRequest(options_.cancel_file)) return false;
  if (cancel_ != nullptr) cancel_->store(1);
  stopped_for_cancel_ = true;
  return true;
}

void BackupWalk::describeFolder(WalkEntry* entry) const {
  *entry = WalkEntry{};
  entry->full_path = full_;
  entry->relative_path = relative_;
  FileInfo info;
  if (readFileInfo(full_, &info)) {
    copyInfo(info, entry);
    entry->size = 0;
  }
}

void BackupWalk::describeEntry(std::string_view name, WalkEntry* entry) {
  const Frame& top = stack_.back();
  // Assigned field by field: the strings keep their room from file to file.
  copyInfo(FileInfo{}, entry);
  entry->full_path.assign(full_, 0, top.full_length);
  appendComponent(&entry->full_path, '/', name);
  relative_.resize(top.relative_length);
  entry->relative_path = relative_;
  appendComponent(&entry->relative_path, '\\', name);
  current_path_ = entry->full_path;
}

bool BackupWalk::push(const std::string& name, size_t full_units) {
  Frame frame;
  frame.full_length = full_.size();
  frame.relative_length = relative_.size();
  frame.full_units = full_units;
  // The folder's own metadata, read through the open folder itself.
  if (readFileInfoAt(folders_.topFd(), ".", false, &frame.info)) {
    if (isHiddenName(name)) frame.info.attributes |= kAttributeHidden;
  }
  stack_.push_back(std::move(frame));
  ++folders_entered_;
  return sink_->folderStarted(relative_);
}

BackupWalk::Open BackupWalk::openRoot(WalkEntry* entry) {
  const WalkRoot& root = roots_[next_root_++];
  full_ = root.full_path;
  while (full_.size() > 1 && full_.back() == '/') full_.pop_back();
  relative_ = root.root_name;
  current_path_ = full_;
  auto units = utf8ToUtf16(full_);
  const size_t full_units = units ? units->size() : full_.size();
  if (!root.usable || !folders_.openFirst(full_)) {
    pending_ = Pending{true, false, true, std::string(), 0};
    describeFolder(entry);
    return Open::kUnreadable;
  }
  return push(std::string(lastComponent(full_)), full_units) ? Open::kOpened : Open::kListRefused;
}

BackupWalk::Open BackupWalk::openChild(const std::string& name, size_t name_units,
                                       WalkEntry* entry) {
  Frame& top = stack_.back();
  full_.resize(top.full_length);
  appendComponent(&full_, '/', name);
  relative_.resize(top.relative_length);
  appendComponent(&relative_, '\\', name);
  current_path_ = full_;
  const size_t full_units = top.full_units + 1 + name_units;
  if (!folders_.enter(name)) {
    pending_ = Pending{true, false, false, name, name_units};
    describeFolder(entry);
    return Open::kUnreadable;
  }
  return push(name, full_units) ? Open::kOpened : Open::kListRefused;
}

bool BackupWalk::popFrame() {
  Frame& top = stack_.back();
  relative_.resize(top.relative_length);
  const bool recorded = sink_->folderEnded(relative_, top.info);
  stack_.pop_back();
  folders_.leave();
  return recorded;
}

WalkStep BackupWalk::next(WalkEntry* entry) {
  for (;;) {
    if (pending_.active) {
      Pending pending = std::move(pending_);
      pending_ = Pending{};
      if (pending.retry) {
        Open opened;
        if (pending.selected_folder) {
          --next_root_;
          opened = openRoot(entry);
        } else {
          opened = openChild(pending.name, pending.name_units, entry);
        }
        if (opened == Open::kListRefused) return WalkStep::kFailed;
        if (opened == Open::kUnreadable) {
          return pending.selected_folder ? WalkStep::kUnreadableSelectedFolder
                                         : WalkStep::kUnreadableSubFolder;
        }
      }
    }

    if (stack_.empty()) {
      if (next_root_ >= roots_.size()) return WalkStep::kFinished;
      const Open opened = openRoot(entry);
      if (opened == Open::kListRefused) return WalkStep::kFailed;
      if (opened == Open::kUnreadable) return WalkStep::kUnreadableSelectedFolder;
      continue;
    }

    if (stopRequested()) return WalkStep::kFailed;

    Frame& top = stack_.back();
    FolderEntry found;
    switch (folders_.next(&found)) {
      case FolderListing::Next::kEnd:
        if (!popFrame()) return WalkStep::kFailed;
        continue;
      case FolderListing::Next::kError:
        full_.resize(top.full_length);
        current_path_ = full_;
        return WalkStep::kFailed;
      case FolderListing::Next::kEntry:
        break;
    }

    const bool hidden = isHiddenName(found.name);
    if (hidden && !options_.include_hidden) continue;
    FileInfo info;
    const EntryClass kind = classifyEntry(folders_.topFd(), found, &info);
    if (kind == EntryClass::kSkip) continue;
    full_.resize(top.full_length);
    const bool in_volume_root = full_ == "/";
    if (!passesEntryFilter(found.name, kind == EntryClass::kFolder, hidden, options_.include_hidden,
                           FilterFor::kBackupWalk, in_volume_root)) {
      continue;
    }
    const std::optional<size_t> units = nameUnits(found.name);
    if (kind == EntryClass::kUncheckable || !units) {
      describeEntry(found.name, entry);
      return WalkStep::kUncheckable;
    }
    if (kind == EntryClass::kFolder) {
      if (top.full_units + 1 + *units >= kMaxFullPathUnits) {
        describeEntry(found.name, entry);
        return WalkStep::kNameTooLong;
      }
      const Open opened = openChild(std::string(found.name), *units, entry);
      if (opened == Open::kListRefused) return WalkStep::kFailed;
      if (opened == Open::kUnreadable) return WalkStep::kUnreadableSubFolder;
      continue;
    }
    if (std::optional<WalkStep> step = fileStep(found.name, *units, info, entry)) return *step;
  }
}

std::optional<WalkStep> BackupWalk::fileStep(std::string_view name, size_t name_units,
                                             const FileInfo& info, WalkEntry* entry) {
  const Frame& top = stack_.back();
  describeEntry(name, entry);
  copyInfo(info, entry);
  ++files_passed_;
  if (top.full_units + 1 + name_units >= kMaxFullPathUnits) return WalkStep::kNameTooLong;
  uint32_t sections = 0;
  if (options_.quick_compare && sink_->reuseUnchanged(*entry, &sections)) {
    ++name_reused_files_;
    if (progress_ != nullptr) progress_->advance(sections, entry->size);
    return std::nullopt;
  }
  return WalkStep::kFile;
}

}  // namespace vl
