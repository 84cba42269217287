// SectionSealer: seals sections and puts them into a copy store on worker
// threads, so that sealing (compression, encryption, the wrapped secret) runs
// beside the backup engine's reading and hashing instead of after it.
//
// Sections are queued in the order the engine gives them; a bounded queue
// keeps the engine at most a few sections ahead. `drain` waits until every
// queued section is in the store and on disk: the backup calls it before
// each write of its restart state, so that the state never names a section
// that is not stored yet, and before the copy is committed. Between those
// points sections are stored without waiting for the disk one by one.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "engine/copy_statistics.h"
#include "server/store/copy_store.h"

namespace vltool {

class SectionSealer {
 public:
  // `workers` threads (at least 1). All pointers must outlive the sealer;
  // the key and the pool are used from every worker at once.
  SectionSealer(vl::CopyStore* store, std::span<const uint8_t> localKey,
                const vl::RsaKey* encryptionKey, bool compress, vl::RandomPool* pool,
                unsigned workers);
  SectionSealer(const SectionSealer&) = delete;
  SectionSealer& operator=(const SectionSealer&) = delete;
  // Stops the workers; sections still queued are dropped.
  ~SectionSealer();

  // Queues `section` to be stored under `id`; waits while the queue is full.
  // False, queuing nothing, once a section has failed.
  bool submit(uint32_t id, vl::ByteBuffer section);
  // Waits until every queued section is stored and on disk. False when one
  // failed or the disk could not be synced.
  bool drain();
  // The section that failed, UINT32_MAX when syncing failed, or 0.
  uint32_t failedSection() const;
  vl::PipelineStatistics statistics() const;

 private:
  void work();

  vl::CopyStore* store_;
  vl::ByteBuffer localKey_;
  const vl::RsaKey* key_;
  bool compress_;
  vl::RandomPool* pool_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<uint32_t, vl::ByteBuffer>> queue_;
  size_t capacity_;
  size_t busy_ = 0;
  bool stopping_ = false;
  uint32_t failed_ = 0;
  vl::PipelineStatistics stats_;
  std::vector<std::thread> workers_;
};

}  // namespace vltool
