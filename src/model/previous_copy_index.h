// PreviousCopyIndex: the lookups a backup makes into the previous copy's
// list, to reuse what the server already holds instead of reading and
// sending it again.
//
//   findEntryByPath      the file stored under the same relative path
//   findUnchangedFile    the same, when creation and last-write times match
//   findEntryByContent   the first file stored with the same content hash
//   findSection          the number under which a section with that hash is
//                        stored (its first occurrence)
//
// Paths are matched by the SHA-256 of their UTF-16 form, not compared as
// strings: two paths with the same hash count as the same path. The index
// refers to the entries of the list it was built from; that list must
// outlive it and stay unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "model/file_list.h"
#include "model/reuse_index.h"
#include "model/wiping_allocator.h"

namespace vl {

class PreviousCopyIndex {
 public:
  PreviousCopyIndex();

  // Indexes the file entries of `list` (folder entries are skipped), after
  // forgetting anything indexed before. False when a table cannot grow; the
  // index is then empty.
  bool build(const FileList& list);

  // Every lookup misses on an empty index.
  const FileListEntry* findEntryByPath(std::u16string_view path) const;
  // The entry for `path` when its creation and last-write times equal the
  // given ones. Last-access time, attributes and size are not compared; the
  // caller takes the stored entry over whole.
  const FileListEntry* findUnchangedFile(std::u16string_view path, uint64_t creationTime,
                                         uint64_t lastWriteTime) const;
  const FileListEntry* findEntryByContent(std::span<const uint8_t> contentHash) const;
  // The section number, which may be 0 (callers treat 0 as no hit).
  std::optional<uint32_t> findSection(std::span<const uint8_t> sectionHash) const;

  uint32_t fileCount() const { return static_cast<uint32_t>(files_.size()); }

 private:
  const FileListEntry* fileAt(std::optional<uint32_t> index) const;
  void clear();

  WipedVector<const FileListEntry*> files_;
  ReuseIndex byName_;
  ReuseIndex byContent_;
  ReuseIndex bySectionHash_;
  ReuseIndex sectionNumbers_;
};

// SHA-256 of a path's code units, each as two bytes, high byte first: the
// key under which names are indexed.
void hashPath(std::u16string_view path, uint8_t digest[32]);

}  // namespace vl
