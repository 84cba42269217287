// openList on arbitrary bytes, and on arbitrary bodies wrapped in records
// that carry a valid tag, so that the decryption, padding and decompression
// steps behind the tag check are reached too. The first input byte picks:
//   0: the rest is a whole record;
//   1: the rest is the plain body of a version-1 record;
//   2: the rest is the plain body of a version-0 record.
// Whatever opens is parsed as a list.
#include <cstddef>
#include <cstdint>
#include <span>

#include "model/list_payload.h"
#include "model/list_record.h"
#include "tagged_body.h"

namespace {

const uint8_t kLocalKey[32] = {0x4c, 0x69, 0x73, 0x74, 1,  2,  3,  4,  5,  6,  7,
                               8,    9,    10,   11,   12, 13, 14, 15, 16, 17, 18,
                               19,   20,   21,   22,   23, 24, 25, 26, 27, 28};

vl::ByteBuffer wrap(std::span<const uint8_t> plain, uint16_t version) {
  const uint8_t iv[16] = {7, 7, 7};
  vl::ByteBuffer record;
  record.appendU16(vl::kListRecordType);
  record.appendU16(version);
  record.appendU16(0);
  if (!vl::fuzz::appendTaggedBody(record, plain, version, kLocalKey, iv)) return {};
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::span<const uint8_t> rest(data + 1, size - 1);
  vl::ByteBuffer record;
  if (data[0] == 1 || data[0] == 2) {
    record = wrap(rest, data[0] == 1 ? 1 : 0);
  } else {
    record = vl::ByteBuffer(rest);
  }
  std::optional<vl::ByteBuffer> payload = vl::openList(record.span(), kLocalKey);
  if (payload) (void)vl::parseList(payload->span());
  return 0;
}
