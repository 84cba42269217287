#include "server/storage/packed_backup_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "server/protocol/server_context.h"
#include "server/storage/sqlite_copy_catalog.h"
#include "server/store/copy_store.h"

namespace vl {
namespace {

class PackedAccount final : public AccountBackups {
 public:
  PackedAccount(uint32_t account, CopyStore store, SqliteCopyCatalog* catalog, ServerLog* log)
      : account_(account), store_(std::move(store)), catalog_(*catalog), log_(log) {}

  UploadResult putSection(uint32_t number, std::span<const uint8_t> record,
                          uint64_t reservedBytes) override;
  Lookup getSection(uint32_t number, ByteBuffer* record) override;
  Lookup copyBySelector(uint32_t selector, CopyListing* copy) override;
  CommitResult commitCopy(const NewCopy& copy) override;
  std::optional<std::vector<CopySummary>> archived() override;
  DeleteResult deleteArchived(const std::vector<uint32_t>& copies, uint32_t protectDays,
                              uint32_t now) override;
  bool expire(uint32_t newest, uint32_t protectDays, uint32_t now,
              std::vector<uint32_t>* expired, std::vector<uint32_t>* kept) override;

 private:
  std::optional<std::vector<CopySummary>> archivedLocked();
  // Deletes `copies` from the catalogue, then their records.
  DeleteResult remove(const std::vector<uint32_t>& copies);
  void log(const std::string& line) {
    if (log_) log_->write("account " + std::to_string(account_) + ": " + line);
  }
  // Tidying after a commit: records no copy names any more. One left behind
  // is named by nothing and never served.
  void dropRecords(const std::vector<uint32_t>& numbers);
  // How many of `numbers` the store holds a record of: A and C may name
  // sections an earlier commit deleted already, which the log must not count.
  uint32_t heldRecords(const std::vector<uint32_t>& numbers) const;

