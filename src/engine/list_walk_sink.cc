#include "engine/list_walk_sink.h"

#include "engine/backup_walk.h"
#include "model/utf16.h"

namespace vl {

bool ListWalkSink::folderStarted(std::string_view relative_path) {
  std::optional<WipedU16String> name = utf8ToUtf16(relative_path);
  if (!name) return false;
  list_->addFolderStart(*name);
  return true;
}

bool ListWalkSink::folderEnded(std::string_view relative_path, const FileInfo& info) {
  std::optional<WipedU16String> name = utf8ToUtf16(relative_path);
  if (!name) return false;
  list_->addFolderEnd(*name, EntryMetadata{info.creation_time, info.last_access_time,
                                           info.last_write_time, info.attributes});
  return true;
}

bool ListWalkSink::reuseUnchanged(const WalkEntry& entry, uint32_t* sections) {
  if (previous_ == nullptr) return false;
  std::optional<WipedU16String> name = utf8ToUtf16(entry.relative_path);
  if (!name) return false;
  const FileListEntry* stored =
      previous_->findUnchangedFile(*name, entry.creation_time, entry.last_write_time);
  if (stored == nullptr || !list_->addEntry(*stored)) return false;
  *sections = static_cast<uint32_t>(stored->sections.size());
  ++reused_files_;
  return true;
}

}  // namespace vl
