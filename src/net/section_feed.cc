#include "net/section_feed.h"

#include <algorithm>
#include <utility>

#include "model/section_record.h"

namespace vl {
namespace {

unsigned sealerCount(unsigned asked) {
  if (asked != 0) return asked;
  return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

}  // namespace

SectionFeed::SectionFeed(BackupEngine* engine, std::span<const uint8_t> localKey,
                         const RsaKey* encryptionKey, bool compress, RandomPool* pool,
                         bool background, unsigned sealers)
    : engine_(engine),
      localKey_(localKey),
      key_(encryptionKey),
      compress_(compress),
      pool_(pool),
      background_(background) {
  engine_->setRestartSaveBarrier([this] { return barrier(); });
  if (!background_) return;
  const unsigned count = sealerCount(sealers);
  // Enough ahead to keep every sealer busy while the exchange waits, and
  // few enough that the plain and sealed bytes held stay small (sections
  // are at most 2 MiB).
  depth_ = count + 2;
  worker_ = std::thread([this] { produce(); });
  for (unsigned i = 0; i < count; ++i) sealers_.emplace_back([this] { sealWork(); });
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

PreparedSection SectionFeed::engineStep(ByteBuffer* plain) {
  PreparedSection out;
  bool finished = false;
  if (!engine_->nextSection(plain, &out.id, &finished, &out.path)) {
    out.kind = PreparedSection::Kind::kStopped;
    return out;
  }
  if (finished) {
    out.kind = PreparedSection::Kind::kFinished;
    return out;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++givenOut_;
  out.kind = PreparedSection::Kind::kSection;
  return out;
}

void SectionFeed::seal(const ByteBuffer& plain, PreparedSection* out) {
  SectionStats sealed;
  out->record = sealSection(plain.span(), localKey_.span(), *key_, compress_, *pool_, &sealed);
  if (out->record.empty()) {
    out->kind = PreparedSection::Kind::kSealFailed;
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  countSealedSection(stats_, sealed);
}

PreparedSection SectionFeed::runStep() {
  ByteBuffer plain;
  PreparedSection out = engineStep(&plain);
  if (out.kind == PreparedSection::Kind::kSection) seal(plain, &out);
  return out;
}

// The worker: the engine's steps, in order, while fewer than depth_
// sections wait to be taken.
void SectionFeed::produce() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return stopping_ || (started_ && !engineDone_ && slots_.size() < depth_);
    });
    if (stopping_) return;
    producing_ = true;
    lock.unlock();
    Slot slot;
    slot.out = engineStep(&slot.plain);
    lock.lock();
    producing_ = false;
    if (slot.out.kind != PreparedSection::Kind::kSection) {
      slot.state = Slot::State::kReady;
      engineDone_ = true;
    }
    slots_.push_back(std::move(slot));
    changed_.notify_all();
  }
}

SectionFeed::Slot* SectionFeed::firstPlain() {
  for (Slot& slot : slots_) {
    if (slot.state == Slot::State::kPlain) return &slot;
  }
  return nullptr;
}

// A sealer: the oldest section not yet taken up by another. Its slot stays
// in place while it works: take pops only ready slots, stop waits for it.
void SectionFeed::sealWork() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Slot* job = nullptr;
    changed_.wait(lock, [this, &job] { return stopping_ || (job = firstPlain()) != nullptr; });
    if (stopping_) return;
    job->state = Slot::State::kSealing;
    ++sealing_;
    lock.unlock();
    seal(job->plain, &job->out);
    job->plain.clear();
    lock.lock();
    job->state = Slot::State::kReady;
    --sealing_;
    changed_.notify_all();
  }
}

void SectionFeed::prepare() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!background_ || ended_ || stopping_) return;
  started_ = true;
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
    changed_.wait(lock, [this] {
      return stopping_ || ended_ ||
             (!slots_.empty() && slots_.front().state == Slot::State::kReady);
    });
    if (stopping_ || ended_) return result;
    result = std::move(slots_.front().out);
    slots_.pop_front();
    changed_.notify_all();
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
    // Running work finishes first: the engine is not to be touched by two
    // threads, and a sealer holds its slot.
    changed_.wait(lock, [this] { return !producing_ && sealing_ == 0; });
    slots_.clear();
  }
  if (worker_.joinable()) worker_.join();
  for (std::thread& sealer : sealers_) {
    if (sealer.joinable()) sealer.join();
  }
}

PipelineStatistics SectionFeed::statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

}  // namespace vl
