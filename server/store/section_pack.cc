#include "server/store/section_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vl {
namespace {

constexpr uint8_t kHeader[kPackHeaderSize] = {'V', 'L', 'P', 'A', 'C', 'K', 1, 0};
constexpr uint32_t kCheckMask = 0x5EC7104B;

uint32_t checkOf(uint32_t number, uint32_t length) {
  return (number * 0x9E3779B1u) ^ length ^ kCheckMask;
}

void putU32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace

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

std::vector<PackEntry> scanPack(int fd) {
  std::vector<PackEntry> entries;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return entries;
  const uint64_t end = static_cast<uint64_t>(info.st_size);
  uint8_t header[kPackHeaderSize];
  if (!readPackBytes(fd, 0, header, sizeof header) ||
      std::memcmp(header, kHeader, sizeof header) != 0) {
    return entries;
  }
  uint64_t position = kPackHeaderSize;
  while (end - position >= kPackEntryHeaderSize) {
    uint8_t raw[kPackEntryHeaderSize];
    if (!readPackBytes(fd, position, raw, sizeof raw)) break;
    PackEntry entry;
    entry.number = getU32(raw);
    entry.length = getU32(raw + 4);
    if (entry.number == 0 || getU32(raw + 8) != checkOf(entry.number, entry.length)) break;
    position += kPackEntryHeaderSize;
    if (entry.length == kDroppedLength) {
      entry.length = 0;
      entry.dropped = true;
    } else {
      if (end - position < entry.length) break;
      entry.offset = position;
      position += entry.length;
    }
    entries.push_back(entry);
  }
  return entries;
}

PackWriter::~PackWriter() {
  if (fd_ >= 0) ::close(fd_);
}

bool PackWriter::create(const std::string& path) {
  if (fd_ >= 0) return false;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
  size_ = 0;
  dirty_ = true;
  if (put(0, 0, nullptr)) return true;
  ::close(fd_);
  ::unlink(path.c_str());
  fd_ = -1;
  return false;
}

// Writes the pack header (number 0) or one entry at the end of the pack. A
// failed write may leave part of the entry in the file; the pack then takes
// nothing more, so that the readers' scan ends there.
bool PackWriter::put(uint32_t number, uint32_t length, const uint8_t* bytes) {
  if (broken_) return false;
  uint8_t head[kPackEntryHeaderSize];
  iovec parts[2];
  int count = 1;
  if (number == 0) {
    std::memcpy(head, kHeader, kPackHeaderSize);
    parts[0] = {head, kPackHeaderSize};
  } else {
    putU32(head, number);
    putU32(head + 4, length);
    putU32(head + 8, checkOf(number, length));
    parts[0] = {head, kPackEntryHeaderSize};
    if (bytes != nullptr && length != kDroppedLength && length > 0) {
      parts[1] = {const_cast<uint8_t*>(bytes), length};
      count = 2;
    }
  }
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
  dirty_ = true;
  return true;
}

bool PackWriter::append(uint32_t number, const uint8_t* bytes, uint32_t length, uint64_t* offset) {
  if (fd_ < 0 || number == 0 || length == kDroppedLength) return false;
  const uint64_t at = size_ + kPackEntryHeaderSize;
  if (!put(number, length, bytes)) return false;
  *offset = at;
  return true;
}

bool PackWriter::drop(uint32_t number) {
  return fd_ >= 0 && number != 0 && put(number, kDroppedLength, nullptr);
}

bool PackWriter::sync() {
  if (fd_ < 0 || !dirty_) return true;
  if (::fdatasync(fd_) != 0) return false;
  dirty_ = false;
  return true;
}

int PackWriter::release() {
  int fd = fd_;
  fd_ = -1;
  size_ = 0;
  dirty_ = false;
  broken_ = false;
  return fd;
}

}  // namespace vl
