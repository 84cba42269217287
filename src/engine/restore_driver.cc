#include "engine/restore_driver.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "crypto/sha256.h"
#include "model/section_record.h"
#include "model/utf16.h"
#include "platform/clock.h"

namespace vl {
namespace {

constexpr uint32_t kProgressSaveMilliseconds = 1000;

// Gives the record of a section for the writing pass; runs on the workers.
using SectionLoader = std::function<std::optional<ByteBuffer>(uint32_t number)>;

// Where the writing pass finds the records: the temporary folder that the
// request pass filled (records dropped after their last use), or a shelf
// (records read in place and left there).
struct RecordSource {
  const SectionFetcher* fetch = nullptr;
  const SectionShelf* shelf = nullptr;
};

// One use of a section in writing order, and what the workers made of it.
struct OpenedSection {
  enum class Failure : uint8_t { kNone, kLoad, kOpen };

  explicit OpenedSection(std::atomic<size_t>* held) : held(held) { *held += charged; }
  ~OpenedSection() { *held -= charged; }
  OpenedSection(const OpenedSection&) = delete;
  OpenedSection& operator=(const OpenedSection&) = delete;

  // Counts what the section holds from now on, in place of what it was
  // charged so far.
  void charge(size_t bytes) {
    *held += bytes;
    *held -= charged;
    charged = bytes;
  }

  // Until it is opened, a section counts as much as its record and plain
  // data may take together; then what it holds.
  static constexpr size_t kUnopenedBytes = 2 * size_t{kMaxSectionSize};
  std::atomic<size_t>* const held;
  size_t charged = kUnopenedBytes;

  uint32_t number = 0;
  // Its place in writing order among the distinct openings.
  uint64_t order = 0;
  // The use is a file that is this one section: its digest is the file's.
  bool wantDigest = false;
  // Between the two steps of opening: the record and what unwrapping gave.
  ByteBuffer record;
  ByteBuffer unwrapped;
  // Set (under the openers' mutex) once the fields below are final.
  bool done = false;
  Failure failure = Failure::kNone;
  ByteBuffer plain;
  bool hasDigest = false;
  uint8_t digest[Sha256::kDigestSize] = {};
};

// The section uses of a list in the order the writer consumes them: file
// entries in list order, each file's sections in file order.
class SectionUses {
 public:
  explicit SectionUses(const FileList& list) : list_(list) {}

  bool next(uint32_t* number, bool* wholeFile) {
    while (entry_ < list_.entryCount()) {
      const FileListEntry& entry = list_.entry(entry_);
      if (entry.isFile() && section_ < entry.sections.size()) {
        *number = entry.sections[section_++].number;
        *wholeFile = entry.sections.size() == 1;
        return true;
      }
      ++entry_;
      section_ = 0;
    }
    return false;
  }

 private:
  const FileList& list_;
  uint32_t entry_ = 0;
  size_t section_ = 0;
};

// Worker threads that load and open the records of coming section uses,
// a bounded window ahead of the writer.
//
// Opening has two steps. Workers take up to batch_ queued sections at once
// (with fewer queued they wait, unless the writer waits for one of them),
// load their records and unwrap them together; the unwrapped sections are
// then finished one by one by whichever worker is free, the one nearest the
// writer first. Finishing goes before taking a new batch, so a batch of
// large sections is shared out instead of holding the writer up while the
// other worker runs ahead.
//
// The window holds at most window_ uses and, beyond the first, stops
// growing while the sections in it hold kWindowBytes or more (an unopened
// one counted at its largest).
class SectionOpeners {
 public:
  static constexpr size_t kWindowBytes = size_t{64} << 20;

  SectionOpeners(const FileList& list, const SectionLoader& load, const SectionUnsealer& open,
                 unsigned batch, unsigned workers)
      : load_(load),
        open_(open),
        batch_(std::max(1u, batch)),
        uses_(list),
        window_(std::max({4u, 3 * workers, batch_ * (workers + 2)})) {
    for (unsigned i = 0; i < workers; ++i) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // fewer workers; with none, next() opens on the caller's thread
      }
    }
  }

  ~SectionOpeners() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  SectionOpeners(const SectionOpeners&) = delete;
  SectionOpeners& operator=(const SectionOpeners&) = delete;

