#include "server/store/section_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vl {
namespace {

constexpr uint8_t kMagic[8] = {'V', 'L', 'P', 'A', 'C', 'K', 2, 0};
// The first six bytes name a pack of any version.
constexpr size_t kNameSize = 6;
// Mixed into the entry check so that a run of zeros never passes it.
constexpr uint32_t kCheckMask = 0x5EC7104B;
// The scan reads headers through a window this large: a pack of small
// records is read in one call.
constexpr size_t kScanWindow = 64 << 10;

void putU32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

void putU64(uint8_t* out, uint64_t value) {
  putU32(out, static_cast<uint32_t>(value));
  putU32(out + 4, static_cast<uint32_t>(value >> 32));
}

uint64_t getU64(const uint8_t* in) {
  return static_cast<uint64_t>(getU32(in)) | static_cast<uint64_t>(getU32(in + 4)) << 32;
}

// The byte-at-a-time table of the reflected Castagnoli polynomial.
constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) != 0 ? 0x82F63B78u : 0);
    table[i] = crc;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

uint32_t crcByTable(uint32_t crc, const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
// The processor's CRC-32C instruction: every record written is checksummed,
// and the table would take a second per GiB.
__attribute__((target("sse4.2"))) uint32_t crcByInstruction(uint32_t crc, const uint8_t* bytes,
                                                            size_t length) {
  uint64_t wide = crc;
  while (length >= 8) {
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    wide = __builtin_ia32_crc32di(wide, word);
    bytes += 8;
    length -= 8;
  }
  crc = static_cast<uint32_t>(wide);
  while (length > 0) {
    crc = __builtin_ia32_crc32qi(crc, *bytes++);
    --length;
  }
  return crc;
}

const bool kHaveCrcInstruction = __builtin_cpu_supports("sse4.2");
#endif

uint32_t entryCheck(const uint8_t* head) { return packChecksum(head, 12) ^ kCheckMask; }

bool isSyncMark(uint32_t number, uint32_t length, uint32_t checksum) {
  return number == 0 && length == 0 && checksum == 0;
}

// Pack bytes read through a window, so that walking the headers of a pack
// of small records costs one read rather than one per entry.
class ScanReader {
 public:
  ScanReader(int fd, uint64_t end) : fd_(fd), end_(end), window_(new uint8_t[kScanWindow]) {}

  // `length` (at most kScanWindow) bytes at `offset`, or null when they
  // cannot be read.
  const uint8_t* at(uint64_t offset, size_t length) {
    if (offset < start_ || offset + length > start_ + filled_) {
      const uint64_t left = end_ - offset;
      const size_t want = left < kScanWindow ? static_cast<size_t>(left) : kScanWindow;
      if (want < length || !readPackBytes(fd_, offset, window_.get(), want)) return nullptr;
      start_ = offset;
      filled_ = want;
    }
    return window_.get() + (offset - start_);
  }

  // Whether the `length` bytes at `offset` have the CRC-32C `expected`.
  bool bytesMatch(uint64_t offset, uint32_t length, uint32_t expected) {
    uint32_t crc = 0;
    while (length > 0) {
      const size_t piece = length < kScanWindow ? length : kScanWindow;
      const uint8_t* bytes = at(offset, piece);
      if (bytes == nullptr) return false;
      crc = packChecksum(bytes, piece, crc);
      offset += piece;
      length -= static_cast<uint32_t>(piece);
    }
    return crc == expected;
  }

 private:
  int fd_;
  uint64_t end_;
  std::unique_ptr<uint8_t[]> window_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
};

// Reads the header into `scan`; true when entries may follow it.
bool readHeader(ScanReader& reader, uint64_t end, PackScan* scan) {
  const size_t have = end < kPackHeaderSize ? static_cast<size_t>(end) : kPackHeaderSize;
  const uint8_t* head = have > 0 ? reader.at(0, have) : nullptr;
  const bool named =
      head != nullptr && have >= kNameSize && std::memcmp(head, kMagic, kNameSize) == 0;
  if (named && have >= sizeof kMagic && std::memcmp(head, kMagic, sizeof kMagic) != 0) {
    scan->state = PackState::kForeign;
    return false;
  }
  // Zeros, a header cut short or torn, or bytes that were never ours:
  // nothing of the pack was synced, so nothing in it counts.
  if (!named || have < kPackHeaderSize ||
      getU32(head + 16) != (packChecksum(head, 16) ^ kCheckMask)) {
    scan->state = PackState::kEmpty;
    return false;
  }
  scan->state = PackState::kSound;
  scan->generation = getU64(head + 8);
  return true;
}

}  // namespace

uint32_t packChecksum(const uint8_t* bytes, size_t length, uint32_t crc) {
  crc = ~crc;
#if defined(__x86_64__)
  if (kHaveCrcInstruction) return ~crcByInstruction(crc, bytes, length);
#endif
  return ~crcByTable(crc, bytes, length);
}

