// Copies made by hand for the restore tests: a file list, the records of
// its sections, and a stand-in for sealing that can tell a damaged record.
//
// A record here is SHA-256 of the plain piece followed by the piece XORed
// with 0xA5; openRecord gives the piece back only when the digest matches,
// as the real opening refuses altered bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "crypto/sha256.h"
#include "model/file_list.h"
#include "model/list_payload.h"
#include "platform/file_info.h"

namespace vl::test {

inline ListHash hashOfBytes(std::string_view bytes) {
  ByteBuffer digest = sha256(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  return *ListHash::from(digest.span());
}

inline ByteBuffer sealForTest(std::string_view plain) {
  ByteBuffer record;
  record.appendBytes(hashOfBytes(plain).bytes());
  for (char c : plain) record.appendU8(static_cast<uint8_t>(c) ^ 0xA5);
  return record;
}

inline std::optional<ByteBuffer> openForTest(std::span<const uint8_t> record) {
  if (record.size() < 32) return std::nullopt;
  ByteBuffer plain(record.size() - 32);
  for (size_t i = 32; i < record.size(); ++i) plain[i - 32] = record[i] ^ 0xA5;
  ByteBuffer digest = sha256(plain);
  if (std::memcmp(digest.data(), record.data(), 32) != 0) return std::nullopt;
  return plain;
}

// Whole seconds, so that the times survive the trip through the file system.
inline EntryMetadata timesAt(int64_t unixSeconds, uint32_t attributes = kAttributeArchive) {
  return EntryMetadata{fileTimeFromUnix(unixSeconds, 0), fileTimeFromUnix(unixSeconds + 60, 0),
                       fileTimeFromUnix(unixSeconds + 120, 0), attributes};
}

class HandMadeCopy {
 public:
  FileList list;
  std::map<uint32_t, ByteBuffer> records;

  // A new section holding `plain`; its number.
  uint32_t section(const std::string& plain) {
    const uint32_t number = next_number_++;
    records[number] = sealForTest(plain);
    plains_[number] = plain;
    return number;
  }

  void folderStart(std::u16string_view name) { list.addFolderStart(name); }
  void folderEnd(std::u16string_view name, const EntryMetadata& metadata = {}) {
    list.addFolderEnd(name, metadata);
  }
  // A file made of the given sections, in order.
  void fileOfSections(std::u16string_view name, const std::vector<uint32_t>& numbers,
                      const EntryMetadata& metadata = timesAt(1000000000)) {
    std::string content;
    std::vector<ListSection> sections;
    for (uint32_t number : numbers) {
      content += plains_.at(number);
      sections.push_back(ListSection{number, hashOfBytes(plains_.at(number))});
    }
    list.addFile(name, metadata, hashOfBytes(content), sections);
  }
  // A file cut into `pieces`, each a new section.
  void file(std::u16string_view name, const std::vector<std::string>& pieces,
            const EntryMetadata& metadata = timesAt(1000000000)) {
    std::vector<uint32_t> numbers;
    for (const std::string& piece : pieces) numbers.push_back(section(piece));
    fileOfSections(name, numbers, metadata);
  }

  ByteBuffer payload() const { return serializeList(list, 1); }

  std::optional<ByteBuffer> fetch(uint32_t number) {
    ++fetches;
    auto found = records.find(number);
    if (found == records.end()) return std::nullopt;
    return found->second;
  }

  int fetches = 0;

 private:
  uint32_t next_number_ = 1;
  std::map<uint32_t, std::string> plains_;
};

// A pool that hands out bytes at once.
inline void creditPool(RandomPool& pool) {
  uint8_t seed[32] = {1, 2, 3};
  pool.addBytes(seed, true);
}

}  // namespace vl::test
