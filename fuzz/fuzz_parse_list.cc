// parseList on arbitrary bytes: it must fail cleanly or give a list that
// serialises to a payload which parses back to the same bytes again, and
// that the previous-copy index can be built from and searched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>

#include "model/list_payload.h"
#include "model/previous_copy_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<vl::FileList> list = vl::parseList(std::span<const uint8_t>(data, size));
  if (!list) return 0;

  vl::ByteBuffer once = vl::serializeList(*list, list->version);
  std::optional<vl::FileList> again = vl::parseList(once.span());
  if (!again || again->entryCount() != list->entryCount()) std::abort();
  if (!(vl::serializeList(*again, again->version) == once)) std::abort();

  vl::PreviousCopyIndex index;
  if (!index.build(*list)) std::abort();
  std::set<uint32_t> sectionNumbers;
  for (const vl::FileListEntry& entry : list->entries()) {
    if (entry.isFolder) continue;
    const vl::FileListEntry* byPath = index.findEntryByPath(entry.name);
    if (byPath == nullptr || byPath->name != entry.name) std::abort();
    const std::span<const uint8_t> content = entry.contentHash.bytes();
    if (content.size() >= 5 && index.findEntryByContent(content) == nullptr) std::abort();
    // Only the first hash listed under a section number is indexed.
    for (const vl::ListSection& section : entry.sections) {
      bool first = sectionNumbers.insert(section.number).second;
      if (first && section.hash.size() >= 5 && !index.findSection(section.hash.bytes())) {
        std::abort();
      }
    }
  }
  return 0;
}
