// The backup engine's finishing results and the new copy's list payload.
#include "engine/backup_engine.h"
#include "model/list_payload.h"
#include "model/reuse_index.h"

namespace vl {
namespace {

// Section ids, each kept once, in the order they were first met.
class SectionIdSet {
 public:
  // True when `id` was not in the set yet.
  bool insert(uint32_t id) {
    if (seen_.find(id)) return false;
    seen_.insert(id, id);
    return true;
  }
  bool contains(uint32_t id) const { return seen_.find(id).has_value(); }
  void insertAll(const FileList& list) {
    for (const FileListEntry& entry : list.entries()) {
      for (const ListSection& section : entry.sections) insert(section.number);
    }
  }

 private:
  ReuseIndex seen_;
};

// A u32 count followed by the ids.
class IdBuffer {
 public:
  IdBuffer() { buffer_.appendU32(0); }
  void add(uint32_t id) {
    buffer_.appendU32(id);
    ++count_;
  }
  ByteBuffer take() {
    buffer_[0] = static_cast<uint8_t>(count_);
    buffer_[1] = static_cast<uint8_t>(count_ >> 8);
    buffer_[2] = static_cast<uint8_t>(count_ >> 16);
    buffer_[3] = static_cast<uint8_t>(count_ >> 24);
    return std::move(buffer_);
  }

 private:
  ByteBuffer buffer_;
  uint32_t count_ = 0;
};

}  // namespace

ByteBuffer BackupEngine::unusedPreviousSections() const {
  IdBuffer result;
  if (hasPrevious_) {
    SectionIdSet used;
    used.insertAll(newList_);
    SectionIdSet met;
    for (const FileListEntry& entry : previousList_.entries()) {
      for (const ListSection& section : entry.sections) {
        if (met.insert(section.number) && !used.contains(section.number)) result.add(section.number);
      }
    }
  }
  return result.take();
}

ByteBuffer BackupEngine::usedSections() const {
  IdBuffer result;
  SectionIdSet met;
  for (const FileListEntry& entry : newList_.entries()) {
    for (const ListSection& section : entry.sections) {
      if (met.insert(section.number)) result.add(section.number);
    }
  }
  return result.take();
}

ByteBuffer BackupEngine::orphanedRestartSections() const {
  // A record of the interrupted attempt may hold sections it reused from the
  // previous copy, or that this run reached through another record; those
  // are still needed and must not be dropped with the record.
  SectionIdSet kept;
  kept.insertAll(newList_);
  if (hasPrevious_) kept.insertAll(previousList_);
  IdBuffer result;
  for (uint32_t i = 0; i < restart_.size(); ++i) {
    const RestartRecord& record = restart_.record(i);
    if (record.used) continue;
    for (const ListSection& section : record.sections) {
      if (!kept.contains(section.number)) result.add(section.number);
    }
  }
  return result.take();
}

ByteBuffer BackupEngine::newFileList() const { return serializeList(newList_, 1); }

void BackupEngine::releaseAfterFinishing() {
  hasPrevious_ = false;
  previousList_ = FileList();
  previousIndex_.build(previousList_);
  restart_.clear();
  runSections_.clear();
}

}  // namespace vl
