// FileList: the folders and files of one copy, in the order of the folder
// walk, with names, times, attributes, content hashes and the numbered
// sections that hold each file's content.
//
// A folder appears twice: a start entry (name only) before its content and
// an end entry (name, times, attributes) after it, so that a restore can set
// the folder's own metadata once its content is written. Files carry the
// SHA-256 of their whole content and their sections in file order.
//
// Entries are appended at the tail in amortised constant time; lists of
// hundreds of thousands of entries are normal. Every way into a list checks
// the single-section rule (a file cut into exactly one section has that
// section's hash as its content hash), so a list that could not be read back
// is never built.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "model/wiping_allocator.h"

namespace vl {

// A hash as a list holds it: a SHA-256 value for files and sections, empty
// for folders. Lists read from storage may carry shorter values, which are
// kept exactly; nothing longer than a SHA-256 value is held.
class ListHash {
 public:
  static constexpr size_t kMaxLength = 32;

  ListHash() = default;
  // Nothing when `bytes` is longer than kMaxLength.
  static std::optional<ListHash> from(std::span<const uint8_t> bytes);

  std::span<const uint8_t> bytes() const { return {bytes_.data(), length_}; }
  size_t size() const { return length_; }
  bool empty() const { return length_ == 0; }
  bool operator==(const ListHash& other) const;

 private:
  std::array<uint8_t, kMaxLength> bytes_{};
  uint8_t length_ = 0;
};

// Times are 64-bit counts of 100 ns since 1601-01-01 (UTC); attributes are
// the platform's attribute bits.
struct EntryMetadata {
  uint64_t creationTime = 0;
  uint64_t lastAccessTime = 0;
  uint64_t lastWriteTime = 0;
  uint32_t attributes = 0;

  bool operator==(const EntryMetadata&) const = default;
};

// One section of a file: its number and the SHA-256 of its plain bytes.
struct ListSection {
  uint32_t number = 0;
  ListHash hash;

  bool operator==(const ListSection&) const = default;
};

// The sections of one file, in file order. Most files are one section, which
// is kept inside the entry itself; longer lists live on the heap and are
// wiped when released. A contiguous range, so it converts to a span.
class SectionList {
 public:
  SectionList() : storage_() {}
  SectionList(std::span<const ListSection> sections);
  SectionList(const SectionList& other) : SectionList(std::span(other.begin(), other.end())) {}
  SectionList(SectionList&& other) noexcept;
  SectionList& operator=(const SectionList& other);
  SectionList& operator=(SectionList&& other) noexcept;
  ~SectionList() { release(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  ListSection* data() { return capacity_ <= 1 ? &storage_.one : storage_.many; }
  const ListSection* data() const { return capacity_ <= 1 ? &storage_.one : storage_.many; }
  ListSection* begin() { return data(); }
  ListSection* end() { return data() + size_; }
  const ListSection* begin() const { return data(); }
  const ListSection* end() const { return data() + size_; }
  ListSection& operator[](size_t i) { return data()[i]; }
  const ListSection& operator[](size_t i) const { return data()[i]; }
  bool operator==(const SectionList& other) const;

  void assign(std::span<const ListSection> sections);
  void push_back(const ListSection& section);
  // `count` sections, new ones zero (number 0, empty hash).
  void resize(size_t count);
  void clear();

 private:
  void reserve(size_t count);
  void release();

  union Storage {
    Storage() : one() {}
    ListSection one;
    ListSection* many;
  } storage_;
  uint32_t size_ = 0;
  uint32_t capacity_ = 1;  // 1: the inline slot
};

struct FileListEntry {
  // The relative path as the walk gives it, folders separated by '\'.
  WipedU16String name;
  EntryMetadata metadata;
  SectionList sections;
  ListHash contentHash;
  bool isFolder = false;
  // Closes a folder; only meaningful together with isFolder.
  bool isFolderEnd = false;

  bool isFile() const { return !isFolder; }
  bool isFolderStart() const { return isFolder && !isFolderEnd; }
  // False for a file with exactly one section whose hash differs from the
  // content hash. Folders always pass.
  bool followsSingleSectionRule() const;
};

class FileList {
 public:
  // The number the next new section will get; carried from copy to copy.
  uint32_t nextSectionNumber = 0;
  // The payload version the list was read from; serialising again passes it
  // as the base version.
  uint16_t version = 0;

  uint32_t entryCount() const { return static_cast<uint32_t>(entries_.size()); }
  bool empty() const { return entries_.empty(); }
  // `index` must be below entryCount().
  const FileListEntry& entry(uint32_t index) const { return entries_[index]; }
  const WipedVector<FileListEntry>& entries() const { return entries_; }

  // Room for `count` entries without growing again.
  void reserve(uint32_t count) { entries_.reserve(count); }
  // Drops every entry (wiped); keeps nextSectionNumber and version.
  void clearEntries() { entries_.clear(); }

  void addFolderStart(std::u16string_view name);
  // `metadata` is the folder's own, set on it after its content is restored.
  void addFolderEnd(std::u16string_view name, const EntryMetadata& metadata);
  // A file with its sections (none for an empty file, or while they are
  // still being cut: see setLastFileSections). False, adding nothing, when
  // the single-section rule is broken.
  bool addFile(std::u16string_view name, const EntryMetadata& metadata, const ListHash& contentHash,
               std::span<const ListSection> sections);
  // A file under a new name and metadata whose content is that of `earlier`
  // (an entry of another list): takes its content hash and sections.
  bool addFileWithContentOf(std::u16string_view name, const EntryMetadata& metadata,
                            const FileListEntry& earlier);
  // An entry copied whole from another list. False, adding nothing, when
  // the entry breaks the single-section rule.
  bool addEntry(const FileListEntry& entry);
  bool addEntry(FileListEntry&& entry);
  // Replaces the sections of the last entry, a file whose sections were cut
  // after it was added. False, changing nothing, when the last entry is not
  // a file or the sections break the single-section rule.
  bool setLastFileSections(std::span<const ListSection> sections);

 private:
  WipedVector<FileListEntry> entries_;
};

}  // namespace vl
