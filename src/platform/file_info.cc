#include "platform/file_info.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace vl {
namespace {

constexpr uint64_t kTicksPerSecond = 10000000;

// statx is missing under some sandboxes and old kernels; after the first
// ENOSYS every call goes straight to fstatat.
std::atomic<bool> statx_missing{false};

FileTime fromTimespec(const struct timespec& t) {
  return fileTimeFromUnix(t.tv_sec, static_cast<uint32_t>(t.tv_nsec));
}

FileTime fromStatxTime(const struct statx_timestamp& t) {
  return fileTimeFromUnix(t.tv_sec, t.tv_nsec);
}

void fillFromMode(uint32_t mode, std::string_view name, FileInfo* info) {
  info->is_symlink = S_ISLNK(mode);
  if (S_ISREG(mode)) {
    info->kind = FileKind::kRegular;
  } else if (S_ISDIR(mode)) {
    info->kind = FileKind::kFolder;
  } else {
    info->kind = FileKind::kOther;
  }
  uint32_t attributes = 0;
  if ((mode & S_IWUSR) == 0) attributes |= kAttributeReadOnly;
  if (isHiddenName(name)) attributes |= kAttributeHidden;
  if (info->kind == FileKind::kRegular) attributes |= kAttributeArchive;
  info->attributes = attributes;
  if (info->kind != FileKind::kRegular) info->size = 0;
}

bool examine(int folder_fd, const char* path, std::string_view name, bool follow,
             FileInfo* info) {
  const int flags = follow ? 0 : AT_SYMLINK_NOFOLLOW;
  if (!statx_missing.load(std::memory_order_relaxed)) {
    struct statx sx {};
    if (::statx(folder_fd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
      info->size = sx.stx_size;
      info->last_access_time = fromStatxTime(sx.stx_atime);
      info->last_write_time = fromStatxTime(sx.stx_mtime);
      info->creation_time =
          (sx.stx_mask & STATX_BTIME) != 0 ? fromStatxTime(sx.stx_btime) : info->last_write_time;
      fillFromMode(sx.stx_mode, name, info);
      return true;
    }
    if (errno != ENOSYS) return false;
    statx_missing.store(true, std::memory_order_relaxed);
  }
  struct stat st {};
  if (::fstatat(folder_fd, path, &st, flags) != 0) return false;
  info->size = static_cast<uint64_t>(st.st_size);
  info->last_access_time = fromTimespec(st.st_atim);
  info->last_write_time = fromTimespec(st.st_mtim);
  info->creation_time = info->last_write_time;
  fillFromMode(st.st_mode, name, info);
  return true;
}

// The last component of `path`, ignoring trailing slashes.
std::string_view lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct timespec toTimespec(FileTime time) {
  struct timespec t {};
  if (time == 0) {
    t.tv_nsec = UTIME_OMIT;
    return t;
  }
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
  unixFromFileTime(time, &seconds, &nanoseconds);
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec = static_cast<long>(nanoseconds);
  return t;
}

}  // namespace

FileTime fileTimeFromUnix(int64_t seconds, uint32_t nanoseconds) {
  if (seconds < -kFileTimeEpochOffset) return 0;
  uint64_t since_1601 = static_cast<uint64_t>(seconds + kFileTimeEpochOffset);
  if (since_1601 >= UINT64_MAX / kTicksPerSecond) return UINT64_MAX;
  return since_1601 * kTicksPerSecond + nanoseconds / 100;
}

void unixFromFileTime(FileTime time, int64_t* seconds, uint32_t* nanoseconds) {
  *seconds = static_cast<int64_t>(time / kTicksPerSecond) - kFileTimeEpochOffset;
  *nanoseconds = static_cast<uint32_t>(time % kTicksPerSecond) * 100;
}

bool isHiddenName(std::string_view name) {
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

bool readFileInfo(const std::string& path, FileInfo* info) {
  *info = FileInfo{};
  return examine(AT_FDCWD, path.c_str(), lastComponent(path), true, info);
}

bool readFileInfoAt(int folder_fd, const char* name, bool follow, FileInfo* info) {
  *info = FileInfo{};
  return examine(folder_fd, name, name, follow, info);
}

bool setFileAttributes(const std::string& path, uint32_t attributes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if ((attributes & kAttributeReadOnly) != 0) {
    mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  } else {
    mode |= S_IWUSR;
  }
  if (mode == (st.st_mode & 07777)) return true;
  return ::chmod(path.c_str(), mode) == 0;
}

bool setFileTimes(const std::string& path, FileTime /*creation_time*/, FileTime last_access_time,
                  FileTime last_write_time) {
  struct timespec times[2] = {toTimespec(last_access_time), toTimespec(last_write_time)};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool setOpenFileTimes(int fd, FileTime /*creation_time*/, FileTime last_access_time,
                      FileTime last_write_time) {
  struct timespec times[2] = {toTimespec(last_access_time), toTimespec(last_write_time)};
  return ::futimens(fd, times) == 0;
}

bool setOpenFileReadOnly(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  const mode_t mode = st.st_mode & 07777;
  const mode_t wanted = mode & static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  return wanted == mode || ::fchmod(fd, wanted) == 0;
}

}  // namespace vl
