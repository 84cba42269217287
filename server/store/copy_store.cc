#include "server/store/copy_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/file.h"
#include "platform/file_lock.h"
#include "server/store/section_pack.h"

namespace vl {
namespace {

// A pack is closed and the next one started once it holds this much.
constexpr uint64_t kPackLimit = 128ull << 20;
// Packs kept open for reading at once. A restore reads a copy's sections
// mostly in the order they were written, so a few suffice; a server keeps
// many stores open and must not run out of handles.
constexpr size_t kOpenPacks = 16;
// Names a list is moved to before one is found free; the lock keeps every
// name but the next one free, so more than one try means a stray file.
constexpr uint32_t kCopyNameTries = 64;

bool makeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool isNumberedName(const std::string& name, std::string_view suffix, uint32_t* number) {
  if (name.size() <= suffix.size() ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  std::string digits = name.substr(0, name.size() - suffix.size());
  if (digits.empty() || digits.size() > 10 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  uint64_t value = std::strtoull(digits.c_str(), nullptr, 10);
  if (value == 0 || value > UINT32_MAX) return false;
  *number = static_cast<uint32_t>(value);
  return true;
}

// Numbers of the "<n><suffix>" files in a folder, ascending; other names are
// ignored. Nothing when the folder cannot be listed to its end.
std::optional<std::vector<uint32_t>> numberedFilesIn(const std::string& folder,
                                                     std::string_view suffix) {
  std::vector<uint32_t> numbers;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::nullopt;
  while (true) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    uint32_t number = 0;
    if (isNumberedName(entry->d_name, suffix, &number)) numbers.push_back(number);
  }
  const bool listed = errno == 0;
  ::closedir(dir);
  if (!listed) return std::nullopt;
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::optional<std::vector<uint32_t>> recordNumbersIn(const std::string& folder) {
  return numberedFilesIn(folder, ".rec");
}

bool syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// Writes `record` to a new file `path` (removing what had the name) and
// waits for the disk. A file left under the name is never written through:
// it may be a second name of a stored copy (a move by link and unlink cut
// short). Records are stored raw (not as buffer files): the store keeps
// bytes as they arrived and the file length is the record length.
bool writeDurable(const std::string& path, std::span<const uint8_t> record) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const uint8_t* next = record.data();
  size_t left = record.size();
  while (left > 0) {
    const ssize_t wrote = ::write(fd, next, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    next += wrote;
    left -= static_cast<size_t>(wrote);
  }
  const bool written = left == 0 && ::fdatasync(fd) == 0;
  return ::close(fd) == 0 && written;
}

std::optional<ByteBuffer> readRecord(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  ByteBuffer record;
  uint8_t piece[65536];
  size_t got;
  while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) record.appendBytes(piece, got);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!ok) return std::nullopt;
  return record;
}

// A pack open for reading, shared by the readers using it; closed when the
// last of them lets go, also after the cache gave it up.
struct PackFile {
  explicit PackFile(int handle) : fd(handle) {}
  PackFile(const PackFile&) = delete;
  PackFile& operator=(const PackFile&) = delete;
  ~PackFile() { ::close(fd); }
  const int fd;
};

// The packs open for reading: at most kOpenPacks, the one used longest ago
// given up first. Not thread-safe: the store serialises its calls.
class PackHandles {
 public:
  // The open pack at position `pack`, opening `path` when needed.
  std::shared_ptr<const PackFile> get(uint32_t pack, const std::string& path) {
    ++clock_;
    for (Slot& slot : slots_) {
      if (slot.pack == pack) {
        slot.used = clock_;
        return slot.file;
      }
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !slots_.empty()) {
      // The process is out of handles: ours are the ones we can give back.
      slots_.clear();
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) return nullptr;
    auto file = std::make_shared<const PackFile>(fd);
    if (slots_.size() >= kOpenPacks) {
      auto oldest = std::min_element(slots_.begin(), slots_.end(),
                                     [](const Slot& a, const Slot& b) { return a.used < b.used; });
      slots_.erase(oldest);
    }
    slots_.push_back(Slot{pack, clock_, file});
    return file;
  }

