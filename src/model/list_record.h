// The list record: a list payload compressed and sealed under the account's
// local key, the form in which lists are stored on the server and sent.
//
//   u16 record type 103, u16 format version, u8 0, u8 0, field body.
// Version 1 (the one written): the body is the count-table Huffman stream of
// the payload (nothing for an empty payload), sealed by SectionCipher with
// the local key as master key. Version 0 (only read): the body is IV and
// AES-256-CBC ciphertext under the local key itself, followed by a second
// field holding the HMAC-SHA256 tag of the body, also keyed with the local
// key. Only the local key is needed; no RSA wrapping is involved.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"

namespace vl {

inline constexpr uint16_t kListRecordType = 103;

// Seals `payload` into a version-1 record. Empty when sealing fails: the
// pool holds less than 512 credit or refuses, or the key is refused.
ByteBuffer sealList(std::span<const uint8_t> payload, std::span<const uint8_t> localKey,
                    RandomPool& pool);

// Opens a record of version 0 or 1 and gives its payload (possibly empty).
// Nothing when the header is not type 103, version 0 or 1 with two zero
// bytes, when a field runs past the end, the tag does not match (wrong key,
// altered bytes), or the decrypted body is not a valid compressed stream.
std::optional<ByteBuffer> openList(std::span<const uint8_t> record,
                                   std::span<const uint8_t> localKey);

}  // namespace vl