  // The next use, once opened; null when the list has no more uses.
  std::shared_ptr<const OpenedSection> next() {
    fill();
    if (ahead_.empty()) return nullptr;
    std::shared_ptr<OpenedSection> job = std::move(ahead_.front());
    ahead_.pop_front();
    if (threads_.empty()) {
      if (!job->done) {
        OpenedSection* one[] = {job.get()};
        unwrap(one);
        if (job->failure == OpenedSection::Failure::kNone) finish(*job);
      }
      job->done = true;
    } else {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!job->done) {
        writer_waiting_ = true;
        work_ready_.notify_all();
        job_done_.wait(lock);
        writer_waiting_ = false;
        // Whatever step ended may have left room in the window: queue the
        // coming sections now rather than after this one is done.
        lock.unlock();
        fill();
        lock.lock();
      }
    }
    last_ = job;
    fill();
    return job;
  }

 private:
  // Tops the window up with the coming uses. A use of a section that is
  // already in the window (or was just written) shares that opening.
  void fill() {
    bool queued = false;
    while (ahead_.size() < window_ && (ahead_.empty() || held_.load() < kWindowBytes)) {
      uint32_t number = 0;
      bool wholeFile = false;
      if (!uses_.next(&number, &wholeFile)) break;
      std::shared_ptr<OpenedSection> same;
      if (last_ != nullptr && last_->number == number) same = last_;
      for (const auto& job : ahead_) {
        if (job->number == number) same = job;
      }
      if (same != nullptr) {
        ahead_.push_back(std::move(same));
        continue;
      }
      auto job = std::make_shared<OpenedSection>(&held_);
      job->number = number;
      job->order = next_order_++;
      job->wantDigest = wholeFile;
      ahead_.push_back(job);
      if (!threads_.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
        queued = true;
      }
    }
    if (queued) work_ready_.notify_all();
  }

  void work() {
    std::vector<std::shared_ptr<OpenedSection>> taken;
    std::vector<OpenedSection*> jobs;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      work_ready_.wait(lock, [&] {
        return stopping_ || !unwrapped_.empty() || queue_.size() >= batch_ ||
               (writer_waiting_ && !queue_.empty());
      });
      if (stopping_) return;
      if (!unwrapped_.empty()) {
        taken.push_back(std::move(unwrapped_.front()));
        unwrapped_.pop_front();
        lock.unlock();
        finish(*taken.front());
        lock.lock();
        taken.front()->done = true;
        job_done_.notify_all();
      } else {
        while (!queue_.empty() && taken.size() < batch_) {
          taken.push_back(std::move(queue_.front()));
          queue_.pop_front();
        }
        lock.unlock();
        jobs.clear();
        for (const auto& job : taken) jobs.push_back(job.get());
        unwrap(jobs);
        lock.lock();
        bool failed = false;
        for (auto& job : taken) {
          if (job->failure != OpenedSection::Failure::kNone) {
            job->done = failed = true;
          } else {
            toFinish(std::move(job));
          }
        }
        if (failed) job_done_.notify_all();
        work_ready_.notify_all();  // the other workers may help finish
      }
      lock.unlock();
      taken.clear();  // may free sections the writer is done with
      lock.lock();
    }
  }

  // Puts an unwrapped section among those waiting to be finished, in
  // writing order. Runs under the mutex.
  void toFinish(std::shared_ptr<OpenedSection> job) {
    auto place = std::upper_bound(unwrapped_.begin(), unwrapped_.end(), job->order,
                                  [](uint64_t order, const std::shared_ptr<OpenedSection>& other) {
                                    return order < other->order;
                                  });
    unwrapped_.insert(place, std::move(job));
  }

  // The first step for `jobs`: loads their records and unwraps them with
  // one call. A job that fails gets its failure and is done with.
  void unwrap(std::span<OpenedSection* const> jobs) const {
    std::vector<std::span<const uint8_t>> loaded;
    std::vector<OpenedSection*> unwrapping;
    for (OpenedSection* job : jobs) {
      std::optional<ByteBuffer> record = load_(job->number);
      if (!record) {
        job->failure = OpenedSection::Failure::kLoad;
        job->charge(0);
        continue;
      }
      job->record = std::move(*record);
      loaded.push_back(job->record.span());
      unwrapping.push_back(job);
    }
    if (unwrapping.empty()) return;
    std::vector<std::optional<ByteBuffer>> unwrapped = open_.unwrap(loaded);
    for (size_t i = 0; i < unwrapping.size(); ++i) {
      OpenedSection& job = *unwrapping[i];
      if (i >= unwrapped.size() || !unwrapped[i]) {
        job.failure = OpenedSection::Failure::kOpen;
        job.record = ByteBuffer();
        job.charge(0);
        continue;
      }
      job.unwrapped = std::move(*unwrapped[i]);
    }
  }

  // The second step for one unwrapped job: its plain data, and its digest
  // when it is a whole file.
  void finish(OpenedSection& job) const {
    std::optional<ByteBuffer> plain = open_.finish(job.record, job.unwrapped);
    job.record = ByteBuffer();
    job.unwrapped = ByteBuffer();
    if (!plain) {
      job.failure = OpenedSection::Failure::kOpen;
      job.charge(0);
      return;
    }
    job.plain = std::move(*plain);
    if (job.wantDigest) {
      Sha256 hash;
      hash.update(job.plain);
      hash.final(job.digest);
      job.hasDigest = true;
    }
    job.charge(job.plain.size());
  }

  const SectionLoader& load_;
  const SectionUnsealer& open_;
  const unsigned batch_;
  SectionUses uses_;
  const size_t window_;
  // Bytes counted for the sections alive (see OpenedSection).
  std::atomic<size_t> held_{0};
  // The consumer's side: coming uses in order (a shared opening appears
  // once per use), the use written last, and the order of the next opening.
  std::deque<std::shared_ptr<OpenedSection>> ahead_;
  std::shared_ptr<OpenedSection> last_;
  uint64_t next_order_ = 0;

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable job_done_;
  std::deque<std::shared_ptr<OpenedSection>> queue_;      // not yet taken by a worker
  std::deque<std::shared_ptr<OpenedSection>> unwrapped_;  // waiting to be finished
  bool writer_waiting_ = false;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

