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

#include "platform/atomic_file.h"
#include "server/store/section_pack.h"

namespace vl {
namespace {

// A pack is closed and the next one started once it holds this much.
constexpr uint64_t kPackLimit = 128ull << 20;

bool makeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// Numbers of the "<n><suffix>" files in a folder, ascending; other names are
// ignored.
std::vector<uint32_t> numberedFilesIn(const std::string& folder, std::string_view suffix) {
  std::vector<uint32_t> numbers;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return numbers;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string digits = name.substr(0, name.size() - suffix.size());
    if (digits.empty() || digits.size() > 10 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    uint64_t value = std::strtoull(digits.c_str(), nullptr, 10);
    if (value > 0 && value <= UINT32_MAX) numbers.push_back(static_cast<uint32_t>(value));
  }
  ::closedir(dir);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::vector<uint32_t> recordNumbersIn(const std::string& folder) {
  return numberedFilesIn(folder, ".rec");
}

bool syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// Records are stored raw (not as buffer files): the store keeps bytes as
// they arrived and the file length is the record length.
bool writeRecord(const std::string& path, const ByteBuffer& record) {
  AtomicFileWriter writer;
  return writer.open(path) && writer.write(record.data(), record.size()) && writer.commit();
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

}  // namespace

// The section packs: where each packed record lies, and the pack this run
// appends to. Every pack stays open for reading while the store lives.
struct CopyStore::Packs {
  struct Location {
    uint32_t pack;  // position in `files`
    uint64_t offset;
    uint32_t length;
  };

  std::string folder;  // the sections folder
  std::mutex mutex;
  std::unordered_map<uint32_t, Location> index;
  std::vector<int> files;
  uint32_t lastName = 0;
  PackWriter writer;
  uint32_t writerPack = 0;
  // Packs this run finished writing that are not synced yet.
  std::vector<int> unsynced;
  bool folderUnsynced = false;

  ~Packs() {
    writer.release();  // its handle is among `files`
    for (int fd : files) ::close(fd);
  }

  bool load() {
    for (uint32_t name : numberedFilesIn(folder, ".pack")) {
      int fd = ::open(packPath(name).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return false;
      const uint32_t pack = static_cast<uint32_t>(files.size());
      files.push_back(fd);
      lastName = name;
      for (const PackEntry& entry : scanPack(fd)) {
        if (entry.dropped) {
          index.erase(entry.number);
        } else {
          index[entry.number] = Location{pack, entry.offset, entry.length};
        }
      }
    }
    return true;
  }

  std::string packPath(uint32_t name) const {
    return folder + "/" + std::to_string(name) + ".pack";
  }

  // A pack with room for the next entry; this run never appends to a pack
  // an earlier run left.
  bool writable() {
    if (writer.isOpen() && writer.size() < kPackLimit) return true;
    if (writer.isOpen()) {
      const bool dirty = writer.dirty();
      const int fd = writer.release();
      if (dirty) unsynced.push_back(fd);
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
      if (lastName == UINT32_MAX) return false;
      const uint32_t name = ++lastName;
      if (!writer.create(packPath(name))) {
        if (errno == EEXIST) continue;
        return false;
      }
      writerPack = static_cast<uint32_t>(files.size());
      files.push_back(writer.fd());
      folderUnsynced = true;
      return true;
    }
    return false;
  }

  bool sync() {
    while (!unsynced.empty()) {
      if (::fdatasync(unsynced.back()) != 0) return false;
      unsynced.pop_back();
    }
    if (!writer.sync()) return false;
    if (folderUnsynced) {
      if (!syncFolder(folder)) return false;
      folderUnsynced = false;
    }
    return true;
  }
};

std::optional<CopyStore> CopyStore::open(const std::string& folder) {
  if (!makeFolder(folder) || !makeFolder(folder + "/sections") || !makeFolder(folder + "/copies")) {
    return std::nullopt;
  }
  auto packs = std::make_shared<Packs>();
  packs->folder = folder + "/sections";
  if (!packs->load()) return std::nullopt;
  return CopyStore(folder, std::move(packs));
}

std::string CopyStore::sectionPath(uint32_t number) const {
  return folder_ + "/sections/" + std::to_string(number) + ".rec";
}

std::string CopyStore::copyPath(uint32_t copy) const {
  return folder_ + "/copies/" + std::to_string(copy) + ".rec";
}

bool CopyStore::append(uint32_t number, const ByteBuffer& record, bool sync) {
  // A pack entry's length is 32 bits, and its largest value marks a drop.
  if (number == 0 || record.size() >= kDroppedLength) return false;
  const uint32_t length = static_cast<uint32_t>(record.size());
  std::lock_guard<std::mutex> lock(packs_->mutex);
  uint64_t offset = 0;
  if (!packs_->writable() || !packs_->writer.append(number, record.data(), length, &offset)) {
    return false;
  }
  packs_->index[number] = Packs::Location{packs_->writerPack, offset, length};
  return !sync || packs_->sync();
}

bool CopyStore::putSection(uint32_t number, const ByteBuffer& record) {
  return append(number, record, true);
}

bool CopyStore::putSectionUnsynced(uint32_t number, const ByteBuffer& record) {
  return append(number, record, false);
}

bool CopyStore::syncSections() {
  std::lock_guard<std::mutex> lock(packs_->mutex);
  return packs_->sync();
}

std::optional<ByteBuffer> CopyStore::getSection(uint32_t number) const {
  Packs::Location where{};
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(packs_->mutex);
    auto found = packs_->index.find(number);
    if (found != packs_->index.end()) {
      where = found->second;
      fd = packs_->files[where.pack];
    }
  }
  if (fd < 0) return readRecord(sectionPath(number));
  ByteBuffer record(where.length);
  if (!readPackBytes(fd, where.offset, record.data(), where.length)) return std::nullopt;
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

bool CopyStore::dropSection(uint32_t number) {
  if (::unlink(sectionPath(number).c_str()) != 0 && errno != ENOENT) return false;
  std::lock_guard<std::mutex> lock(packs_->mutex);
  if (packs_->index.count(number) == 0) return true;
  if (!packs_->writable() || !packs_->writer.drop(number)) return false;
  packs_->index.erase(number);
  return true;
}

std::vector<uint32_t> CopyStore::sectionNumbers() const {
  std::vector<uint32_t> numbers = recordNumbersIn(folder_ + "/sections");
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
  uint32_t copy = latestCopy() + 1;
  if (!writeRecord(copyPath(copy), list_record)) return 0;
  // Dropping is tidying only: a section left behind is named by no list.
  for (uint32_t number : orphaned) dropSection(number);
  if (!orphaned.empty()) syncSections();
  return copy;
}

std::vector<uint32_t> CopyStore::copyNumbers() const {
  return recordNumbersIn(folder_ + "/copies");
}

uint32_t CopyStore::latestCopy() const {
  auto copies = copyNumbers();
  return copies.empty() ? 0 : copies.back();
}

std::optional<ByteBuffer> CopyStore::getList(uint32_t copy) const {
  return readRecord(copyPath(copy));
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
