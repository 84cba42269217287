// File: an open file of the local file system, read or written in pieces.
//
// Opening for reading shares the file with any other reader or writer (the
// interactive program and a background run read each other's state files).
// Creating new fails when the name already exists, so restored files never
// replace what is on the disk. The handle is closed when the object goes away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vl {

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  // Opens an existing file for reading without keeping others out.
  bool openForReading(const std::string& path);
  // Opens `path` for reading only when it is a regular file (following
  // symlinks). A FIFO or device put in a file's place is refused without
  // waiting for a writer, so it can never hold the caller.
  bool openRegularForReading(const std::string& path);
  // Creates `path` for writing; false when it already exists.
  bool createNew(const std::string& path);
  // Creates `path` for writing, or truncates it when it exists.
  bool createOrTruncate(const std::string& path);

  bool isOpen() const { return fd_ >= 0; }
  // Reads up to `length` bytes; the count read (0 at the end of the file), or
  // nothing on an error.
  std::optional<size_t> read(void* out, size_t length);
  // Writes all `length` bytes; false on a short write.
  bool write(const void* bytes, size_t length);
  // The current size of the open file.
  std::optional<uint64_t> size() const;
  // Closes the handle; false when the system reports an error on closing
  // (a write that did not reach the disk).
  bool close();

 private:
  bool openWith(const std::string& path, int flags);

  int fd_ = -1;
};

// The size of the file at `path`; nothing when it cannot be examined.
std::optional<uint64_t> fileSize(const std::string& path);
// Removes the file at `path`; false when it could not be removed.
bool deleteFile(const std::string& path);

}  // namespace vl
