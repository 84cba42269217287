#include "model/file_list.h"

#include <algorithm>
#include <utility>

namespace vl {

std::optional<ListHash> ListHash::from(std::span<const uint8_t> bytes) {
  if (bytes.size() > kMaxLength) return std::nullopt;
  ListHash hash;
  std::copy(bytes.begin(), bytes.end(), hash.bytes_.begin());
  hash.length_ = static_cast<uint8_t>(bytes.size());
  return hash;
}

bool ListHash::operator==(const ListHash& other) const {
  return length_ == other.length_ &&
         std::equal(bytes_.begin(), bytes_.begin() + length_, other.bytes_.begin());
}

namespace {

bool singleSectionRuleHolds(const ListHash& contentHash, std::span<const ListSection> sections) {
  return sections.size() != 1 || sections[0].hash == contentHash;
}

}  // namespace

bool FileListEntry::followsSingleSectionRule() const {
  return isFolder || singleSectionRuleHolds(contentHash, sections);
}

void FileList::addFolderStart(std::u16string_view name) {
  FileListEntry& entry = entries_.emplace_back();
  entry.name.assign(name);
  entry.isFolder = true;
}

void FileList::addFolderEnd(std::u16string_view name, const EntryMetadata& metadata) {
  FileListEntry& entry = entries_.emplace_back();
  entry.name.assign(name);
  entry.metadata = metadata;
  entry.isFolder = true;
  entry.isFolderEnd = true;
}

bool FileList::addFile(std::u16string_view name, const EntryMetadata& metadata,
                       const ListHash& contentHash, std::span<const ListSection> sections) {
  if (!singleSectionRuleHolds(contentHash, sections)) return false;
  FileListEntry& entry = entries_.emplace_back();
  entry.name.assign(name);
  entry.metadata = metadata;
  entry.contentHash = contentHash;
  entry.sections.assign(sections.begin(), sections.end());
  return true;
}

bool FileList::addFileWithContentOf(std::u16string_view name, const EntryMetadata& metadata,
                                    const FileListEntry& earlier) {
  return addFile(name, metadata, earlier.contentHash, earlier.sections);
}

bool FileList::addEntry(const FileListEntry& entry) {
  if (!entry.followsSingleSectionRule()) return false;
  entries_.push_back(entry);
  return true;
}

bool FileList::addEntry(FileListEntry&& entry) {
  if (!entry.followsSingleSectionRule()) return false;
  entries_.push_back(std::move(entry));
  return true;
}

bool FileList::setLastFileSections(std::span<const ListSection> sections) {
  if (entries_.empty() || entries_.back().isFolder) return false;
  FileListEntry& entry = entries_.back();
  if (!singleSectionRuleHolds(entry.contentHash, sections)) return false;
  entry.sections.assign(sections.begin(), sections.end());
  return true;
}

}  // namespace vl
