#include "vltool/section_sealer.h"

#include "model/section_record.h"

namespace vltool {

SectionSealer::SectionSealer(vl::CopyStore* store, std::span<const uint8_t> localKey,
                             const vl::RsaKey* encryptionKey, bool compress, vl::RandomPool* pool,
                             unsigned workers)
    : store_(store),
      localKey_(localKey),
      key_(encryptionKey),
      compress_(compress),
      pool_(pool),
      capacity_(4 * (workers == 0 ? 1 : workers)) {
  for (unsigned i = 0; i < (workers == 0 ? 1 : workers); ++i) workers_.emplace_back([this] { work(); });
}

SectionSealer::~SectionSealer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool SectionSealer::submit(uint32_t id, vl::ByteBuffer section) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queue_.size() < capacity_ || failed_ != 0; });
  if (failed_ != 0) return false;
  queue_.emplace_back(id, std::move(section));
  changed_.notify_all();
  return true;
}

bool SectionSealer::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return (queue_.empty() && busy_ == 0) || failed_ != 0; });
  if (failed_ != 0) return false;
  // Sections are written without waiting for the disk, one by one; they are
  // made durable together here, before anything names them.
  if (!store_->syncSections()) failed_ = UINT32_MAX;
  return failed_ == 0;
}

uint32_t SectionSealer::failedSection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

vl::PipelineStatistics SectionSealer::statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

void SectionSealer::work() {
  for (;;) {
    std::pair<uint32_t, vl::ByteBuffer> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      ++busy_;
    }
    changed_.notify_all();
    vl::SectionStats sealed;
    vl::ByteBuffer record =
        vl::sealSection(job.second.span(), localKey_.span(), *key_, compress_, *pool_, &sealed);
    job.second.clear();
    const bool stored = !record.empty() && store_->putSectionUnsynced(job.first, record);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
      if (!stored && failed_ == 0) failed_ = job.first;
      if (stored) vl::countSealedSection(stats_, sealed);
    }
    changed_.notify_all();
  }
}

}  // namespace vltool