std::string displayName(std::u16string_view name) {
  std::optional<std::string> text = utf16ToUtf8(name);
  return text ? *text : std::string("?");
}

RestoreOutcome outcomeOf(const RestoreWriter& writer) {
  RestoreOutcome outcome;
  outcome.end = writer.fault() == RestoreFault::kCancelled ? RestoreEnd::kCancelled
                                                           : RestoreEnd::kFailed;
  outcome.message = writer.message();
  outcome.detail = displayName(writer.currentName());
  const std::string_view reason = writer.faultReason();
  if (!reason.empty()) {
    if (!outcome.detail.empty()) outcome.detail += ": ";
    outcome.detail += reason;
  }
  return outcome;
}

RestoreOutcome failure(std::string swedish, std::string english, std::string detail) {
  RestoreOutcome outcome;
  outcome.end = RestoreEnd::kFailed;
  outcome.message = RestoreMessage{std::move(swedish), std::move(english)};
  outcome.detail = std::move(detail);
  return outcome;
}

std::string sectionDetail(std::u16string_view name, uint32_t number) {
  std::string detail = displayName(name);
  if (!detail.empty()) detail += ", ";
  return detail + "section " + std::to_string(number);
}

unsigned workerCount(unsigned asked) {
  if (asked == 0) asked = std::thread::hardware_concurrency();
  return std::clamp(asked, 1u, kMaxSectionOpeners);
}

}  // namespace

// What a section of the request pass came to.
enum class Requested : uint8_t { kDone, kUnavailable, kWriterFailed };

// The request pass: hands each section the writer names to `take`, until
// every one is named or one of them fails.
static RestoreOutcome requestAllSections(
    RestoreWriter& writer, const std::function<Requested(uint32_t number)>& take) {
  while (true) {
    uint32_t number = 0;
    switch (writer.nextSectionToRequest(&number)) {
      case RequestResult::kAllRequested:
        return RestoreOutcome{};
      case RequestResult::kFailed:
      case RequestResult::kCancelled:
        return outcomeOf(writer);
      case RequestResult::kSection:
        break;
    }
    switch (take(number)) {
      case Requested::kDone:
        break;
      case Requested::kUnavailable:
        return failure("Fel: Kunde inte hämta fildata för kopian.",
                       "Error: Could not fetch the file data of the copy.",
                       sectionDetail(writer.currentName(), number));
      case Requested::kWriterFailed:
        return outcomeOf(writer);
    }
  }
}

RestoreOutcome fetchAllSections(RestoreWriter& writer, const SectionFetcher& fetch) {
  if (!writer.createTempFolder()) return outcomeOf(writer);
  return requestAllSections(writer, [&](uint32_t number) {
    std::optional<ByteBuffer> record = fetch(number);
    if (!record) return Requested::kUnavailable;
    return writer.storeSection(number, record->span()) ? Requested::kDone
                                                       : Requested::kWriterFailed;
  });
}

// The request pass for records on a shelf: every section must be there.
static RestoreOutcome checkAllSections(RestoreWriter& writer, const SectionShelf& shelf) {
  return requestAllSections(writer, [&](uint32_t number) {
    return shelf.holds(number) ? Requested::kDone : Requested::kUnavailable;
  });
}

