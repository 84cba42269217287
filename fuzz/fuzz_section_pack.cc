// The section-pack reader: any file content gives entries that lie wholly
// inside the file, in order, or none; it never reads past the file's end.
// Every entry not covered by a sync mark has bytes matching its checksum,
// and a pack that is not sound lists nothing.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "server/store/section_pack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = ::memfd_create("pack", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::ftruncate(fd, 0) != 0) return 0;
  size_t written = 0;
  while (written < size) {
    ssize_t put = ::pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (put <= 0) return 0;
    written += static_cast<size_t>(put);
  }
  const vl::PackScan scan = vl::scanPack(fd);
  if (scan.state != vl::PackState::kSound && !scan.entries.empty()) std::abort();
  if (scan.state == vl::PackState::kSound && size < vl::kPackHeaderSize) std::abort();
  // Sync marks are not listed, so an entry may start a whole number of entry
  // headers after the one before it ended.
  uint64_t previousEnd = vl::kPackHeaderSize;
  bool durable = true;
  for (const vl::PackEntry& entry : scan.entries) {
    if (entry.number == 0) std::abort();
    if (entry.durable && !durable) std::abort();  // durable entries come first
    durable = entry.durable;
    if (entry.dropped) {
      if (entry.length != 0 || entry.checksum != 0) std::abort();
      previousEnd += vl::kPackEntryHeaderSize;
      continue;
    }
    if (entry.offset < previousEnd + vl::kPackEntryHeaderSize) std::abort();
    if ((entry.offset - previousEnd) % vl::kPackEntryHeaderSize != 0) std::abort();
    if (entry.offset + entry.length > size) std::abort();
    if (!entry.durable && vl::packChecksum(data + entry.offset, entry.length) != entry.checksum) {
      std::abort();
    }
    previousEnd = entry.offset + entry.length;
  }
  return 0;
}
