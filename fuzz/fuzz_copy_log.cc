// Any bytes as the contents of "logg.bin": the parse either takes every
// record or refuses the whole buffer, and never reads outside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/byte_buffer.h"
#include "engine/copy_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vl::ByteBuffer buffer(data, size);
  std::vector<vl::CopyLogRecord> records;
  const bool whole = vl::parseCopyLog(buffer, &records);
  if (!whole && !records.empty()) std::abort();
  if (whole && records.size() * 22 > size) std::abort();
  return 0;
}
