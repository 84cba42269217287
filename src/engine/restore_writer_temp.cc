#include "engine/restore_writer_temp.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <utility>

namespace vl {
namespace {

constexpr int kCreateAttempts = 16;

// Moves past `done` bytes of `pieces`, starting at piece `*first`.
void advance(struct iovec (&pieces)[2], int* first, size_t done) {
  while (*first < 2 && done >= pieces[*first].iov_len) {
    done -= pieces[*first].iov_len;
    ++*first;
  }
  if (*first < 2) {
    pieces[*first].iov_base = static_cast<uint8_t*>(pieces[*first].iov_base) + done;
    pieces[*first].iov_len -= done;
  }
}

bool writeAll(int fd, const uint8_t* header, size_t headerLength,
              std::span<const uint8_t> record) {
  struct iovec pieces[2] = {{const_cast<uint8_t*>(header), headerLength},
                            {const_cast<uint8_t*>(record.data()), record.size()}};
  int first = 0;
  while (first < 2) {
    ssize_t put = ::writev(fd, pieces + first, 2 - first);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    advance(pieces, &first, static_cast<size_t>(put));
  }
  return true;
}

// Fills both pieces completely; false on an error or an early end.
bool readAll(int fd, struct iovec (&pieces)[2]) {
  int first = 0;
  while (first < 2) {
    if (pieces[first].iov_len == 0) {
      ++first;
      continue;
    }
    ssize_t got = ::readv(fd, pieces + first, 2 - first);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    advance(pieces, &first, static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

SectionTempFolder::SectionTempFolder(std::string workingDirectory)
    : working_directory_(std::move(workingDirectory)) {}

SectionTempFolder::~SectionTempFolder() { remove(); }

std::string SectionTempFolder::fileName(uint32_t number) {
  return "data_" + std::to_string(number) + ".bin";
}

bool SectionTempFolder::create(RandomPool& pool) {
  if (exists()) return true;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    uint32_t random = 0;
    if (!pool.generateWord(random)) return false;
    std::string candidate = working_directory_ + "/file_data_" + std::to_string(random);
    // Only the owner may look inside: the records are sealed, but their
    // number and sizes still tell something about the copy.
    if (::mkdir(candidate.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    folder_fd_ = ::open(candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder_fd_ < 0) {
      ::rmdir(candidate.c_str());
      return false;
    }
    path_ = std::move(candidate);
    return true;
  }
  return false;
}

bool SectionTempFolder::store(uint32_t number, std::span<const uint8_t> record) {
  if (!exists() || record.size() > ByteBuffer::kMaxFileLength) return false;
  std::string name = fileName(number);
  int fd = ::openat(folder_fd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  stored_.insert(number);
  const uint32_t length = static_cast<uint32_t>(record.size());
  const uint8_t header[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length >> 16),
                             static_cast<uint8_t>(length >> 24)};
  bool ok = writeAll(fd, header, sizeof header, record);
  return ::close(fd) == 0 && ok;
}

std::optional<ByteBuffer> SectionTempFolder::load(uint32_t number) const {
  if (!exists()) return std::nullopt;
  std::string name = fileName(number);
  int fd = ::openat(folder_fd_, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<ByteBuffer> record;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size >= 4 &&
      info.st_size - 4 <= static_cast<off_t>(ByteBuffer::kMaxFileLength)) {
    // Length and record in one read: the file's size says how long it is.
    uint8_t header[4];
    ByteBuffer bytes(static_cast<size_t>(info.st_size - 4));
    struct iovec pieces[2] = {{header, sizeof header}, {bytes.data(), bytes.size()}};
    const uint32_t length = bytes.size();
    if (readAll(fd, pieces) &&
        (header[0] | (header[1] << 8) | (header[2] << 16) |
         (static_cast<uint32_t>(header[3]) << 24)) == length) {
      record = std::move(bytes);
    }
  }
  ::close(fd);
  return record;
}

bool SectionTempFolder::drop(uint32_t number) {
  if (stored_.erase(number) == 0) return true;
  std::string name = fileName(number);
  return ::unlinkat(folder_fd_, name.c_str(), 0) == 0 || errno == ENOENT;
}

bool SectionTempFolder::sweep() {
  bool ok = true;
  for (uint32_t number : stored_) {
    std::string name = fileName(number);
    if (::unlinkat(folder_fd_, name.c_str(), 0) != 0 && errno != ENOENT) ok = false;
  }
  stored_.clear();
  return ok;
}

bool SectionTempFolder::remove() {
  if (!exists()) return true;
  bool ok = sweep();
  ::close(folder_fd_);
  folder_fd_ = -1;
  ok = ::rmdir(path_.c_str()) == 0 && ok;
  path_.clear();
  return ok;
}

}  // namespace vl
