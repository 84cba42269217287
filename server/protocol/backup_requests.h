// The payloads of the backup, restore and list requests as the server reads
// them: the fields after the sequence number, taken with a strict reader, and
// the shape checks a record must pass before it is stored.
//
// The server never opens a record (it holds no key that could), so these
// checks see only what is visible from outside: headers, field lengths and
// counts. They keep out what no client of ours sends and what a restore
// could not use.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/strict_reader.h"
#include "server/storage/backup_store.h"

namespace vl {

// A section record whose visible parts are as a client writes them: type
// 100, version 0 or 1, byte 4 zero, kind at most 4, a 256-byte wrapped
// secret, a non-empty sealed body, and (version 0 only) a 32-byte tag field;
// nothing after.
bool soundSectionRecord(std::span<const uint8_t> record);

// A list record with the header of type 103, version 0 or 1 and two zero
// bytes, then its body field (and, version 0 only, a 32-byte tag field),
// nothing after.
bool soundListRecord(std::span<const uint8_t> record);

// FileDataChunk: a u32 section number and a field with the record, nothing
// after.
struct SectionUpload {
  uint32_t number = 0;
  std::span<const uint8_t> record;
};
bool readSectionUpload(StrictReader fields, SectionUpload* upload);

// FileListChunk, read and checked: false with the reason in `*why` (for the
// log) when a field is missing or a check fails. The spans of `*copy` point
// into the bytes `fields` reads.
bool readCompletedCopy(StrictReader fields, NewCopy* copy, std::string* why);

// FileListRequestChunk: a u32 selector and a u8 flag, nothing after.
bool readListRequest(StrictReader fields, uint32_t* selector, uint8_t* withLists);

// FileDataRequestChunk: a u32 section number, nothing after.
bool readSectionRequest(StrictReader fields, uint32_t* number);

}  // namespace vl
