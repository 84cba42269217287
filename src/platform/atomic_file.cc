#include "platform/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string_view>

#include "platform/folders.h"

namespace vl {
namespace {

constexpr std::string_view kTemporaryMark = ".tmp";
// Owner-only: see the header.
constexpr mode_t kTemporaryMode = 0600;

std::string temporaryNameFor(const std::string& target) {
  // Unique within the machine: two processes (the interactive program and a
  // background run) and several threads may save the same file at once.
  static std::atomic<unsigned> counter{0};
  return target + std::string(kTemporaryMark) + std::to_string(::getpid()) + "_" +
         std::to_string(counter++);
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The process id in a temporary name of ours ("<name>.tmp<pid>_<n>"), or 0
// when `name` is not one.
pid_t writerOfTemporary(std::string_view name) {
  const size_t mark = name.rfind(kTemporaryMark);
  if (mark == std::string_view::npos || mark == 0) return 0;
  const std::string_view tail = name.substr(mark + kTemporaryMark.size());
  const size_t underscore = tail.find('_');
  if (underscore == std::string_view::npos) return 0;
  const std::string_view pid = tail.substr(0, underscore);
  if (!allDigits(pid) || !allDigits(tail.substr(underscore + 1)) || pid.size() > 9) return 0;
  return static_cast<pid_t>(std::stol(std::string(pid)));
}

// A process we may not signal still runs; only "no such process" is gone.
bool processRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

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
  int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  kTemporaryMode);
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

int removeStaleTemporaries(const std::string& folder) {
  FolderListing listing;
  if (!listing.open(folder)) return 0;
  int removed = 0;
  FolderEntry entry;
  while (listing.next(&entry) == FolderListing::Next::kEntry) {
    if (entry.type != EntryType::kFile && entry.type != EntryType::kUnknown) continue;
    const pid_t writer = writerOfTemporary(entry.name);
    if (writer <= 0 || processRuns(writer)) continue;
    if (::unlinkat(listing.fd(), std::string(entry.name).c_str(), 0) == 0) ++removed;
  }
  return removed;
}

}  // namespace vl
