// UpdatableFile: an existing file changed in place, at offsets the caller
// chooses, for files that grow by appending (the copy log) and whose
// writer orders its own writes and syncs for crash safety.
//
// FileIdentity tells whether a file is still the one seen before: the same
// file (device and inode), the same size and the same change times. Any
// write by anyone, and any replacement by rename, changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vl {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;

  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at `path`; nothing when it cannot be examined.
std::optional<FileIdentity> fileIdentity(const std::string& path);

class UpdatableFile {
 public:
  enum class Mode : unsigned char { kReadWrite, kReadOnly };
  enum class Opened : unsigned char {
    kOpened,
    kMissing,     // nothing has the name
    kNotAllowed,  // the file's access does not let us open it so
    kFailed,      // see error(): no descriptors left, not a file, ...
  };

  UpdatableFile() = default;
  UpdatableFile(const UpdatableFile&) = delete;
  UpdatableFile& operator=(const UpdatableFile&) = delete;
  ~UpdatableFile();

  // Opens the existing regular file `path`; never creates one.
  Opened open(const std::string& path, Mode mode);
  // Reads up to `length` bytes at `offset`, fewer only where the file ends;
  // nothing on an error.
  std::optional<size_t> readAt(uint64_t offset, void* out, size_t length);
  // Writes all `length` bytes at `offset`; false on any shortfall.
  bool writeAt(uint64_t offset, const void* bytes, size_t length);
  bool truncate(uint64_t length);
  // Makes what was written durable (the data and the size).
  bool sync();
  std::optional<FileIdentity> identity() const;
  // The system's error number of the last failed call.
  int error() const { return error_; }
  void close();

 private:
  int fd_ = -1;
  int error_ = 0;
};

}  // namespace vl
