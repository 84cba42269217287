// Small builders shared by the file-list and index tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/file_list.h"

namespace vl::test {

// A 32-byte hash whose bytes are `seed`, seed+1, ...
inline ListHash hashOf(uint8_t seed) {
  uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(seed + i);
  return *ListHash::from(bytes);
}

inline EntryMetadata metadataOf(uint64_t base) {
  return EntryMetadata{base + 1, base + 2, base + 3, static_cast<uint32_t>(base) ^ 0x20};
}

inline std::vector<ListSection> sectionsOf(std::initializer_list<std::pair<uint32_t, uint8_t>> s) {
  std::vector<ListSection> out;
  for (auto [number, seed] : s) out.push_back(ListSection{number, hashOf(seed)});
  return out;
}

inline std::vector<uint8_t> bytesOf(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

// Little-endian helpers for building payloads by hand.
inline void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void putU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void putField(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  putU32(out, static_cast<uint32_t>(bytes.size()));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// An entry as a payload holds it: all times and attributes zero.
inline void putEntry(std::vector<uint8_t>& out, std::span<const uint8_t> nameField, bool folder,
                     bool folderEnd, std::span<const uint8_t> contentHash,
                     std::span<const ListSection> sections = {}) {
  putField(out, nameField);
  out.push_back(folder ? 1 : 0);
  out.push_back(folderEnd ? 1 : 0);
  for (int i = 0; i < 7; ++i) putU32(out, 0);
  putField(out, contentHash);
  putU32(out, static_cast<uint32_t>(sections.size()));
  for (const ListSection& section : sections) {
    putU32(out, section.number);
    putField(out, section.hash.bytes());
  }
}

// A list with a nested folder, an empty file, a one-section file, a
// two-section file and a non-ASCII name (with a pair above U+FFFF).
inline FileList sampleList() {
  FileList list;
  list.nextSectionNumber = 77;
  list.addFolderStart(u"Documents");
  list.addFile(u"Documents\\empty.txt", metadataOf(100), hashOf(9), {});
  list.addFolderStart(u"Documents\\R\u00e4kningar");
  auto one = sectionsOf({{5, 40}});
  list.addFile(u"Documents\\R\u00e4kningar\\\u65e5\u672c\U0001F600.pdf", metadataOf(200),
               hashOf(40), one);
  auto two = sectionsOf({{6, 50}, {7, 60}});
  list.addFile(u"Documents\\R\u00e4kningar\\big.bin", metadataOf(300), hashOf(70), two);
  list.addFolderEnd(u"Documents\\R\u00e4kningar", metadataOf(400));
  list.addFolderEnd(u"Documents", metadataOf(500));
  return list;
}

}  // namespace vl::test
