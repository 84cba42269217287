// ListWalkSink: the backup walk's sink over the new copy's file list and the
// previous copy's index.
//
// Folder start and end entries go into the new list as the walk meets them.
// With quick compare, a file that the previous copy holds unchanged (same
// relative path, creation and last-write times) has its previous entry taken
// over whole, stored metadata included, so it is neither read nor sent.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/walk_sink.h"
#include "model/file_list.h"
#include "model/previous_copy_index.h"

namespace vl {

class ListWalkSink : public WalkSink {
 public:
  // `list` receives the entries; `previous` may be null (a first copy, where
  // nothing is reused). Both must outlive the sink.
  ListWalkSink(FileList* list, const PreviousCopyIndex* previous)
      : list_(list), previous_(previous) {}

  // False when the path is not valid UTF-8 (it could not be stored exactly).
  bool folderStarted(std::string_view relative_path) override;
  bool folderEnded(std::string_view relative_path, const FileInfo& info) override;
  bool reuseUnchanged(const WalkEntry& entry, uint32_t* sections) override;

  // Files taken over from the previous copy so far.
  uint32_t reusedFiles() const { return reused_files_; }

 private:
  FileList* list_;
  const PreviousCopyIndex* previous_;
  uint32_t reused_files_ = 0;
};

}  // namespace vl
