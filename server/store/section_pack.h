// SectionPack: one file holding many section records, one after another.
//
// A copy stores thousands of sections; one file each made creating files the
// largest cost of a first copy. A pack is written by one store run only,
// always at its end, and never reopened for writing, so a crash can damage
// nothing but its tail. Layout:
//   "VLPACK" 0x01 0x00                        8-byte header
//   entries: u32 number, u32 length, u32 check, then `length` record bytes
// A length of kDroppedLength (no bytes follow) drops the number: a later
// entry always wins over an earlier one. `check` ties number and length
// together, so that a zero-filled or torn tail (left by a crash before the
// pack was synced) ends the entries instead of being taken for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vl {

inline constexpr uint32_t kPackHeaderSize = 8;
inline constexpr uint32_t kPackEntryHeaderSize = 12;
inline constexpr uint32_t kDroppedLength = 0xFFFFFFFF;

struct PackEntry {
  uint32_t number = 0;
  // Record bytes at `offset` in the pack; unused for a dropped number.
  uint64_t offset = 0;
  uint32_t length = 0;
  bool dropped = false;
};

// Reads exactly `length` bytes at `offset` of the pack open on `fd`; false
// on an error or when the file ends first.
bool readPackBytes(int fd, uint64_t offset, uint8_t* out, size_t length);

// The entries of the pack open on `fd`, in file order, up to the first
// entry that is not whole and sound. Empty when the header is wrong. Reads
// only headers; never fails on any content.
std::vector<PackEntry> scanPack(int fd);

// Appends to a new pack. Not thread-safe: the store serialises its calls.
class PackWriter {
 public:
  PackWriter() = default;
  PackWriter(const PackWriter&) = delete;
  PackWriter& operator=(const PackWriter&) = delete;
  ~PackWriter();

  // Creates `path` (failing when it exists) and writes the header.
  bool create(const std::string& path);
  // Appends one record; `*offset` gets the position of its bytes. After a
  // failed write the pack refuses every further entry.
  bool append(uint32_t number, const uint8_t* bytes, uint32_t length, uint64_t* offset);
  // Appends an entry that drops `number`.
  bool drop(uint32_t number);
  // Makes everything appended so far durable.
  bool sync();
  // Gives up the file (keeping what was written); returns its handle, which
  // the caller then owns.
  int release();

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  uint64_t size() const { return size_; }
  bool dirty() const { return dirty_; }

 private:
  bool put(uint32_t number, uint32_t length, const uint8_t* bytes);

  int fd_ = -1;
  uint64_t size_ = 0;
  bool dirty_ = false;
  bool broken_ = false;
};

}  // namespace vl
