// openSection on arbitrary bytes, and on arbitrary bodies wrapped in records
// that carry a valid wrapped secret and tag, so that the decryption, padding
// and decompression behind the key checks are reached too. The first input
// byte picks:
//   0: the rest is a whole record;
//   1, 2: the second byte is the kind and the rest the plain body of a
//         version-1 (1) or version-0 (2) record under the fixed keys.
// Whatever opens must be a piece of at most 2 MiB. With the top bit of the
// first byte set, the record is also opened together with copies of itself
// and a good record, which must give what opening each alone gives. Opening
// in two steps, in the record's own memory, must give the same as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "../tests/crypto/rsa_test_keys.h"
#include "crypto/sha256.h"
#include "model/section_record.h"
#include "tagged_body.h"

namespace {

const uint8_t kLocalKey[32] = {0x53, 0x65, 0x63, 0x74, 1,  2,  3,  4,  5,  6,  7,
                               8,    9,    10,   11,   12, 13, 14, 15, 16, 17, 18,
                               19,   20,   21,   22,   23, 24, 25, 26, 27, 28};

const vl::RsaKey& key() { return vl::test::fixedKeys().encryption; }

// One fixed wrapped secret and its record key K = local key XOR S.
struct Wrapped {
  vl::ByteBuffer ciphertext;
  vl::ByteBuffer recordKey;
  Wrapped() {
    vl::BigNumber r(0x0123456789abcdefULL);
    r.setBit(2000);
    vl::BigNumber c;
    if (!key().publicOperation(r, &c)) std::abort();
    ciphertext = c.toBytes(256);
    vl::ByteBuffer secret = vl::sha256(r.toBytes(0));
    recordKey = vl::ByteBuffer(32);
    for (int i = 0; i < 32; ++i) recordKey[i] = kLocalKey[i] ^ secret[i];
  }
};

vl::ByteBuffer wrap(std::span<const uint8_t> plain, uint16_t version, uint8_t kind) {
  static const Wrapped wrapped;
  const uint8_t iv[16] = {9, 9, 9};
  vl::ByteBuffer record;
  record.appendU16(vl::kSectionRecordType);
  record.appendU16(version);
  record.appendU8(0);
  record.appendU8(kind);
  record.appendCounted(wrapped.ciphertext);
  if (!vl::fuzz::appendTaggedBody(record, plain, version, wrapped.recordKey.span(), iv)) std::abort();
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || !vl::test::fixedKeys().ok) return 0;
  vl::ByteBuffer record;
  if ((data[0] == 1 || data[0] == 2) && size >= 2) {
    record = wrap(std::span<const uint8_t>(data + 2, size - 2), data[0] == 1 ? 1 : 0, data[1]);
  } else {
    record = vl::ByteBuffer(data + 1, size - 1);
  }
  std::optional<vl::ByteBuffer> piece = vl::openSection(record.span(), kLocalKey, key());
  if (piece && piece->size() > vl::kMaxSectionSize && record[5] != 0) std::abort();
  // In two steps, and decrypted in the record's own memory: the same.
  const std::span<const uint8_t> alone[] = {record.span()};
  std::vector<std::optional<vl::ByteBuffer>> secrets =
      vl::unwrapSectionSecrets(alone, kLocalKey, key());
  if (secrets.size() != 1 || (!secrets[0] && piece)) std::abort();
  if (secrets[0]) {
    vl::ByteBuffer used = record;
    if (vl::openUnwrappedSection(used, kLocalKey, *secrets[0]) != piece) std::abort();
  }
  if ((data[0] & 0x80) != 0) {
    static const vl::ByteBuffer good = wrap(std::span<const uint8_t>(kLocalKey), 1, 0);
    const std::span<const uint8_t> records[] = {record.span(), good.span(),   record.span(),
                                                record.span(), record.span(), record.span()};
    std::vector<std::optional<vl::ByteBuffer>> pieces = vl::openSections(records, kLocalKey, key());
    if (pieces.size() != 6 || !pieces[1] || pieces[1]->span().size() != sizeof kLocalKey) {
      std::abort();
    }
    for (size_t i : {0, 2, 3, 4, 5}) {
      if (pieces[i] != piece) std::abort();
    }
  }
  return 0;
}
