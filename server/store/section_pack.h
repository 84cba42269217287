// SectionPack: one file holding many section records, one after another.
//
// A copy stores thousands of sections; one file each made creating files the
// largest cost of a first copy. A pack is written by one store run only,
// always at its end, and never reopened for writing, so a crash can damage
// nothing but its tail. Layout (integers little-endian):
//   "VLPACK" 0x02 0x00, u64 generation, u32 header check    20-byte header
//   entries: u32 number, u32 length, u32 data check, u32 entry check,
//            then `length` record bytes
// The generation orders packs: a store gives each new pack one more than the
// highest it holds, and an entry of a later generation (or later in the same
// pack) wins over an earlier one, whatever the files are called. A length of
// kDroppedLength (no bytes follow) drops the number. Number 0 with length 0
// is a sync mark: it is written only once everything before it is on the
// disk. The entry check (CRC-32C of the first 12 bytes) ties number, length
// and data check together; the data check is the CRC-32C of the record
// bytes. A crash before a sync can leave a tail whose headers survived but
// whose bytes did not (zeros where the file was extended first), so the scan
// checks the bytes of every entry after the last sync mark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vl {

inline constexpr uint32_t kPackHeaderSize = 20;
inline constexpr uint32_t kPackEntryHeaderSize = 16;
inline constexpr uint32_t kDroppedLength = 0xFFFFFFFF;

// CRC-32C (Castagnoli) of `length` bytes, continuing from `crc` (0 to start).
uint32_t packChecksum(const uint8_t* bytes, size_t length, uint32_t crc = 0);

struct PackEntry {
  uint32_t number = 0;
  // Record bytes at `offset` in the pack; unused for a dropped number.
  uint64_t offset = 0;
  uint32_t length = 0;
  // The CRC-32C of the record bytes; 0 for a dropped number.
  uint32_t checksum = 0;
  bool dropped = false;
  // A sync mark follows the entry: it reached the disk before anything
  // after the mark was written. Entries without one had their bytes checked.
  bool durable = false;
};

enum class PackState : unsigned char {
  kSound,    // a pack of this format; `entries` holds what survived
  kEmpty,    // no whole header: a pack a crash cut off before its first sync
  kForeign,  // a pack of another format version, or not a regular file
};

struct PackScan {
  PackState state = PackState::kEmpty;
  uint64_t generation = 0;
  std::vector<PackEntry> entries;
};

// Reads exactly `length` bytes at `offset` of the pack open on `fd`; false
// on an error or when the file ends first.
bool readPackBytes(int fd, uint64_t offset, uint8_t* out, size_t length);

// The entries of the pack open on `fd`, in file order, up to the first
// entry that is not whole and sound (its bytes included, when no sync mark
// follows it). A header of zeros or one cut short (what a crash before the
// first sync leaves) reads as an empty pack; one with our name but another
// version, as foreign. Never fails on any content; reads the record bytes
// of entries after the last sync mark only.
PackScan scanPack(int fd);

// Appends to a new pack. Not thread-safe: the store serialises its calls.
class PackWriter {
 public:
  PackWriter() = default;
  PackWriter(const PackWriter&) = delete;
  PackWriter& operator=(const PackWriter&) = delete;
  // Closes the pack without syncing it.
  ~PackWriter();

  // Creates `path` (failing when it exists) and writes the header.
  bool create(const std::string& path, uint64_t generation);
  // Appends one record; `*offset` gets the position of its bytes and
  // `*checksum` their CRC-32C. After a failed write the pack refuses every
  // further entry.
  bool append(uint32_t number, const uint8_t* bytes, uint32_t length, uint64_t* offset,
              uint32_t* checksum);
  // Appends an entry that drops `number`.
  bool drop(uint32_t number);
  // Makes everything appended so far durable, then appends a sync mark
  // (itself not waited for) so that a later scan trusts those entries
  // without reading their bytes.
  bool sync();
  // Closes the pack (keeping what was written) without syncing it.
  void close();

  bool isOpen() const { return fd_ >= 0; }
  // A write failed: the pack takes nothing more.
  bool broken() const { return broken_; }
  uint64_t size() const { return size_; }
  bool dirty() const { return dirty_; }

 private:
  bool put(const uint8_t* head, uint32_t headSize, const uint8_t* bytes, uint32_t length);
  bool putEntry(uint32_t number, uint32_t length, uint32_t checksum, const uint8_t* bytes);

  int fd_ = -1;
  uint64_t size_ = 0;
  bool dirty_ = false;
  bool broken_ = false;
};

}  // namespace vl