 private:
  struct Slot {
    uint32_t pack;
    uint64_t used;
    std::shared_ptr<const PackFile> file;
  };
  std::vector<Slot> slots_;
  uint64_t clock_ = 0;
};

// A pack found when the store opened, before its entries go into the index.
struct FoundPack {
  uint64_t generation;
  uint32_t name;
  std::vector<PackEntry> entries;
};

}  // namespace

// The section packs: where each packed record lies, the packs open for
// reading, and the pack this run appends to.
struct CopyStore::Packs {
  struct Location {
    uint32_t pack;  // position in `names`
    uint32_t length;
    uint64_t offset;
    uint32_t checksum;
  };

  std::string folder;  // the sections folder
  bool writing = false;
  FileLock lock;  // held by a store open for writing
  // Serialises commits: they share the temporary list file.
  std::mutex commitMutex;
  std::mutex mutex;
  std::unordered_map<uint32_t, Location> index;
  // The file name number of each pack, oldest generation first.
  std::vector<uint32_t> names;
  uint32_t lastName = 0;
  uint64_t lastGeneration = 0;
  // The newest copy a reader may see: the newest when it opened.
  uint32_t lastVisibleCopy = UINT32_MAX;
  PackHandles handles;
  PackWriter writer;
  uint32_t writerPack = 0;
  bool folderUnsynced = false;

  std::string packPath(uint32_t name) const {
    return folder + "/" + std::to_string(name) + ".pack";
  }

