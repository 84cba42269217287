#include "engine/section_stream.h"

#include <utility>

namespace vl {
namespace {

// Sections read ahead of the caller: enough that either thread can run on
// for a while when the other is not scheduled (on a busy machine a thread
// that has to wait for the other at every section loses a time slice each
// time), few enough that a large file costs only some MiB of memory.
constexpr size_t kSectionsAhead = 8;

}  // namespace

SectionStream::~SectionStream() { stop(); }

void SectionStream::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
  ready_.clear();
  file_.close();
}

bool SectionStream::open(const std::string& path) {
  if (!file_.openRegularForReading(path)) return false;
  reader_ = std::thread([this] { readAll(); });
  return true;
}

void SectionStream::readAll() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || ready_.size() < kSectionsAhead; });
      if (stopping_) return;
    }
    ByteBuffer section(kSectionSize);
    std::optional<size_t> got = file_.read(section.data(), kSectionSize);
    State state = State::kReading;
    if (!got) {
      section.clear();
      state = State::kFailed;
    } else {
      section.resize(*got);
      whole_.update(section.data(), section.size());
      if (*got < kSectionSize) state = State::kEnd;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!section.empty()) ready_.push_back(std::move(section));
      state_ = state;
    }
    changed_.notify_all();
    if (state != State::kReading) return;
  }
}

SectionCutter::Cut SectionStream::next(ByteBuffer& section) {
  section.clear();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!reader_.joinable()) return SectionCutter::Cut::kFailed;
  changed_.wait(lock, [this] { return !ready_.empty() || state_ != State::kReading; });
  if (ready_.empty()) {
    return state_ == State::kEnd ? SectionCutter::Cut::kEnd : SectionCutter::Cut::kFailed;
  }
  section = std::move(ready_.front());
  ready_.pop_front();
  handed_ += section.size();
  lock.unlock();
  changed_.notify_all();
  return SectionCutter::Cut::kSection;
}

bool SectionStream::done() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!reader_.joinable()) return false;
  changed_.wait(lock, [this] { return !ready_.empty() || state_ != State::kReading; });
  return ready_.empty() && state_ == State::kEnd;
}

ByteBuffer SectionStream::contentHash() {
  std::unique_lock<std::mutex> lock(mutex_);
  // The reader no longer touches the hash once it has ended.
  changed_.wait(lock, [this] { return state_ != State::kReading; });
  return whole_.final();
}

}  // namespace vl
