// The serialised form of a FileList (the payload that a list record seals).
//
// All integers little-endian; a field is a u32 byte count and the bytes.
//   u16 version, u32 nextSectionNumber, u32 entryCount, then per entry:
//   field name; u8 isFolder; u8 isFolderEnd; creation, last-access and
//   last-write time, each as u32 high then u32 low; u32 attributes;
//   field contentHash; u32 section count; per section u32 number, field hash.
// Names from version 3 on are UTF-16 code units, high byte first, without a
// terminator. Versions below 3 hold 8-bit characters up to the first zero
// byte; those are only read, never written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/byte_buffer.h"
#include "model/file_list.h"

namespace vl {

// The smallest entry: empty name and hash fields and no sections.
inline constexpr uint32_t kMinListEntryBytes = 42;
inline constexpr uint32_t kListHeaderBytes = 10;

// The version written for a base version: base + 2 below 3 (new lists are
// serialised with base 1 and so carry 3), the base itself from 3 on. Since
// names are always written as UTF-16, the result is never below 3: a list
// read as version 0 is written as 3, not as 2, whose names would be read back
// as 8-bit characters.
uint16_t listVersionFor(uint16_t baseVersion);

// The payload of `list` under listVersionFor(baseVersion). Empty only when
// the payload would not fit in 4 GiB.
ByteBuffer serializeList(const FileList& list, uint16_t baseVersion);

// Reads a payload; the list's version is the one that was read. Nothing when
// the payload is damaged: shorter than its header, an entry count that the
// remaining bytes cannot hold, any entry or field running past the end, a
// UTF-16 name of odd length, a hash longer than a SHA-256 value, or a file
// whose single section's hash differs from its content hash. Bytes after the
// last entry are ignored.
std::optional<FileList> parseList(std::span<const uint8_t> payload);

}  // namespace vl