bool readPackBytes(int fd, uint64_t offset, uint8_t* out, size_t length) {
  while (length > 0) {
    ssize_t got = ::pread(fd, out, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return true;
}

PackScan scanPack(int fd) {
  PackScan scan;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    scan.state = PackState::kForeign;
    return scan;
  }
  const uint64_t end = static_cast<uint64_t>(info.st_size);
  ScanReader reader(fd, end);
  if (!readHeader(reader, end, &scan)) return scan;

  // Walk the headers; entries before the last sync mark are durable.
  size_t durable = 0;
  uint64_t position = kPackHeaderSize;
  while (end - position >= kPackEntryHeaderSize) {
    const uint8_t* head = reader.at(position, kPackEntryHeaderSize);
    if (head == nullptr || getU32(head + 12) != entryCheck(head)) break;
    PackEntry entry;
    entry.number = getU32(head);
    entry.length = getU32(head + 4);
    entry.checksum = getU32(head + 8);
    position += kPackEntryHeaderSize;
    if (isSyncMark(entry.number, entry.length, entry.checksum)) {
      durable = scan.entries.size();
      continue;
    }
    if (entry.number == 0) break;
    if (entry.length == kDroppedLength) {
      entry.length = 0;
      entry.dropped = true;
    } else {
      if (end - position < entry.length) break;
      entry.offset = position;
      position += entry.length;
    }
    scan.entries.push_back(entry);
  }

  // The bytes of the rest may not have reached the disk: the first entry
  // whose bytes do not match its check ends the pack.
  for (size_t i = 0; i < scan.entries.size(); ++i) {
    PackEntry& entry = scan.entries[i];
    if (i < durable) {
      entry.durable = true;
    } else if (!entry.dropped && !reader.bytesMatch(entry.offset, entry.length, entry.checksum)) {
      scan.entries.resize(i);
      break;
    }
  }
  return scan;
}

PackWriter::~PackWriter() { close(); }

bool PackWriter::create(const std::string& path, uint64_t generation) {
  if (fd_ >= 0) return false;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
  size_ = 0;
  broken_ = false;
  uint8_t head[kPackHeaderSize];
  std::memcpy(head, kMagic, sizeof kMagic);
  putU64(head + 8, generation);
  putU32(head + 16, packChecksum(head, 16) ^ kCheckMask);
  if (put(head, kPackHeaderSize, nullptr, 0)) return true;
  const int errorNumber = errno;
  close();
  ::unlink(path.c_str());
  errno = errorNumber;
  return false;
}

// Writes a header and the bytes after it at the end of the pack. A failed
// write may leave part of it in the file; the pack then takes nothing more,
// so that the readers' scan ends there.
bool PackWriter::put(const uint8_t* head, uint32_t headSize, const uint8_t* bytes,
                     uint32_t length) {
  if (broken_) return false;
  iovec parts[2] = {{const_cast<uint8_t*>(head), headSize}, {const_cast<uint8_t*>(bytes), length}};
  const int count = bytes != nullptr && length > 0 ? 2 : 1;
  uint64_t at = size_;
  int first = 0;
  while (first < count) {
    ssize_t wrote = ::pwritev(fd_, parts + first, count - first, static_cast<off_t>(at));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      broken_ = true;
      return false;
    }
    at += static_cast<uint64_t>(wrote);
    size_t left = static_cast<size_t>(wrote);
    while (first < count && left >= parts[first].iov_len) {
      left -= parts[first].iov_len;
      ++first;
    }
    if (first < count) {
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  size_ = at;
  return true;
}

bool PackWriter::putEntry(uint32_t number, uint32_t length, uint32_t checksum,
                          const uint8_t* bytes) {
  uint8_t head[kPackEntryHeaderSize];
  putU32(head, number);
  putU32(head + 4, length);
  putU32(head + 8, checksum);
  putU32(head + 12, entryCheck(head));
  const bool hasBytes = length != kDroppedLength;
  return put(head, kPackEntryHeaderSize, hasBytes ? bytes : nullptr, hasBytes ? length : 0);
}

bool PackWriter::append(uint32_t number, const uint8_t* bytes, uint32_t length, uint64_t* offset,
                        uint32_t* checksum) {
  if (fd_ < 0 || number == 0 || length == kDroppedLength) return false;
  const uint64_t at = size_ + kPackEntryHeaderSize;
  const uint32_t crc = packChecksum(bytes, length);
  if (!putEntry(number, length, crc, bytes)) return false;
  dirty_ = true;
  *offset = at;
  *checksum = crc;
  return true;
}

bool PackWriter::drop(uint32_t number) {
  if (fd_ < 0 || number == 0 || !putEntry(number, kDroppedLength, 0, nullptr)) return false;
  dirty_ = true;
  return true;
}

bool PackWriter::sync() {
  if (fd_ < 0 || !dirty_) return true;
  if (::fdatasync(fd_) != 0) return false;
  dirty_ = false;
  // Everything so far is durable whether or not the mark gets written; a
  // failed mark only stops the pack taking more.
  putEntry(0, 0, 0, nullptr);
  return true;
}

void PackWriter::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
  dirty_ = false;
}

}  // namespace vl
