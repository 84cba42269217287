// SectionTempFolder: the hidden folder in which a restore keeps the section
// records it has fetched, until their last use.
//
// Each distinct section is fetched once and may serve several files or
// several places of one file, so its record waits here, exactly as it was
// received (still sealed), in "data_" + number + ".bin": a u32 little-endian
// length, then the record. The folder is "file_data_" + a random u32 in the
// working directory. Records still present when the folder is removed are
// deleted first; the folder never outlives its owner.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "platform/folder_handle.h"

namespace vl {

class SectionTempFolder {
 public:
  // The folder will be made inside `workingDirectory`.
  explicit SectionTempFolder(std::string workingDirectory);
  SectionTempFolder(const SectionTempFolder&) = delete;
  SectionTempFolder& operator=(const SectionTempFolder&) = delete;
  // Removes whatever remains, as remove() does.
  ~SectionTempFolder();

  // Makes the folder under a fresh random name. False when the pool refuses
  // or no folder could be made; true at once when it exists already.
  bool create(RandomPool& pool);
  bool exists() const { return folder_.isOpen(); }
  // The folder's path; empty before create().
  const std::string& path() const { return path_; }

  // Keeps `record` as the one for section `number`, replacing an earlier one.
  bool store(uint32_t number, std::span<const uint8_t> record);
  // The record kept for `number`. Nothing when it is missing or its file is
  // not exactly a length and that many bytes. Safe to call from several
  // threads at once, also while drop() of another number runs.
  std::optional<ByteBuffer> load(uint32_t number) const;
  // Deletes the record of `number`. False when it was stored and could not
  // be deleted.
  bool drop(uint32_t number);
  // Deletes every record still stored. False when any could not be deleted
  // (the others are deleted all the same).
  bool sweep();
  // sweep(), then removes the folder itself. True when nothing remains.
  bool remove();

 private:
  static std::string fileName(uint32_t number);

  std::string working_directory_;
  std::string path_;
  FolderHandle folder_;
  // Numbers whose files exist.
  std::unordered_set<uint32_t> stored_;
  // The length of every record ever kept. Only store() changes it, so load()
  // may read it while drop() runs on another thread.
  std::unordered_map<uint32_t, uint32_t> lengths_;
};

}  // namespace vl
