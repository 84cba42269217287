#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vl {

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() { close(); }

bool File::openWith(const std::string& path, int flags) {
  close();
  do {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  } while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0;
}

bool File::openForReading(const std::string& path) {
  if (!openWith(path, O_RDONLY)) return false;
  // Folders open for reading on POSIX; callers asked for a file.
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || S_ISDIR(info.st_mode)) {
    close();
    return false;
  }
  return true;
}

bool File::openRegularForReading(const std::string& path) {
  // Opened without waiting; for a regular file the flag changes nothing, but
  // it is taken off all the same before any read.
  if (!openWith(path, O_RDONLY | O_NONBLOCK | O_NOCTTY)) return false;
  struct stat info {};
  const int flags = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) ? ::fcntl(fd_, F_GETFL) : -1;
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close();
    return false;
  }
  return true;
}

bool File::createNew(const std::string& path) { return openWith(path, O_WRONLY | O_CREAT | O_EXCL); }

bool File::createOrTruncate(const std::string& path) {
  return openWith(path, O_WRONLY | O_CREAT | O_TRUNC);
}

std::optional<size_t> File::read(void* out, size_t length) {
  if (fd_ < 0) return std::nullopt;
  auto* bytes = static_cast<char*>(out);
  size_t done = 0;
  while (done < length) {
    ssize_t got = ::read(fd_, bytes + done, length - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

bool File::write(const void* bytes, size_t length) {
  if (fd_ < 0) return false;
  const auto* from = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t put = ::write(fd_, from, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    from += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

std::optional<uint64_t> File::size() const {
  struct stat info {};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

bool File::close() {
  if (fd_ < 0) return true;
  int result = ::close(fd_);
  fd_ = -1;
  return result == 0;
}

std::optional<uint64_t> fileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

bool deleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace vl