// The writing pass, with batches of up to `batch` records; records come
// from `load` and, when `dropRecords`, are dropped from the temporary folder
// after their last use.
static RestoreOutcome writeInBatches(RestoreWriter& writer, const SectionLoader& load,
                                     bool dropRecords, const SectionUnsealer& open,
                                     unsigned batch, unsigned workers) {
  SectionOpeners openers(writer.list(), load, open, batch, workerCount(workers));
  uint32_t lastSave = millisecondClock();
  while (true) {
    switch (writer.nextEntry()) {
      case EntryResult::kFinished:
        return RestoreOutcome{};
      case EntryResult::kFailed:
      case EntryResult::kCancelled:
        return outcomeOf(writer);
      case EntryResult::kWaitingForData:
        break;
    }
    while (!writer.pendingSections().empty()) {
      const PendingSection use = writer.pendingSections().front();
      std::shared_ptr<const OpenedSection> opened = openers.next();
      if (opened == nullptr || opened->number != use.number) {
        return failure("Internt fel (10).", "Internal error (10).",
                       sectionDetail(writer.currentName(), use.number));
      }
      if (opened->failure != OpenedSection::Failure::kNone) {
        const bool unreadable = opened->failure == OpenedSection::Failure::kLoad;
        return failure(unreadable ? "Fel: Kunde inte läsa fil-segment."
                                  : "Fel: Kunde inte starta dekryptering.",
                       unreadable ? "Error: When reading file-segment."
                                  : "Error: Could not start decryption.",
                       sectionDetail(writer.currentName(), use.number));
      }
      if (!writer.writeSection(opened->plain.span(),
                               opened->hasDigest ? opened->digest : nullptr)) {
        return outcomeOf(writer);
      }
      if (dropRecords && use.lastUse && !writer.dropSection(use.number)) return outcomeOf(writer);
      uint32_t now = millisecondClock();
      if (now - lastSave >= kProgressSaveMilliseconds) {
        writer.saveProgress();
        lastSave = now;
      }
    }
  }
}

static SectionLoader fromTempFolder(const RestoreWriter& writer) {
  return [&writer](uint32_t number) { return writer.loadSection(number); };
}

// The temporary folder's leftovers at the end of a restore. After a
// finished restore they fail it; after a failure or a cancel they are told
// besides.
static RestoreOutcome removeLeftovers(RestoreWriter& writer, RestoreOutcome outcome) {
  const std::string folder = writer.tempFolderPath();
  const bool swept = writer.dropAllSections();
  const bool removed = writer.removeTempFolder();
  if (swept && removed) return outcome;
  if (outcome.finished()) {
    if (!swept) return failure("Internt fel (8).", "Internal error (8).", folder);
    return failure("Internt fel (9).", "Internal error (9).", folder);
  }
  outcome.leftovers = RestoreMessage{"Fel: Kunde inte radera återställningsmapp.",
                                     "Error: Could not erase restore-folder."};
  outcome.leftoversDetail = folder;
  return outcome;
}

std::string RestoreOutcome::withDetail(std::string_view text) const {
  std::string line(text);
  if (!detail.empty()) line += " (" + detail + ")";
  return line;
}

RestoreOutcome endRestore(RestoreWriter& writer, RestoreOutcome outcome,
                          const RestoreRunOptions& options) {
  outcome = removeLeftovers(writer, std::move(outcome));
  RestoreMainAction* ui = writer.progressObject();
  if (outcome.leftovers) {
    const std::string swedish = outcome.leftovers->swedish + " (" + outcome.leftoversDetail + ")";
    const std::string english = outcome.leftovers->english + " (" + outcome.leftoversDetail + ")";
    if (options.writeLog) logInLanguage(options.log, swedish, english);
    if (ui != nullptr) ui->restoreFailed(swedish, english);
  }
  switch (outcome.end) {
    case RestoreEnd::kFinished:
      writer.saveProgress();
      if (options.writeLog) logRestoreFinished(options.log, writer.filesDone(), writer.bytesWritten());
      if (ui != nullptr) ui->restoreFinished();
      break;
    case RestoreEnd::kFailed: {
      const std::string swedish = outcome.withDetail(outcome.message.swedish);
      const std::string english = outcome.withDetail(outcome.message.english);
      // Internal error 8 has always been logged without its full stop.
      const bool eight = outcome.message.english == "Internal error (8).";
      if (options.writeLog) {
        logInLanguage(options.log, eight ? outcome.withDetail("Internt fel (8)") : swedish, english);
      }
      if (ui != nullptr) ui->restoreFailed(swedish, english);
      break;
    }
    case RestoreEnd::kCancelled:
      if (ui != nullptr) ui->restoreCancelled();
      break;
  }
  return outcome;
}

