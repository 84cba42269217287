// SectionFeed: the backup engine's sections, sealed and ready to send.
//
// The backup exchange sends one section and then waits for the server's
// receipt before it sends the next. The feed uses that wait: as soon as a
// section has gone out, `prepare` starts the next step of the engine
// (reading, hashing, compressing, sealing) on a worker thread, so that when
// the receipt arrives the next section is ready, or nearly.
//
// The engine's restart state may name only sections the server holds. Its
// restart-save barrier is the feed's: the worker waits there until every
// section it has given out is acknowledged (`acknowledged`), and gives up
// when the feed is stopped. Without a worker (`background` false) each step
// runs in `take` on the caller's thread; the results are the same.
//
// prepare, take, acknowledged and stop are called from one thread (the one
// that runs the exchange); the engine and its callbacks run on the worker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "engine/backup_engine.h"
#include "engine/copy_statistics.h"

namespace vl {

struct PreparedSection {
  enum class Kind {
    kSection,     // `record` is to be stored under `id`
    kFinished,    // every file has been handled
    kStopped,     // the engine stopped (cancel or error); `path` names where
    kSealFailed,  // the section could not be sealed
  };
  Kind kind = Kind::kStopped;
  uint32_t id = 0;
  ByteBuffer record;
  std::string path;
};

class SectionFeed {
 public:
  // All pointers must outlive the feed. The engine must have its previous
  // copy and restart state before the first step.
  SectionFeed(BackupEngine* engine, std::span<const uint8_t> localKey, const RsaKey* encryptionKey,
              bool compress, RandomPool* pool, bool background);
  SectionFeed(const SectionFeed&) = delete;
  SectionFeed& operator=(const SectionFeed&) = delete;
  // Stops and joins the worker.
  ~SectionFeed();

  // Starts the next step (on the worker); a step already started or
  // prepared is left alone.
  void prepare();
  // The step started by prepare (starting it first when none was), once it
  // is done. After kFinished, kStopped or kSealFailed nothing more comes.
  PreparedSection take();
  // The server holds the oldest section given out and not yet acknowledged.
  void acknowledged();
  // Whether every section given out is acknowledged.
  bool allStored() const;
  // Whether the engine has been asked for a step.
  bool started() const;
  // Ends the feed: a step waiting at the barrier gives up, a running one is
  // waited for. Further takes give kStopped.
  void stop();

  PipelineStatistics statistics() const;

 private:
  enum class Step { kIdle, kRunning, kReady };

  void work();
  PreparedSection runStep();
  bool barrier();

  BackupEngine* engine_;
  ByteBuffer localKey_;
  const RsaKey* key_;
  bool compress_;
  RandomPool* pool_;
  bool background_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Step step_ = Step::kIdle;
  PreparedSection ready_;
  uint64_t givenOut_ = 0;
  uint64_t acknowledged_ = 0;
  bool started_ = false;
  bool stopping_ = false;
  bool ended_ = false;  // a step ended the feed
  PipelineStatistics stats_;
  std::thread worker_;
};

}  // namespace vl
