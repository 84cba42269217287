// File metadata as copies keep it: size, four attribute bits and three times.
//
// Times are 64-bit counts of 100 ns since 1601-01-01 UTC, the form file lists
// and restart state store. Of the attribute bits only four are ever produced:
// read-only (the owner may not write), hidden (the name starts with a dot),
// system (never on this platform) and archive (every regular file).
//
// The creation time comes from the file system's birth time where it keeps
// one; elsewhere the last-write time stands in, so that a file that was not
// written to still compares as unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vl {

constexpr uint32_t kAttributeReadOnly = 1;
constexpr uint32_t kAttributeHidden = 2;
constexpr uint32_t kAttributeSystem = 4;
constexpr uint32_t kAttributeArchive = 32;
// The bits a copy keeps; everything else is dropped.
constexpr uint32_t kKeptAttributes =
    kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;

// 100 ns units since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeEpochOffset = 11644473600;

// Converts a POSIX time. Times before 1601 give 0.
FileTime fileTimeFromUnix(int64_t seconds, uint32_t nanoseconds);
// The POSIX time of `time`; nanoseconds are a multiple of 100.
void unixFromFileTime(FileTime time, int64_t* seconds, uint32_t* nanoseconds);

enum class FileKind : uint8_t {
  kRegular,
  kFolder,
  kOther,  // FIFO, socket, device, or a symlink examined without following it
};

struct FileInfo {
  FileKind kind = FileKind::kOther;
  bool is_symlink = false;  // the name itself is a symlink (only when not followed)
  uint64_t size = 0;        // 0 for anything but regular files
  uint32_t attributes = 0;  // kept bits only
  FileTime creation_time = 0;
  FileTime last_access_time = 0;
  FileTime last_write_time = 0;
};

// True when `name` (a single component) counts as hidden.
bool isHiddenName(std::string_view name);

// Metadata of `path`, following symlinks. False when it cannot be examined.
bool readFileInfo(const std::string& path, FileInfo* info);
// Metadata of `name` in the folder open as `folder_fd`. With `follow` false a
// symlink describes itself (kind kOther, is_symlink set).
bool readFileInfoAt(int folder_fd, const char* name, bool follow, FileInfo* info);

// Applies the read-only bit to `path` (file or folder): set, every write
// permission is taken away; clear, the owner may write again. Hidden, system
// and archive have no counterpart on this platform and are ignored.
bool setFileAttributes(const std::string& path, uint32_t attributes);
// Sets the last-access and last-write times of `path` (file or folder). A
// time of 0 leaves that time as it is. The creation time cannot be set on
// this platform and is ignored.
bool setFileTimes(const std::string& path, FileTime creation_time, FileTime last_access_time,
                  FileTime last_write_time);
// The same for the file or folder open as `fd`.
bool setOpenFileTimes(int fd, FileTime creation_time, FileTime last_access_time,
                      FileTime last_write_time);
// Sets the read-only bit of the file or folder open as `fd`: every write
// permission is taken away; nothing changes when it has none.
bool setOpenFileReadOnly(int fd);

}  // namespace vl
