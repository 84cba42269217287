#include "platform/updatable_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vl {
namespace {

FileIdentity identityOf(const struct stat& st) {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = static_cast<uint64_t>(st.st_size);
  id.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.changed_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return id;
}

}  // namespace

std::optional<FileIdentity> fileIdentity(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return identityOf(st);
}

UpdatableFile::~UpdatableFile() { close(); }

UpdatableFile::Opened UpdatableFile::open(const std::string& path, Mode mode) {
  close();
  // Non-blocking so that a FIFO in the file's place cannot hold us.
  const int flags = (mode == Mode::kReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
  int fd;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error_ = errno;
    if (error_ == ENOENT) return Opened::kMissing;
    return error_ == EACCES || error_ == EPERM ? Opened::kNotAllowed : Opened::kFailed;
  }
  struct stat st;
  const bool examined = ::fstat(fd, &st) == 0;
  if (!examined || !S_ISREG(st.st_mode)) {
    error_ = !examined ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return Opened::kFailed;
  }
  fd_ = fd;
  return Opened::kOpened;
}

std::optional<size_t> UpdatableFile::readAt(uint64_t offset, void* out, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd_, static_cast<char*>(out) + done, length - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool UpdatableFile::writeAt(uint64_t offset, const void* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pwrite(fd_, static_cast<const char*>(bytes) + done, length - done,
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool UpdatableFile::truncate(uint64_t length) {
  if (::ftruncate(fd_, static_cast<off_t>(length)) == 0) return true;
  error_ = errno;
  return false;
}

bool UpdatableFile::sync() {
  if (::fdatasync(fd_) == 0) return true;
  error_ = errno;
  return false;
}

std::optional<FileIdentity> UpdatableFile::identity() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return std::nullopt;
  return identityOf(st);
}

void UpdatableFile::close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace vl
