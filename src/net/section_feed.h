// SectionFeed: the backup engine's sections, sealed and ready to send.
//
// The backup exchange sends one section and then waits for the server's
// receipt before it sends the next. The feed works through that wait: once
// the first section is asked for, a worker thread runs the engine's steps
// (reading, hashing, cutting) a few sections ahead of the exchange, and
// sealers (compression, encryption, the wrapped secret) on as many threads
// as the machine has cores, up to four, seal them side by side; `take`
// hands them out in the engine's order.
//
// The engine's restart state may name only sections the server holds. Its
// restart-save barrier is the feed's: the worker waits there until every
// section it has given out is acknowledged (`acknowledged`), sections it
// prepared ahead included, and gives up when the feed is stopped. Without
// workers (`background` false) each step runs in `take` on the caller's
// thread; the results are the same.
//
// prepare, take, acknowledged and stop are called from one thread (the one
// that runs the exchange); the engine and its callbacks run on the worker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

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
  // copy and restart state before the first step. `sealers` threads seal
  // (0: one per core, at most four); the key and the pool are used from
  // all of them at once.
  SectionFeed(BackupEngine* engine, std::span<const uint8_t> localKey, const RsaKey* encryptionKey,
              bool compress, RandomPool* pool, bool background, unsigned sealers = 0);
  SectionFeed(const SectionFeed&) = delete;
  SectionFeed& operator=(const SectionFeed&) = delete;
  // Stops and joins the worker.
  ~SectionFeed();

  // Lets the workers start (they then keep a few sections ready).
  void prepare();
  // The engine's next section, sealed, or the end, once it is ready
  // (starting the workers first when prepare was not called). After
  // kFinished, kStopped or kSealFailed nothing more comes.
  PreparedSection take();
  // The server holds the oldest section given out and not yet acknowledged.
  void acknowledged();
  // Whether every section given out is acknowledged.
  bool allStored() const;
  // Whether the engine has been asked for a step.
  bool started() const;
  // Ends the feed: a step waiting at the barrier gives up, running ones are
  // waited for, sections prepared ahead are dropped. Further takes give
  // kStopped.
  void stop();

  PipelineStatistics statistics() const;

 private:
  // A section on its way through the workers, in the engine's order.
  struct Slot {
    enum class State { kPlain, kSealing, kReady };
    State state = State::kPlain;
    PreparedSection out;
    ByteBuffer plain;
  };

  void produce();
  void sealWork();
  Slot* firstPlain();
  // One step of the engine: kSection with the plain bytes in `*plain`, or
  // the end.
  PreparedSection engineStep(ByteBuffer* plain);
  void seal(const ByteBuffer& plain, PreparedSection* out);
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
  std::deque<Slot> slots_;  // references stay valid while others come and go
  size_t depth_ = 1;        // the most sections prepared ahead
  bool producing_ = false;  // the worker is inside the engine
  size_t sealing_ = 0;      // sealers at work
  bool engineDone_ = false;  // the engine gave its last step
  uint64_t givenOut_ = 0;
  uint64_t acknowledged_ = 0;
  bool started_ = false;
  bool stopping_ = false;
  bool ended_ = false;  // a step ended the feed
  PipelineStatistics stats_;
  std::thread worker_;
  std::vector<std::thread> sealers_;
};

}  // namespace vl
