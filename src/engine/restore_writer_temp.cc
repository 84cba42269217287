#include "engine/restore_writer_temp.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace vl {
namespace {

constexpr int kCreateAttempts = 16;
// Records are written in pieces of at most this many bytes, all handed to
// the system in one call.
constexpr size_t kPiece = 102400;
// Pieces per call: a whole section of 2 MiB and its length go in one call.
constexpr size_t kPiecesPerCall = 32;

// Moves past `done` bytes of `pieces`, starting at piece `*first`.
void advance(struct iovec* pieces, size_t count, size_t* first, size_t done) {
  while (*first < count && done >= pieces[*first].iov_len) {
    done -= pieces[*first].iov_len;
    ++*first;
  }
  if (*first < count) {
    pieces[*first].iov_base = static_cast<uint8_t*>(pieces[*first].iov_base) + done;
    pieces[*first].iov_len -= done;
  }
}

// Writes all of `pieces`; false on an error.
bool writeAll(int fd, struct iovec* pieces, size_t count) {
  size_t first = 0;
  while (first < count) {
    ssize_t put = ::writev(fd, pieces + first, static_cast<int>(count - first));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    advance(pieces, count, &first, static_cast<size_t>(put));
  }
  return true;
}

// Reads into `pieces` until `wanted` bytes have come or the file ends; the
// number of bytes read (more than `wanted` when the pieces have room for
// more), or nothing on an error.
std::optional<size_t> readAtLeast(int fd, struct iovec* pieces, size_t count, size_t wanted) {
  size_t first = 0;
  size_t total = 0;
  while (first < count && total < wanted) {
    if (pieces[first].iov_len == 0) {
      ++first;
      continue;
    }
    ssize_t got = ::readv(fd, pieces + first, static_cast<int>(count - first));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    total += static_cast<size_t>(got);
    advance(pieces, count, &first, static_cast<size_t>(got));
  }
  return total;
}

// Opens a kept record for reading. The records are ours, so the access time
// need not be kept: that spares dirtying each file's inode on its first read.
int openForReading(int folder, const char* name) {
  int fd = ::openat(folder, name, O_RDONLY | O_NOATIME | O_CLOEXEC);
  if (fd < 0 && errno == EPERM) fd = ::openat(folder, name, O_RDONLY | O_CLOEXEC);
  return fd;
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
  lengths_[number] = length;
  uint8_t header[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                       static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  struct iovec pieces[kPiecesPerCall];
  size_t count = 0;
  pieces[count++] = {header, sizeof header};
  bool ok = true;
  for (size_t at = 0; ok && at < record.size(); at += kPiece) {
    const size_t piece = std::min(kPiece, record.size() - at);
    pieces[count++] = {const_cast<uint8_t*>(record.data() + at), piece};
    if (count == kPiecesPerCall) {
      ok = writeAll(fd, pieces, count);
      count = 0;
    }
  }
  ok = ok && writeAll(fd, pieces, count);
  return ::close(fd) == 0 && ok;
}

std::optional<ByteBuffer> SectionTempFolder::load(uint32_t number) const {
  if (!exists()) return std::nullopt;
  // The length comes from when the record was kept: no need to ask the file
  // system for the size. A file cut short is refused, and so is one that
  // grew: the spare byte after the record fills in the same read.
  auto known = lengths_.find(number);
  if (known == lengths_.end()) return std::nullopt;
  std::string name = fileName(number);
  int fd = openForReading(folder_fd_, name.c_str());
  if (fd < 0) return std::nullopt;
  uint8_t header[4];
  uint8_t spare = 0;
  ByteBuffer bytes(known->second);
  struct iovec pieces[3] = {{header, sizeof header}, {bytes.data(), bytes.size()}, {&spare, 1}};
  std::optional<size_t> got = readAtLeast(fd, pieces, 3, sizeof header + bytes.size());
  ::close(fd);
  const uint32_t length = bytes.size();
  if (!got || *got != sizeof header + length ||
      (header[0] | (header[1] << 8) | (header[2] << 16) |
       (static_cast<uint32_t>(header[3]) << 24)) != length) {
    return std::nullopt;
  }
  return bytes;
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
