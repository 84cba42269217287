#include "model/previous_copy_index.h"

#include "core/secure_wipe.h"
#include "crypto/sha256.h"

namespace vl {

void hashPath(std::u16string_view path, uint8_t digest[32]) {
  // Converted piece by piece on the stack, so a lookup allocates nothing.
  uint8_t piece[512];
  Sha256 sha;
  while (!path.empty()) {
    size_t units = path.size() < sizeof piece / 2 ? path.size() : sizeof piece / 2;
    for (size_t i = 0; i < units; ++i) {
      piece[2 * i] = static_cast<uint8_t>(path[i] >> 8);
      piece[2 * i + 1] = static_cast<uint8_t>(path[i]);
    }
    sha.update(piece, units * 2);
    path.remove_prefix(units);
  }
  sha.final(digest);
  secureWipe(piece, sizeof piece);
}

PreviousCopyIndex::PreviousCopyIndex() = default;

void PreviousCopyIndex::clear() {
  WipedVector<const FileListEntry*>().swap(files_);
  byName_ = ReuseIndex();
  byContent_ = ReuseIndex();
  bySectionHash_ = ReuseIndex();
  sectionNumbers_ = ReuseIndex();
}

bool PreviousCopyIndex::build(const FileList& list) {
  clear();
  uint32_t files = 0;
  uint32_t sections = 0;
  for (const FileListEntry& entry : list.entries()) {
    if (entry.isFolder) continue;
    ++files;
    sections += static_cast<uint32_t>(entry.sections.size());
  }
  files_.reserve(files);
  byName_.reserve(files, size_t{files} * 32);
  // Content and section hashes stay in the list, which outlives the index;
  // only the name hashes are made here and must be held.
  byContent_.reserveReferenced(files);
  bySectionHash_.reserveReferenced(sections);
  sectionNumbers_.reserve(sections, 0);

  uint8_t nameHash[32];
  bool ok = true;
  for (const FileListEntry& entry : list.entries()) {
    if (entry.isFolder) continue;
    uint32_t index = static_cast<uint32_t>(files_.size());
    hashPath(entry.name, nameHash);
    ok = byName_.insert(std::span<const uint8_t>(nameHash, 32), index);
    // The first file with a given content is the one that is found.
    if (ok && !byContent_.find(entry.contentHash.bytes())) {
      ok = byContent_.insertReferenced(entry.contentHash.bytes(), index);
    }
    for (const ListSection& section : entry.sections) {
      if (!ok) break;
      if (sectionNumbers_.find(section.number)) continue;
      ok = bySectionHash_.insertReferenced(section.hash.bytes(), section.number) &&
           sectionNumbers_.insert(section.number, section.number);
    }
    if (!ok) break;
    files_.push_back(&entry);
  }
  secureWipe(nameHash, sizeof nameHash);
  if (!ok) clear();
  return ok;
}

const FileListEntry* PreviousCopyIndex::fileAt(std::optional<uint32_t> index) const {
  if (!index || *index >= files_.size()) return nullptr;
  return files_[*index];
}

const FileListEntry* PreviousCopyIndex::findEntryByPath(std::u16string_view path) const {
  if (files_.empty()) return nullptr;
  uint8_t nameHash[32];
  hashPath(path, nameHash);
  const FileListEntry* entry = fileAt(byName_.find(std::span<const uint8_t>(nameHash, 32)));
  secureWipe(nameHash, sizeof nameHash);
  return entry;
}

const FileListEntry* PreviousCopyIndex::findUnchangedFile(std::u16string_view path,
                                                          uint64_t creationTime,
                                                          uint64_t lastWriteTime) const {
  const FileListEntry* entry = findEntryByPath(path);
  if (entry == nullptr || entry->metadata.creationTime != creationTime ||
      entry->metadata.lastWriteTime != lastWriteTime) {
    return nullptr;
  }
  return entry;
}

const FileListEntry* PreviousCopyIndex::findEntryByContent(
    std::span<const uint8_t> contentHash) const {
  return fileAt(byContent_.find(contentHash));
}

std::optional<uint32_t> PreviousCopyIndex::findSection(std::span<const uint8_t> sectionHash) const {
  return bySectionHash_.find(sectionHash);
}

}  // namespace vl