// A whole restore, with batches of up to `batch` records.
static RestoreOutcome restoreInBatches(RestoreWriter& writer, std::span<const uint8_t> payload,
                                       const std::string& targetPath, const RecordSource& source,
                                       const SectionUnsealer& open,
                                       const RestoreRunOptions& options, unsigned batch) {
  RestoreMainAction* ui = writer.progressObject();
  RestoreOutcome outcome;
  if (!writer.startRestore(payload, targetPath, options.restoreMetadata)) {
    outcome = outcomeOf(writer);
  } else {
    if (ui != nullptr) ui->showStatus("Laddar ner fildata... (1/2)", "Downloading file data... (1/2)");
    outcome = source.shelf != nullptr ? checkAllSections(writer, *source.shelf)
                                      : fetchAllSections(writer, *source.fetch);
    if (outcome.finished()) {
      if (ui != nullptr) {
        ui->showStatus("Återställer filer och mappar... (2/2)",
                       "Restoring files and folders... (2/2)");
      }
      const bool onShelf = source.shelf != nullptr;
      outcome = writeInBatches(writer, onShelf ? source.shelf->read : fromTempFolder(writer),
                               !onShelf, open, batch, options.workers);
    }
  }
  return endRestore(writer, std::move(outcome), options);
}

// Openers that do all their work in one step, as unsealers: a single
// record is opened in the second step, by whichever worker is free; a batch
// in the first, and the second only hands the plain data on.
static SectionUnsealer oneByOne(const SectionOpener& open) {
  SectionUnsealer unsealer;
  unsealer.unwrap = [](std::span<const std::span<const uint8_t>> records) {
    return std::vector<std::optional<ByteBuffer>>(records.size(), ByteBuffer());
  };
  unsealer.finish = [&open](ByteBuffer& record, ByteBuffer&) { return open(record.span()); };
  return unsealer;
}

static SectionUnsealer inOneStep(const SectionBatchOpener& open) {
  SectionUnsealer unsealer;
  unsealer.unwrap = open;
  unsealer.finish = [](ByteBuffer&, ByteBuffer& plain) {
    return std::optional<ByteBuffer>(std::move(plain));
  };
  return unsealer;
}

RestoreOutcome writeAllFiles(RestoreWriter& writer, const SectionOpener& open, unsigned workers) {
  return writeInBatches(writer, fromTempFolder(writer), true, oneByOne(open), 1, workers);
}

RestoreOutcome writeAllFiles(RestoreWriter& writer, const SectionBatchOpener& open,
                             unsigned workers) {
  return writeInBatches(writer, fromTempFolder(writer), true, inOneStep(open), kSectionBatchSize,
                        workers);
}

RestoreOutcome writeAllFiles(RestoreWriter& writer, const SectionUnsealer& open, unsigned workers) {
  return writeInBatches(writer, fromTempFolder(writer), true, open, kSectionBatchSize, workers);
}

RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionFetcher& fetch,
                          const SectionOpener& open, const RestoreRunOptions& options) {
  return restoreInBatches(writer, payload, targetPath, RecordSource{&fetch, nullptr},
                          oneByOne(open), options, 1);
}

RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionFetcher& fetch,
                          const SectionBatchOpener& open, const RestoreRunOptions& options) {
  return restoreInBatches(writer, payload, targetPath, RecordSource{&fetch, nullptr},
                          inOneStep(open), options, kSectionBatchSize);
}

RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionFetcher& fetch,
                          const SectionUnsealer& open, const RestoreRunOptions& options) {
  return restoreInBatches(writer, payload, targetPath, RecordSource{&fetch, nullptr}, open, options,
                          kSectionBatchSize);
}

RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionShelf& shelf,
                          const SectionBatchOpener& open, const RestoreRunOptions& options) {
  return restoreInBatches(writer, payload, targetPath, RecordSource{nullptr, &shelf},
                          inOneStep(open), options, kSectionBatchSize);
}

RestoreOutcome runRestore(RestoreWriter& writer, std::span<const uint8_t> payload,
                          const std::string& targetPath, const SectionShelf& shelf,
                          const SectionUnsealer& open, const RestoreRunOptions& options) {
  return restoreInBatches(writer, payload, targetPath, RecordSource{nullptr, &shelf}, open,
                          options, kSectionBatchSize);
}

}  // namespace vl
