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
#include <span>
#include <string>

#include "platform/file_info.h"

namespace vl {

class FolderHandle;

// Who may open a file later on once this program has created it. The handle
// that creates the file may write to it whatever is chosen.
enum class FileAccess : unsigned char {
  kDefault,    // whatever the user's defaults allow
  kReadOnly,   // nobody may write (the read-only attribute)
  kOwnerOnly,  // the owner alone, for files that hold copy data
};

class File {
 public:
  // Pieces handed to the system in one call by writePieces and readPieces.
  static constexpr size_t kMaxPiecesPerCall = 64;

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

  // Creates `name` in `folder` for writing; false when the name exists
  // already, whatever it is (a symlink there is not followed).
  bool createNewAt(const FolderHandle& folder, const char* name, FileAccess access);
  // Creates `name` in `folder` for writing, or truncates the file there.
  bool createOrTruncateAt(const FolderHandle& folder, const char* name, FileAccess access);
  // Opens `name` in `folder`, a file this program made, for reading. Where
  // the system lets us, reading it leaves its access time alone, which spares
  // a metadata write per file read.
  bool openOwnForReadingAt(const FolderHandle& folder, const char* name);

  bool isOpen() const { return fd_ >= 0; }
  // Reads up to `length` bytes; the count read (0 at the end of the file), or
  // nothing on an error.
  std::optional<size_t> read(void* out, size_t length);
  // Writes all `length` bytes; false on a short write.
  bool write(const void* bytes, size_t length);
  // Moves the write position `length` bytes on without writing: what is
  // passed over reads as zeros, and the system may keep no disk space for
  // it. A file that ends in skipped bytes needs setLength to have them.
  bool skip(uint64_t length);
  // Makes the open file `length` bytes long; added bytes read as zeros.
  bool setLength(uint64_t length);
  // Writes all of `pieces` one after the other, handing the system up to
  // kMaxPiecesPerCall of them in one call; false on a short write.
  bool writePieces(std::span<const std::span<const uint8_t>> pieces);
  // Reads into `pieces`, filled one after the other, until at least `wanted`
  // bytes have come or the file ends. The count read (more than `wanted`
  // when the pieces have room for more and the file has it), or nothing on
  // an error.
  std::optional<size_t> readPieces(std::span<const std::span<uint8_t>> pieces, size_t wanted);
  // Sets the open file's times as setOpenFileTimes does.
  bool setTimes(FileTime creation_time, FileTime last_access_time, FileTime last_write_time);
  // Takes every write permission away from the open file (the read-only
  // attribute); this handle may still write.
  bool setReadOnly();
  // The current size of the open file.
  std::optional<uint64_t> size() const;
  // Closes the handle; false when the system reports an error on closing
  // (a write that did not reach the disk).
  bool close();

 private:
  bool openWith(int folder, const char* path, int flags, unsigned mode = 0644);

  int fd_ = -1;
};

// The size of the file at `path`; nothing when it cannot be examined.
std::optional<uint64_t> fileSize(const std::string& path);
// Removes the file at `path`; false when it could not be removed.
bool deleteFile(const std::string& path);
// True when the system says nothing has the name `path` (a symlink to
// nothing counts as nothing). False when something has, and also when the
// system cannot tell (a folder on the way may not be searched).
bool nameIsFree(const std::string& path);

enum class MoveOutcome : unsigned char { kMoved, kNameTaken, kFailed };
// Gives the file `from` the name `to` in the same file system, only when
// nothing has that name yet (kNameTaken otherwise): nothing is ever replaced.
MoveOutcome moveFileNoReplace(const std::string& from, const std::string& to);

}  // namespace vl
