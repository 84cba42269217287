#include "model/file_list.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "core/secure_wipe.h"

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

SectionList::SectionList(std::span<const ListSection> sections) : storage_() { assign(sections); }

SectionList::SectionList(SectionList&& other) noexcept : storage_() { *this = std::move(other); }

SectionList& SectionList::operator=(const SectionList& other) {
  if (this != &other) assign(std::span(other.begin(), other.end()));
  return *this;
}

SectionList& SectionList::operator=(SectionList&& other) noexcept {
  if (this == &other) return *this;
  release();
  storage_ = other.storage_;
  size_ = other.size_;
  capacity_ = other.capacity_;
  // The moved-from list keeps nothing: its inline slot is wiped, its heap
  // array now belongs here.
  other.storage_.one = ListSection();
  other.size_ = 0;
  other.capacity_ = 1;
  return *this;
}

bool SectionList::operator==(const SectionList& other) const {
  return std::equal(begin(), end(), other.begin(), other.end());
}

void SectionList::release() {
  if (capacity_ > 1) {
    WipingAllocator<ListSection>().deallocate(storage_.many, capacity_);
  } else {
    secureWipe(&storage_.one, sizeof storage_.one);
  }
  storage_.one = ListSection();
  size_ = 0;
  capacity_ = 1;
}

void SectionList::reserve(size_t count) {
  if (count <= capacity_) return;
  ListSection* fresh = WipingAllocator<ListSection>().allocate(count);
  std::uninitialized_copy(begin(), end(), fresh);
  uint32_t size = size_;
  release();
  storage_.many = fresh;
  size_ = size;
  capacity_ = static_cast<uint32_t>(count);
}

void SectionList::assign(std::span<const ListSection> sections) {
  if (sections.size() > capacity_) {
    release();
    reserve(sections.size());
  }
  std::copy(sections.begin(), sections.end(), begin());
  size_ = static_cast<uint32_t>(sections.size());
}

void SectionList::push_back(const ListSection& section) {
  if (size_ == capacity_) reserve(size_t{capacity_} * 2);
  data()[size_++] = section;
}

void SectionList::resize(size_t count) {
  reserve(count);
  for (size_t i = size_; i < count; ++i) data()[i] = ListSection();
  size_ = static_cast<uint32_t>(count);
}

void SectionList::clear() { release(); }

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
  entry.sections.assign(sections);
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
  entry.sections.assign(sections);
  return true;
}

}  // namespace vl
