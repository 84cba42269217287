// The local copies of list records that the list exchange received, so that
// the history and restore dialogs can show stored copies without asking the
// server again.
//
//   "list_data_" + n + ".bin"  (n in decimal, from 0) a buffer file holding
//                              one field: the list record exactly as received,
//                              still sealed. Whoever reads it opens it with
//                              the local key of the recovery file in use.
//   "list_count.bin"           a buffer file holding a u32: how many lists
//                              are kept.
// Every function takes the folder that holds the files; an empty folder means
// the working directory (the current directory), where the client keeps them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/byte_buffer.h"

namespace vl {

inline constexpr char kListCountFile[] = "list_count.bin";

// The path of list file `n` in `folder`.
std::string cachedListPath(uint32_t n, const std::string& folder = "");

// Writes list file `n` (replacing it whole, never leaving half a file).
bool writeCachedList(uint32_t n, std::span<const uint8_t> record, const std::string& folder = "");
// Writes "list_count.bin".
bool writeCachedListCount(uint32_t count, const std::string& folder = "");

// The record kept as list `n`; empty when the file is missing or unreadable.
ByteBuffer readCachedList(uint32_t n, const std::string& folder = "");
// The number of kept lists; 0 when "list_count.bin" is missing or short.
uint32_t cachedListCount(const std::string& folder = "");

// Deletes the list files numbered below the kept count and writes a count of
// 0. Files with other numbers are left alone. False when a file could not be
// deleted or the count not written.
bool clearListCache(const std::string& folder = "");

}  // namespace vl
