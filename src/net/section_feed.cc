#include "net/section_feed.h"

#include <utility>

#include "model/section_record.h"

namespace vl {

SectionFeed::SectionFeed(BackupEngine* engine, std::span<const uint8_t> localKey,
                         const RsaKey* encryptionKey, bool compress, RandomPool* pool,
                         bool background)
    : engine_(engine),
      localKey_(localKey),
      key_(encryptionKey),
      compress_(compress),
      pool_(pool),
      background_(background) {
  engine_->setRestartSaveBarrier([this] { return barrier(); });
  if (background_) worker_ = std::thread([this] { work(); });
}

SectionFeed::~SectionFeed() {
  stop();
  engine_->setRestartSaveBarrier(nullptr);
}

// Restart state may be written once the server holds every section given
// out; a stopped feed answers at once, with whether it does.
bool SectionFeed::barrier() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return acknowledged_ == givenOut_ || stopping_; });
  return acknowledged_ == givenOut_;
}

PreparedSection SectionFeed::runStep() {
  PreparedSection out;
  ByteBuffer plain;
  bool finished = false;
  if (!engine_->nextSection(&plain, &out.id, &finished, &out.path)) {
    out.kind = PreparedSection::Kind::kStopped;
    return out;
  }
  if (finished) {
    out.kind = PreparedSection::Kind::kFinished;
    return out;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++givenOut_;
  }
  SectionStats sealed;
  out.record = sealSection(plain.span(), localKey_.span(), *key_, compress_, *pool_, &sealed);
  plain.clear();
  if (out.record.empty()) {
    out.kind = PreparedSection::Kind::kSealFailed;
    return out;
  }
  out.kind = PreparedSection::Kind::kSection;
  std::lock_guard<std::mutex> lock(mutex_);
  if (sealed.compressed) {
    ++stats_.num_compr_sections;
  } else {
    ++stats_.num_uncompr_sections;
  }
  if (sealed.compressionUseless) ++stats_.num_compr_failed;
  stats_.total_input_size += sealed.plainLength;
  stats_.total_output_size += sealed.storedLength;
  return out;
}

void SectionFeed::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return step_ == Step::kRunning || stopping_; });
    if (stopping_) return;
    lock.unlock();
    PreparedSection result = runStep();
    lock.lock();
    ready_ = std::move(result);
    step_ = Step::kReady;
    changed_.notify_all();
  }
}

void SectionFeed::prepare() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!background_ || ended_ || stopping_ || step_ != Step::kIdle) return;
  started_ = true;
  step_ = Step::kRunning;
  changed_.notify_all();
}

PreparedSection SectionFeed::take() {
  PreparedSection result;
  if (!background_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ended_ || stopping_) return result;
      started_ = true;
    }
    result = runStep();
  } else {
    prepare();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return step_ == Step::kReady || step_ == Step::kIdle; });
    if (step_ == Step::kIdle) return result;  // stopped, or ended before
    result = std::move(ready_);
    step_ = Step::kIdle;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (result.kind != PreparedSection::Kind::kSection) ended_ = true;
  return result;
}

void SectionFeed::acknowledged() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (acknowledged_ < givenOut_) ++acknowledged_;
  changed_.notify_all();
}

bool SectionFeed::allStored() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return acknowledged_ == givenOut_;
}

bool SectionFeed::started() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_;
}

void SectionFeed::stop() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
    // A running step finishes first: the engine is not to be touched by
    // two threads.
    changed_.wait(lock, [this] { return step_ != Step::kRunning; });
    step_ = Step::kIdle;
    ready_ = PreparedSection();
  }
  if (worker_.joinable()) worker_.join();
}

PipelineStatistics SectionFeed::statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

}  // namespace vl
