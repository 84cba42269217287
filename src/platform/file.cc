#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include "platform/folder_handle.h"

namespace vl {
namespace {

mode_t fileMode(FileAccess access) {
  switch (access) {
    case FileAccess::kReadOnly:
      return 0444;
    case FileAccess::kOwnerOnly:
      return 0600;
    case FileAccess::kDefault:
      break;
  }
  return 0666;
}

// Copies up to File::kMaxPiecesPerCall of `pieces`, from `*at` on, into
// `window` for one system call; the count copied. `*at` moves past them.
template <typename Byte>
size_t fillWindow(std::span<const std::span<Byte>> pieces, size_t* at, struct iovec* window) {
  const size_t count = std::min(File::kMaxPiecesPerCall, pieces.size() - *at);
  for (size_t i = 0; i < count; ++i) {
    const std::span<Byte>& piece = pieces[*at + i];
    window[i] = {const_cast<uint8_t*>(piece.data()), piece.size()};
  }
  *at += count;
  return count;
}

// Moves past `done` bytes of `window`, starting at piece `*first`, and past
// any empty pieces that follow.
void advance(struct iovec* window, size_t count, size_t* first, size_t done) {
  while (*first < count && done >= window[*first].iov_len) {
    done -= window[*first].iov_len;
    ++*first;
  }
  if (*first < count) {
    window[*first].iov_base = static_cast<uint8_t*>(window[*first].iov_base) + done;
    window[*first].iov_len -= done;
  }
}

}  // namespace

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

bool File::openWith(int folder, const char* path, int flags, unsigned mode) {
  close();
  do {
    fd_ = ::openat(folder, path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0;
}

bool File::openForReading(const std::string& path) {
  if (!openWith(AT_FDCWD, path.c_str(), O_RDONLY)) return false;
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
  if (!openWith(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY)) return false;
  struct stat info {};
  const int flags = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) ? ::fcntl(fd_, F_GETFL) : -1;
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close();
    return false;
  }
  return true;
}

bool File::createNew(const std::string& path) {
  return openWith(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_EXCL);
}

bool File::createOrTruncate(const std::string& path) {
  return openWith(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
}

bool File::createNewAt(const FolderHandle& folder, const char* name, FileAccess access) {
  return openWith(folder.fd(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, fileMode(access));
}

bool File::createOrTruncateAt(const FolderHandle& folder, const char* name, FileAccess access) {
  return openWith(folder.fd(), name, O_WRONLY | O_CREAT | O_TRUNC, fileMode(access));
}

bool File::openOwnForReadingAt(const FolderHandle& folder, const char* name) {
  // Without O_NOATIME the access time would be written back on the first
  // read; the system grants it only to the file's owner, so a file that is
  // not ours after all is still opened, the ordinary way.
  if (openWith(folder.fd(), name, O_RDONLY | O_NOATIME)) return true;
  return errno == EPERM && openWith(folder.fd(), name, O_RDONLY);
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

bool File::skip(uint64_t length) {
  if (fd_ < 0 || length > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::lseek(fd_, static_cast<off_t>(length), SEEK_CUR) >= 0;
}

bool File::setLength(uint64_t length) {
  if (fd_ < 0 || length > static_cast<uint64_t>(INT64_MAX)) return false;
  while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
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
    if (put == 0) return false;
    from += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

bool File::writePieces(std::span<const std::span<const uint8_t>> pieces) {
  if (fd_ < 0) return false;
  struct iovec window[kMaxPiecesPerCall];
  size_t at = 0;
  while (at < pieces.size()) {
    const size_t count = fillWindow(pieces, &at, window);
    size_t first = 0;
    advance(window, count, &first, 0);
    while (first < count) {
      ssize_t put = ::writev(fd_, window + first, static_cast<int>(count - first));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (put == 0) return false;
      advance(window, count, &first, static_cast<size_t>(put));
    }
  }
  return true;
}

std::optional<size_t> File::readPieces(std::span<const std::span<uint8_t>> pieces, size_t wanted) {
  if (fd_ < 0) return std::nullopt;
  struct iovec window[kMaxPiecesPerCall];
  size_t total = 0;
  size_t at = 0;
  while (at < pieces.size() && total < wanted) {
    const size_t count = fillWindow(pieces, &at, window);
    size_t first = 0;
    advance(window, count, &first, 0);
    while (first < count && total < wanted) {
      ssize_t got = ::readv(fd_, window + first, static_cast<int>(count - first));
      if (got < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      if (got == 0) return total;
      total += static_cast<size_t>(got);
      advance(window, count, &first, static_cast<size_t>(got));
    }
  }
  return total;
}

bool File::setTimes(FileTime creation_time, FileTime last_access_time, FileTime last_write_time) {
  return fd_ >= 0 && setOpenFileTimes(fd_, creation_time, last_access_time, last_write_time);
}

bool File::setReadOnly() { return fd_ >= 0 && setOpenFileReadOnly(fd_); }

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

bool nameIsFree(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

MoveOutcome moveFileNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return MoveOutcome::kMoved;
  }
  if (errno == EEXIST) return MoveOutcome::kNameTaken;
  // File systems without the no-replace rename: a hard link never replaces.
  if (::link(from.c_str(), to.c_str()) == 0) {
    return ::unlink(from.c_str()) == 0 ? MoveOutcome::kMoved : MoveOutcome::kFailed;
  }
  return errno == EEXIST ? MoveOutcome::kNameTaken : MoveOutcome::kFailed;
}

}  // namespace vl
