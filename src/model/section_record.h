// Section records: one piece of a file (at most 2 MiB), compressed, wrapped
// for the account and sealed, as the server stores it.
//
//   u16 type 100, u16 version (1 written; 0 and 1 read), u8 0, u8 kind,
//   field: wrapped secret (RSA ciphertext, 256 bytes),
//   field: body = IV (16) || AES-256-CBC ciphertext || HMAC-SHA256 tag (32).
//
// Each record gets a fresh secret r below the account's modulus; S is the
// SHA-256 of r's word form, and the record key K = local key XOR S is the
// master key of the section cipher. Reading a record therefore needs both the
// local key and the private half of the encryption key. Version 0 (read
// only) uses K itself as the AES and HMAC key and keeps the tag in a third
// field. Failures produce nothing, and every temporary is wiped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"

namespace vl {

inline constexpr uint16_t kSectionRecordType = 100;
inline constexpr uint16_t kSectionRecordVersion = 1;
// A file is cut into pieces of this size; the last holds the remainder.
inline constexpr uint32_t kMaxSectionSize = 2097152;

// What one sealSection call did, for the copy statistics.
struct SectionStats {
  bool compressed = false;          // the record's kind is not 0
  bool compressionUseless = false;  // compression asked for but not shorter
  uint32_t plainLength = 0;         // bytes of file data
  uint32_t storedLength = 0;        // bytes sealed (compressed or plain)
};

// Seals `piece` into a version-1 record: kind 4 when compression is asked for
// and makes the data shorter, kind 0 otherwise. Needs a 32-byte local key,
// the public half of an encryption key with a 256-byte modulus and a pool
// with at least 512 credit. Empty on any failure (the statistics are then
// unspecified).
ByteBuffer sealSection(std::span<const uint8_t> piece, std::span<const uint8_t> localKey,
                       const RsaKey& encryptionKey, bool compress, RandomPool& pool,
                       SectionStats* stats);

// The piece of a record of version 0 or 1 and kind 0 to 4, given the local
// key and the private half of the encryption key. Nothing for a wrong type,
// version above 1, non-zero byte 4, unknown kind, a wrapped secret of the
// wrong length or not below the modulus, a tag mismatch (wrong key, another
// account, altered bytes), a truncated record or a corrupt compressed stream.
std::optional<ByteBuffer> openSection(std::span<const uint8_t> record,
                                      std::span<const uint8_t> localKey,
                                      const RsaKey& encryptionKey);

// openSection on each of `records` (entry i for records[i]), with the private
// operations of all of them done together, which is several times faster
// per record where the processor allows it.
std::vector<std::optional<ByteBuffer>> openSections(
    std::span<const std::span<const uint8_t>> records, std::span<const uint8_t> localKey,
    const RsaKey& encryptionKey);

// openSections in its two steps, for callers that spread the second over
// several threads: unwrapSectionSecrets does the private operations of all
// `records` together and gives each record's secret S (nothing for a record
// that fails the checks made before it); openUnwrappedSection then checks,
// decrypts and expands one record with its secret.
// openUnwrappedSection(records[i], localKey, *secrets[i]) is exactly what
// openSection(records[i], ...) gives.
std::vector<std::optional<ByteBuffer>> unwrapSectionSecrets(
    std::span<const std::span<const uint8_t>> records, std::span<const uint8_t> localKey,
    const RsaKey& encryptionKey);
std::optional<ByteBuffer> openUnwrappedSection(std::span<const uint8_t> record,
                                               std::span<const uint8_t> localKey,
                                               const ByteBuffer& secret);
// The same, decrypting in the record's own memory instead of a copy: the
// record is used up (left holding partly decrypted bytes, or wiped).
std::optional<ByteBuffer> openUnwrappedSection(ByteBuffer& record,
                                               std::span<const uint8_t> localKey,
                                               const ByteBuffer& secret);

// The wrapped secret of `record`, a view into it, when the record passes
// every check of openSection that needs no key (type, version, byte 4,
// kind, whole fields); nothing otherwise.
std::optional<std::span<const uint8_t>> wrappedSecretOf(std::span<const uint8_t> record);

}  // namespace vl
