#include "platform/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace vl {
namespace {

std::string temporaryNameFor(const std::string& target) {
  // Unique within the machine: two processes (the interactive program and a
  // background run) and several threads may save the same file at once.
  static std::atomic<unsigned> counter{0};
  return target + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

// Makes the rename itself durable; failure here is not fatal for the caller.
void syncParentFolder(const std::string& target) {
  auto slash = target.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() { abandon(); }

bool AtomicFileWriter::open(const std::string& target) {
  abandon();
  target_ = target;
  temporary_ = temporaryNameFor(target);
  int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    ::close(fd);
    ::unlink(temporary_.c_str());
    return false;
  }
  return true;
}

bool AtomicFileWriter::write(const void* bytes, size_t length) {
  if (file_ == nullptr) return false;
  return length == 0 || std::fwrite(bytes, 1, length, file_) == length;
}

bool AtomicFileWriter::commit() {
  if (file_ == nullptr) return false;
  bool ok = std::fflush(file_) == 0 && ::fsync(::fileno(file_)) == 0;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (ok && std::rename(temporary_.c_str(), target_.c_str()) == 0) {
    temporary_.clear();
    syncParentFolder(target_);
    return true;
  }
  ::unlink(temporary_.c_str());
  temporary_.clear();
  return false;
}

void AtomicFileWriter::abandon() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

}  // namespace vl
