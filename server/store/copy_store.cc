#include "server/store/copy_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/atomic_file.h"

namespace vl {
namespace {

bool makeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// Numbers of the "<n>.rec" files in a folder, ascending; other names are ignored.
std::vector<uint32_t> recordNumbersIn(const std::string& folder) {
  std::vector<uint32_t> numbers;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return numbers;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".rec") != 0) continue;
    std::string digits = name.substr(0, name.size() - 4);
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

std::optional<CopyStore> CopyStore::open(const std::string& folder) {
  if (!makeFolder(folder) || !makeFolder(folder + "/sections") || !makeFolder(folder + "/copies")) {
    return std::nullopt;
  }
  return CopyStore(folder);
}

std::string CopyStore::sectionPath(uint32_t number) const {
  return folder_ + "/sections/" + std::to_string(number) + ".rec";
}

std::string CopyStore::copyPath(uint32_t copy) const {
  return folder_ + "/copies/" + std::to_string(copy) + ".rec";
}

bool CopyStore::putSection(uint32_t number, const ByteBuffer& record) {
  return number != 0 && writeRecord(sectionPath(number), record);
}

bool CopyStore::putSectionUnsynced(uint32_t number, const ByteBuffer& record) {
  if (number == 0) return false;
  // Written beside its name and renamed over it, so that a reader never
  // sees half a record; unique per process and thread.
  static std::atomic<unsigned> counter{0};
  const std::string target = sectionPath(number);
  const std::string part =
      target + ".part" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const uint8_t* bytes = record.data();
  size_t left = record.size();
  while (left > 0) {
    ssize_t put = ::write(fd, bytes, left);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    bytes += put;
    left -= static_cast<size_t>(put);
  }
  const bool written = ::close(fd) == 0 && left == 0;
  if (written && ::rename(part.c_str(), target.c_str()) == 0) return true;
  ::unlink(part.c_str());
  return false;
}

bool CopyStore::syncSections() {
  int fd = ::open((folder_ + "/sections").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::syncfs(fd) == 0;
  ::close(fd);
  return synced;
}

std::optional<ByteBuffer> CopyStore::getSection(uint32_t number) const {
  return readRecord(sectionPath(number));
}

bool CopyStore::hasSection(uint32_t number) const {
  struct stat info{};
  return ::stat(sectionPath(number).c_str(), &info) == 0;
}

bool CopyStore::dropSection(uint32_t number) {
  return ::unlink(sectionPath(number).c_str()) == 0 || errno == ENOENT;
}

std::vector<uint32_t> CopyStore::sectionNumbers() const {
  return recordNumbersIn(folder_ + "/sections");
}

uint32_t CopyStore::commitCopy(const ByteBuffer& list_record,
                               const std::vector<uint32_t>& orphaned) {
  uint32_t copy = latestCopy() + 1;
  if (!writeRecord(copyPath(copy), list_record)) return 0;
  for (uint32_t number : orphaned) dropSection(number);
  return copy;
}

std::vector<uint32_t> CopyStore::copyNumbers() const { return recordNumbersIn(folder_ + "/copies"); }

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