  const uint32_t account_;
  CopyStore store_;
  SqliteCopyCatalog& catalog_;
  ServerLog* log_;
  // Serialises uploads and commits: each checks the catalogue, writes the
  // packs and then the catalogue.
  std::mutex mutex_;
};

UploadResult PackedAccount::putSection(uint32_t number, std::span<const uint8_t> record,
                                       uint64_t reservedBytes) {
  std::lock_guard lock(mutex_);
  UploadResult result;
  uint32_t earlier = 0;
  const SectionUse use = catalog_.section(account_, number, &earlier);
  if (use == SectionUse::kFailed) return result;
  uint64_t used = 0;
  if (!catalog_.totals(account_, &used, &result.copyBytes)) return result;
  if (use == SectionUse::kUsed) {
    result.outcome = UploadOutcome::kNumberInUse;
    return result;
  }
  // A section sent again replaces itself, so its earlier bytes do not count.
  const uint64_t after = used - (use == SectionUse::kPending ? earlier : 0) + record.size();
  if (after > reservedBytes) {
    result.outcome = UploadOutcome::kOverQuota;
    return result;
  }
  if (!store_.putSection(number, record) ||
      !catalog_.recordUpload(account_, number, static_cast<uint32_t>(record.size()),
                              &result.copyBytes)) {
    return result;
  }
  result.outcome = UploadOutcome::kStored;
  result.replaced = use == SectionUse::kPending;
  return result;
}

Lookup PackedAccount::getSection(uint32_t number, ByteBuffer* record) {
  const SectionUse use = catalog_.section(account_, number);
  if (use == SectionUse::kFailed) return Lookup::kFailed;
  if (use == SectionUse::kAbsent) return Lookup::kAbsent;
  std::optional<ByteBuffer> stored = store_.getSection(number);
  if (!stored) {
    log("section " + std::to_string(number) + " is catalogued but its record cannot be read");
    return Lookup::kFailed;
  }
  *record = std::move(*stored);
  return Lookup::kFound;
}

Lookup PackedAccount::copyBySelector(uint32_t selector, CopyListing* copy) {
  const std::optional<std::vector<CopySummary>> copies = catalog_.copies(account_);
  if (!copies) return Lookup::kFailed;
  if (selector >= copies->size()) return Lookup::kAbsent;
  const CopySummary& found = (*copies)[selector];
  std::optional<ByteBuffer> list = store_.getList(found.copy);
  if (!list) {
    log("the list record of copy " + std::to_string(found.copy) + " cannot be read");
    return Lookup::kFailed;
  }
  copy->copy = found.copy;
  copy->time = found.clientTime;
  copy->files = found.files;
  copy->size = found.size;
  copy->list = std::move(*list);
  return Lookup::kFound;
}

CommitResult PackedAccount::commitCopy(const NewCopy& copy) {
  std::lock_guard lock(mutex_);
  CommitResult result;
  std::optional<std::vector<uint32_t>> used = readSectionSet(copy.usedSections);
  const std::optional<std::vector<uint32_t>> unused = readSectionSet(copy.unusedSections);
  const std::optional<std::vector<uint32_t>> orphaned = readSectionSet(copy.orphanedSections);
  if (!used || !unused || !orphaned) {
    result.outcome = CommitOutcome::kBadSections;
    return result;
  }
  std::sort(used->begin(), used->end());
  used->erase(std::unique(used->begin(), used->end()), used->end());
  for (uint32_t number : *used) {
    if (!store_.hasSection(number)) {
      result.outcome = CommitOutcome::kMissingSection;
      result.missing = number;
      return result;
    }
  }
  std::vector<uint32_t> released = *unused;
  released.insert(released.end(), orphaned->begin(), orphaned->end());

  const std::optional<uint32_t> number = catalog_.nextCopyNumber(account_);
  if (!number) return result;
  CopyRow row;
  row.summary.copy = *number;
  row.summary.clientTime = copy.time;
  row.summary.receivedAt = copy.receivedAt;
  row.summary.files = copy.files;
  row.summary.size = copy.size;
  row.summary.listBytes = static_cast<uint32_t>(copy.list.size());
  row.summary.copyCount = copy.copyCount;
  row.summary.retentionDays = copy.retentionDays;
  row.sectionCounter = copy.sectionCounter;
  row.unusedSections = copy.unusedSections;
  row.usedSections = copy.usedSections;
  row.orphanedSections = copy.orphanedSections;
  row.sealedLog = copy.sealedLog;
  row.logTag = copy.logTag;
  // The list first: the catalogue names only what can be read.
  if (!store_.putList(*number, copy.list)) return result;
  std::vector<uint32_t> drop;
  switch (catalog_.commit(account_, row, *used, released, &result.missing, &drop)) {
    case CatalogCommit::kStored:
      break;
    case CatalogCommit::kMissingSection:
      store_.dropList(*number);
      result.outcome = CommitOutcome::kMissingSection;
      return result;
    case CatalogCommit::kFailed:
      store_.dropList(*number);
      return result;
  }
  result.dropped = heldRecords(drop);
  dropRecords(drop);
  result.outcome = CommitOutcome::kStored;
  result.copy = *number;
  return result;
}

std::optional<std::vector<CopySummary>> PackedAccount::archived() {
  std::lock_guard lock(mutex_);
  return archivedLocked();
}

std::optional<std::vector<CopySummary>> PackedAccount::archivedLocked() {
  std::optional<std::vector<CopySummary>> copies = catalog_.copies(account_);
  if (!copies) return std::nullopt;
  const uint32_t current = currentCopies(*copies);
  copies->erase(copies->begin(), copies->begin() + std::min<size_t>(current, copies->size()));
  return copies;
}

DeleteResult PackedAccount::deleteArchived(const std::vector<uint32_t>& asked,
                                           uint32_t protectDays, uint32_t now) {
  std::lock_guard lock(mutex_);
  DeleteResult result;
  std::vector<uint32_t> copies = asked;  // a number named twice is deleted once
  std::sort(copies.begin(), copies.end());
  copies.erase(std::unique(copies.begin(), copies.end()), copies.end());
  const std::optional<std::vector<CopySummary>> archived = archivedLocked();
  if (!archived) return result;
  // Every number is judged before anything is deleted: all or nothing.
  for (uint32_t number : copies) {
    const auto found = std::find_if(archived->begin(), archived->end(),
                                    [number](const CopySummary& c) { return c.copy == number; });
    if (found == archived->end()) {
      result.outcome = DeleteOutcome::kNotArchived;
      result.refused = number;
      return result;
    }
    if (isProtected(*found, protectDays, now)) {
      result.outcome = DeleteOutcome::kProtected;
      result.refused = number;
      return result;
    }
  }
  return remove(copies);
}

bool PackedAccount::expire(uint32_t newest, uint32_t protectDays, uint32_t now,
                           std::vector<uint32_t>* expired, std::vector<uint32_t>* kept) {
  constexpr uint64_t kDefaultRetentionDays = 30;
  std::lock_guard lock(mutex_);
  expired->clear();
  kept->clear();
  const std::optional<std::vector<CopySummary>> archived = archivedLocked();
  if (!archived) return false;
  for (const CopySummary& copy : *archived) {
    const uint64_t days = copy.retentionDays != 0 ? copy.retentionDays : kDefaultRetentionDays;
    if (uint64_t{copy.clientTime} + days * 86400 >= newest) continue;
    (isProtected(copy, protectDays, now) ? kept : expired)->push_back(copy.copy);
  }
  if (expired->empty()) return true;
  return remove(*expired).outcome == DeleteOutcome::kDeleted;
}

DeleteResult PackedAccount::remove(const std::vector<uint32_t>& copies) {
  DeleteResult result;
  Release release;
  switch (catalog_.deleteCopies(account_, copies, &release)) {
    case CatalogDelete::kDeleted:
      break;
    case CatalogDelete::kNotStored:
      result.outcome = DeleteOutcome::kNotArchived;
      return result;
    case CatalogDelete::kFailed:
      return result;
  }
  dropRecords(release.dropped);
  bool listsGone = true;
  for (uint32_t copy : copies) listsGone = store_.dropList(copy) && listsGone;
  if (!listsGone) log("the list record of a deleted copy could not be removed; it stays unnamed");
  result.outcome = DeleteOutcome::kDeleted;
  result.dropped = static_cast<uint32_t>(release.dropped.size());
  return result;
}

void PackedAccount::dropRecords(const std::vector<uint32_t>& numbers) {
  if (numbers.empty()) return;
  bool dropped = true;
  for (uint32_t number : numbers) dropped = store_.dropSection(number) && dropped;
  dropped = store_.syncSections() && dropped;
  // Until the drops are forgotten, the next open removes these records
  // instead of taking them for uploads whose rows were lost.
  if (dropped) dropped = catalog_.clearDropping(account_);
  if (!dropped) log("some unused section records could not be deleted; they stay unnamed");
}

uint32_t PackedAccount::heldRecords(const std::vector<uint32_t>& numbers) const {
  return static_cast<uint32_t>(std::count_if(numbers.begin(), numbers.end(), [this](uint32_t n) {
    return store_.hasSection(n);
  }));
}

}  // namespace

PackedBackupStore::PackedBackupStore(std::string folder, SqliteCopyCatalog* catalog,
                                     ServerLog* log)
    : folder_(std::move(folder)), catalog_(catalog), log_(log) {}

void PackedBackupStore::reconcile(uint32_t account, CopyStore& store) {
  const std::optional<std::vector<SectionRow>> rows = catalog_->sectionRows(account);
  const std::optional<std::vector<uint32_t>> dropping = catalog_->droppingSections(account);
  if (!rows || !dropping) return;  // nothing is judged without the catalogue
  std::vector<uint32_t> leftovers;
  std::vector<SectionRow> uploads;  // rows to write again, with the record's length
  for (uint32_t number : store.sectionNumbers()) {
    const auto row = std::lower_bound(
        rows->begin(), rows->end(), number,
        [](const SectionRow& a, uint32_t wanted) { return a.number < wanted; });
    const bool named = row != rows->end() && row->number == number;
    if (named && row->uses > 0) continue;
    if (!named && std::binary_search(dropping->begin(), dropping->end(), number)) {
      leftovers.push_back(number);
      continue;
    }
    // An upload since the last copy: its row may be missing, or may still
    // give the length of a record it was since replaced by.
    const std::optional<uint32_t> length = store.sectionLength(number);
    if (length && (!named || row->bytes != *length)) {
      uploads.push_back(SectionRow{number, *length, 0});
    }
  }
  bool removed = true;
  for (uint32_t number : leftovers) removed = store.dropSection(number) && removed;
  if (!leftovers.empty()) removed = store.syncSections() && removed;
  if (removed && !dropping->empty()) catalog_->clearDropping(account);
  bool restored = true;
  uint64_t pending = 0;
  for (const SectionRow& upload : uploads) {
    restored = catalog_->recordUpload(account, upload.number, upload.bytes, &pending) && restored;
  }
  if (!log_) return;
  const std::string prefix = "account " + std::to_string(account) + ": ";
  if (!leftovers.empty()) {
    log_->write(prefix + std::to_string(leftovers.size()) +
                " section records no copy or upload names " +
                (removed ? "removed" : "could not all be removed"));
  }
  if (!uploads.empty()) {
    log_->write(prefix + std::to_string(uploads.size()) +
                " uploads catalogued again from their records" +
                (restored ? "" : " (not all could be)"));
  }
}

std::string PackedBackupStore::accountFolder(uint32_t account) const {
  return folder_ + "/" + std::to_string(account);
}

std::shared_ptr<AccountBackups> PackedBackupStore::account(uint32_t number) {
  std::unique_lock lock(table_.mutex);
  for (auto found = table_.open.find(number); found != table_.open.end();
       found = table_.open.find(number)) {
    if (std::shared_ptr<AccountBackups> open = found->second.lock()) return open;
    // Its last connection let go and its deleter waits for the mutex: the
    // store's lock is free once the entry is gone.
    table_.closed.wait(lock);
  }
  if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) return nullptr;
  StoreOpenError error = StoreOpenError::kNone;
  std::optional<CopyStore> store = CopyStore::open(accountFolder(number), &error);
  if (!store) {
    if (log_) {
      log_->write("account " + std::to_string(number) + ": its record store does not open" +
                  (error == StoreOpenError::kLocked ? " (held by another process)" : ""));
    }
    return nullptr;
  }
  reconcile(number, *store);
  // Destroyed under the table's mutex, so that the store's lock is let go
  // before anyone can open it again. The deleter holds the table by plain
  // pointer: the entry it would otherwise keep alive is its own.
  Table* table = &table_;
  std::shared_ptr<AccountBackups> opened(
      new PackedAccount(number, std::move(*store), catalog_, log_),
      [table, number](AccountBackups* account) {
        {
          std::lock_guard lock(table->mutex);
          delete account;
          table->open.erase(number);
        }
        table->closed.notify_all();
      });
  table_.open[number] = opened;
  return opened;
}

}  // namespace vl
