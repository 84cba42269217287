// "folders.bin": the list of folders selected for backup.
//
// The buffer is a u32 count, then per folder its path as a counted field of
// one byte per character followed by a zero byte that the length counts.
// The single-byte form of a character is its code point, so only characters
// up to U+00FF (Latin-1) can be stored; paths here are UTF-8. A path with a
// character beyond that, or with bytes that are not UTF-8, cannot be stored
// without loss and is refused as a whole: the file is never written with a
// path that would read back as a different folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.h"

namespace vl {

inline constexpr char kFoldersFile[] = "folders.bin";

// True when every character of `path` has a single-byte form.
bool canStoreFolderPath(std::string_view path);

// The buffer of "folders.bin" for `paths`; nothing when a path cannot be
// stored (its index goes to `refused` when given).
std::optional<ByteBuffer> encodeFolderSelection(const std::vector<std::string>& paths,
                                                size_t* refused = nullptr);
// The paths held by a "folders.bin" buffer, in file order. A count larger
// than the fields present yields the fields present.
std::vector<std::string> decodeFolderSelection(ByteBuffer& stored);

// Writes "folders.bin" (or `path`); false when a path cannot be stored
// (nothing is written then) or the write fails.
bool writeFolderSelection(const std::vector<std::string>& paths,
                          const std::string& path = kFoldersFile, size_t* refused = nullptr);
// Reads the selection; nothing when the file cannot be read.
std::optional<std::vector<std::string>> readFolderSelection(const std::string& path = kFoldersFile);
// The stored count alone (0 when the file is missing or short).
uint32_t readFolderCount(const std::string& path = kFoldersFile);

}  // namespace vl
