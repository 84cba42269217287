// SectionStream: one read of a large new file that gives both its sections
// and the hash of its whole content.
//
// A helper thread reads the file to its end in sections of kSectionSize
// bytes (the last one shorter) and feeds each into the content hash before
// handing it over, a few sections ahead of the caller. The caller meanwhile
// hashes the section it holds and decides what to do with it, so the two
// hashes of every byte run on two cores and the file is read once. The
// content hash is always of exactly the bytes handed over: a file that
// changes while it is read is kept as it was read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/byte_buffer.h"
#include "crypto/sha256.h"
#include "engine/backup_engine_reader.h"
#include "platform/file.h"

namespace vl {

class SectionStream {
 public:
  SectionStream() = default;
  SectionStream(const SectionStream&) = delete;
  SectionStream& operator=(const SectionStream&) = delete;
  // Stops the helper thread; sections not taken are wiped.
  ~SectionStream();

  // Opens `path` (a regular file only) and starts reading it. False when it
  // cannot be opened; nothing runs then.
  bool open(const std::string& path);
  // The next section, waiting for it: kSection with `section` filled (never
  // empty), kEnd once every byte up to the end of the file was handed over,
  // kFailed when a read failed (the stream is then of no further use).
  SectionCutter::Cut next(ByteBuffer& section);
  // Whether the next call of `next` gives kEnd: the section last handed
  // over was the file's last one. Waits until the reader knows.
  bool done();
  // After `done`: SHA-256 of every byte handed over.
  ByteBuffer contentHash();
  // Bytes handed over so far.
  uint64_t bytesHandedOver() const { return handed_; }

 private:
  enum class State { kReading, kEnd, kFailed };

  void readAll();
  void stop();

  File file_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ByteBuffer> ready_;
  State state_ = State::kReading;
  bool stopping_ = false;
  Sha256 whole_;  // written by the reader until it leaves kReading
  uint64_t handed_ = 0;
};

}  // namespace vl
