// Feeds arbitrary bytes to decompress: the first byte picks the kind (0 to 5,
// 5 standing for every unknown kind), the rest is the body. Any input must
// either decode within the ceiling or fail with an empty result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codec/block_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t kind = data[0] % 6;
  // Small enough to keep runs fast; the checks do not depend on the size.
  constexpr uint32_t kCeiling = 256 * 1024;
  vl::ByteBuffer out;
  bool ok = vl::decompress(kind, {data + 1, size - 1}, &out, kCeiling);
  if (!ok && !out.empty()) std::abort();
  if (ok && (kind > 4 || out.size() > kCeiling)) std::abort();
  if (ok && kind == 0 && out.size() != size - 1) std::abort();
  return 0;
}
