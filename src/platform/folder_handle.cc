#include "platform/folder_handle.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vl {

FolderHandle::FolderHandle(FolderHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FolderHandle::~FolderHandle() { close(); }

bool FolderHandle::openWith(int base, const char* path, int flags) {
  close();
  do {
    fd_ = ::openat(base, path, flags | O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0;
}

bool FolderHandle::open(const std::string& path, bool followSymlink) {
  return openWith(AT_FDCWD, path.c_str(), followSymlink ? 0 : O_NOFOLLOW);
}

bool FolderHandle::openAt(const FolderHandle& parent, const char* name) {
  if (!parent.isOpen()) {
    close();
    return false;
  }
  return openWith(parent.fd_, name, O_NOFOLLOW);
}

void FolderHandle::close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

bool FolderHandle::createSubfolder(const char* name) const {
  return fd_ >= 0 && ::mkdirat(fd_, name, 0777) == 0;
}

bool FolderHandle::removeFile(const char* name) const {
  return fd_ >= 0 && (::unlinkat(fd_, name, 0) == 0 || errno == ENOENT);
}

bool FolderHandle::setReadOnly() const { return fd_ >= 0 && setOpenFileReadOnly(fd_); }

bool FolderHandle::setTimes(FileTime creation_time, FileTime last_access_time,
                            FileTime last_write_time) const {
  return setOpenFileTimes(fd_, creation_time, last_access_time, last_write_time);
}

}  // namespace vl
