#include "engine/backup_progress.h"

#include "core/copy_progress_file.h"
#include "platform/clock.h"

namespace vl {

BackupProgress::BackupProgress(BackupMainAction* callback, uint32_t total_sections,
                               std::string file)
    : callback_(callback), total_(total_sections), file_(std::move(file)) {}

void BackupProgress::advance(uint32_t sections, uint64_t bytes) {
  done_ += sections;
  bytes_done_ += bytes;
  if (callback_ != nullptr) callback_->advanceProgress(sections, done_, total_, bytes_done_);
  if (!written_ || millisecondClock() - last_write_ms_ >= 1000) writeNow();
}

bool BackupProgress::finish() {
  if (done_ > total_) total_ = done_;
  done_ = total_;
  return writeNow();
}

bool BackupProgress::writeNow() {
  written_ = true;
  last_write_ms_ = millisecondClock();
  CopyProgress progress;
  progress.done = done_;
  progress.total = total_;
  progress.written_at = secondsSince1970();
  return writeCopyProgress(progress, file_);
}

}  // namespace vl