  // Reads every pack into the index, later generations over earlier ones.
  StoreOpenError load() {
    std::optional<std::vector<uint32_t>> listed = numberedFilesIn(folder, ".pack");
    if (!listed) return StoreOpenError::kFailed;
    std::vector<FoundPack> found;
    found.reserve(listed->size());
    for (uint32_t name : *listed) {
      lastName = name;
      const int fd = ::open(packPath(name).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return StoreOpenError::kFailed;
      PackScan scan = scanPack(fd);
      ::close(fd);
      if (scan.state == PackState::kForeign) return StoreOpenError::kFormat;
      if (scan.state == PackState::kEmpty) continue;
      lastGeneration = std::max(lastGeneration, scan.generation);
      found.push_back(FoundPack{scan.generation, name, std::move(scan.entries)});
    }
    std::sort(found.begin(), found.end(), [](const FoundPack& a, const FoundPack& b) {
      return a.generation != b.generation ? a.generation < b.generation : a.name < b.name;
    });
    names.reserve(found.size());
    for (const FoundPack& pack : found) {
      const uint32_t position = static_cast<uint32_t>(names.size());
      names.push_back(pack.name);
      for (const PackEntry& entry : pack.entries) {
        if (entry.dropped) {
          index.erase(entry.number);
        } else {
          index[entry.number] = Location{position, entry.length, entry.offset, entry.checksum};
        }
      }
    }
    return StoreOpenError::kNone;
  }

  // A pack with room for the next entry; this run never appends to a pack
  // an earlier run left. A full or failed pack is synced and closed first.
  bool writable() {
    if (!writing) return false;
    if (writer.isOpen() && writer.size() < kPackLimit && !writer.broken()) return true;
    if (writer.isOpen()) {
      if (!writer.sync()) return false;
      writer.close();
    }
    // No later generation exists: a pack numbered past the last would sort
    // first and lose to every pack already there.
    if (lastGeneration == UINT64_MAX) return false;
    for (int attempt = 0; attempt < 16; ++attempt) {
      if (lastName == UINT32_MAX) return false;
      const uint32_t name = ++lastName;
      if (!writer.create(packPath(name), lastGeneration + 1)) {
        if (errno == EEXIST) continue;
        return false;
      }
      ++lastGeneration;
      writerPack = static_cast<uint32_t>(names.size());
      names.push_back(name);
      folderUnsynced = true;
      return true;
    }
    return false;
  }

  bool sync() {
    if (!writer.sync()) return false;
    if (folderUnsynced) {
      if (!syncFolder(folder)) return false;
      folderUnsynced = false;
    }
    return true;
  }
};

std::optional<CopyStore> CopyStore::open(const std::string& folder, StoreOpenError* error) {
  return openWith(folder, true, error);
}

std::optional<CopyStore> CopyStore::openForReading(const std::string& folder,
                                                   StoreOpenError* error) {
  return openWith(folder, false, error);
}

std::optional<CopyStore> CopyStore::openWith(const std::string& folder, bool writing,
                                             StoreOpenError* error) {
  const auto refuse = [error](StoreOpenError why) -> std::optional<CopyStore> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  if (writing && (!makeFolder(folder) || !makeFolder(folder + "/sections") ||
                  !makeFolder(folder + "/copies"))) {
    return refuse(StoreOpenError::kFailed);
  }
  auto packs = std::make_shared<Packs>();
  packs->folder = folder + "/sections";
  packs->writing = writing;
  // The lock comes before the listing, so that no other writer adds a pack
  // or a copy while this one reads what is there.
  const std::string lockPath = folder + "/lock";
  if (writing) {
    const LockOutcome locked = packs->lock.acquire(lockPath, FileLock::Wait::kNo);
    if (!locked) {
      return refuse(locked.kind == LockOutcome::Kind::kHeldElsewhere ? StoreOpenError::kLocked
                                                                      : StoreOpenError::kFailed);
    }
  }
  if (!writing) {
    // Before the packs: every section of a copy listed now is in a pack by
    // then, while a copy committed after the packs were read may not be.
    std::optional<std::vector<uint32_t>> copies = recordNumbersIn(folder + "/copies");
    if (!copies) return refuse(StoreOpenError::kFailed);
    packs->lastVisibleCopy = copies->empty() ? 0 : copies->back();
  }
  const StoreOpenError loaded = packs->load();
  if (loaded != StoreOpenError::kNone) return refuse(loaded);
  if (error != nullptr) *error = StoreOpenError::kNone;
  return CopyStore(folder, std::move(packs));
}

std::string CopyStore::sectionPath(uint32_t number) const {
  return folder_ + "/sections/" + std::to_string(number) + ".rec";
}

std::string CopyStore::copyPath(uint32_t copy) const {
  return folder_ + "/copies/" + std::to_string(copy) + ".rec";
}

bool CopyStore::append(uint32_t number, std::span<const uint8_t> record, bool sync) {
  // A pack entry's length is 32 bits, and its largest value marks a drop.
  if (number == 0 || record.size() >= kDroppedLength) return false;
  const uint32_t length = static_cast<uint32_t>(record.size());
  std::lock_guard<std::mutex> lock(packs_->mutex);
  uint64_t offset = 0;
  uint32_t checksum = 0;
  if (!packs_->writable() ||
      !packs_->writer.append(number, record.data(), length, &offset, &checksum)) {
    return false;
  }
  packs_->index[number] = Packs::Location{packs_->writerPack, length, offset, checksum};
  return !sync || packs_->sync();
}

bool CopyStore::putSection(uint32_t number, const ByteBuffer& record) {
  return append(number, record.span(), true);
}

bool CopyStore::putSection(uint32_t number, std::span<const uint8_t> record) {
  return append(number, record, true);
}

bool CopyStore::putSectionUnsynced(uint32_t number, const ByteBuffer& record) {
  return append(number, record.span(), false);
}

bool CopyStore::syncSections() {
  std::lock_guard<std::mutex> lock(packs_->mutex);
  return packs_->writing && packs_->sync();
}

std::optional<ByteBuffer> CopyStore::getSection(uint32_t number) const {
  Packs::Location where{};
  std::shared_ptr<const PackFile> file;
  {
    std::lock_guard<std::mutex> lock(packs_->mutex);
    auto found = packs_->index.find(number);
    if (found == packs_->index.end()) return readRecord(sectionPath(number));
    where = found->second;
    file = packs_->handles.get(where.pack, packs_->packPath(packs_->names[where.pack]));
  }
  // The read itself runs unlocked: restore workers read at once.
  ByteBuffer record(where.length);
  if (file == nullptr || !readPackBytes(file->fd, where.offset, record.data(), where.length) ||
      packChecksum(record.data(), where.length) != where.checksum) {
    return std::nullopt;
  }
  return record;
}

bool CopyStore::hasSection(uint32_t number) const {
  {
    std::lock_guard<std::mutex> lock(packs_->mutex);
    if (packs_->index.count(number) != 0) return true;
  }
  struct stat info {};
  return ::stat(sectionPath(number).c_str(), &info) == 0;
}

std::optional<uint32_t> CopyStore::sectionLength(uint32_t number) const {
  {
    std::lock_guard<std::mutex> lock(packs_->mutex);
    auto found = packs_->index.find(number);
    if (found != packs_->index.end()) return found->second.length;
  }
  struct stat info {};
  if (::stat(sectionPath(number).c_str(), &info) != 0 || info.st_size >= kDroppedLength) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(info.st_size);
}

bool CopyStore::dropSection(uint32_t number) {
  if (!packs_->writing) return false;
  if (::unlink(sectionPath(number).c_str()) != 0 && errno != ENOENT) return false;
  std::lock_guard<std::mutex> lock(packs_->mutex);
  if (packs_->index.count(number) == 0) return true;
  if (!packs_->writable() || !packs_->writer.drop(number)) return false;
  packs_->index.erase(number);
  return true;
}

std::vector<uint32_t> CopyStore::sectionNumbers() const {
  std::vector<uint32_t> numbers =
      recordNumbersIn(folder_ + "/sections").value_or(std::vector<uint32_t>{});
  {
    std::lock_guard<std::mutex> lock(packs_->mutex);
    for (const auto& entry : packs_->index) numbers.push_back(entry.first);
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

uint32_t CopyStore::commitCopy(const ByteBuffer& list_record,
                               const std::vector<uint32_t>& orphaned) {
  if (!packs_->writing) return 0;
  std::lock_guard<std::mutex> committing(packs_->commitMutex);
  // The list names sections: they reach the disk before it does.
  if (!syncSections()) return 0;
  const std::optional<uint32_t> latest = latestCopy();
  if (!latest) return 0;
  // Not a copy's name, so no reader takes it for one.
  const std::string temporary = folder_ + "/copies/commit.tmp";
  uint32_t copy = 0;
  if (writeDurable(temporary, list_record.span())) {
    for (uint32_t next = *latest + 1, tries = 0; next != 0 && tries < kCopyNameTries;
         ++next, ++tries) {
      const MoveOutcome moved = moveFileNoReplace(temporary, copyPath(next));
      if (moved == MoveOutcome::kMoved) copy = next;
      if (moved != MoveOutcome::kNameTaken) break;
    }
  }
  if (copy == 0) {
    ::unlink(temporary.c_str());
    return 0;
  }
  // The list is durable already; a folder that cannot be synced leaves only
  // its name to the file system's own schedule.
  syncFolder(folder_ + "/copies");
  // Dropping is tidying only: a section left behind is named by no list.
  for (uint32_t number : orphaned) dropSection(number);
  if (!orphaned.empty()) syncSections();
  return copy;
}

std::optional<std::vector<uint32_t>> CopyStore::copyNumbers() const {
  std::optional<std::vector<uint32_t>> copies = recordNumbersIn(folder_ + "/copies");
  if (copies) {
    const uint32_t last = packs_->lastVisibleCopy;
    copies->erase(std::upper_bound(copies->begin(), copies->end(), last), copies->end());
  }
  return copies;
}

std::optional<uint32_t> CopyStore::latestCopy() const {
  std::optional<std::vector<uint32_t>> copies = copyNumbers();
  if (!copies) return std::nullopt;
  return copies->empty() ? 0 : copies->back();
}

std::optional<ByteBuffer> CopyStore::getList(uint32_t copy) const {
  if (copy > packs_->lastVisibleCopy) return std::nullopt;
  return readRecord(copyPath(copy));
}

bool CopyStore::putList(uint32_t copy, std::span<const uint8_t> record) {
  if (!packs_->writing || copy == 0) return false;
  std::lock_guard<std::mutex> committing(packs_->commitMutex);
  const std::string temporary = folder_ + "/copies/list.tmp";
  if (!writeDurable(temporary, record)) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), copyPath(copy).c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return syncFolder(folder_ + "/copies");
}

bool CopyStore::dropList(uint32_t copy) {
  if (!packs_->writing) return false;
  if (::unlink(copyPath(copy).c_str()) != 0 && errno != ENOENT) return false;
  return syncFolder(folder_ + "/copies");
}

std::optional<std::vector<uint32_t>> parseSectionSet(ByteBuffer buffer) {
  buffer.setReadPosition(0);
  uint32_t count = buffer.readU32();
  if (buffer.size() < 4 || (buffer.size() - 4) / 4 < count) return std::nullopt;
  std::vector<uint32_t> numbers;
  numbers.reserve(count);
  for (uint32_t i = 0; i < count; ++i) numbers.push_back(buffer.readU32());
  return numbers;
}

}  // namespace vl
