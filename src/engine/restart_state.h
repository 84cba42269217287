// RestartState: the files an interrupted copy had completed, so that the
// next attempt at the same copy reuses them instead of reading and sending
// them again.
//
// Each completed new file is a RestartRecord: its full path, metadata,
// content hash and sections. Records are found by the SHA-256 of the full
// path (reuse by name, when path, attributes and times still match) and by
// content hash (reuse by content, also for a second identical file of the
// same run). "restart.bin" is a buffer file holding:
//   u32 next section id; u32 N; N records, each: full path as counted bytes
//   (UTF-16 code units, high byte first); u32 attributes; creation, last
//   access and last write time, each as u32 low then u32 high; content hash
//   as counted bytes; u32 k and k section ids; u32 k and k section hashes
//   (32 bytes each); then u32 files passed.
// A next section id of 0 means there is nothing to resume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/byte_buffer.h"
#include "model/file_list.h"
#include "model/reuse_index.h"
#include "model/wiping_allocator.h"

namespace vl {

inline constexpr char kRestartFile[] = "restart.bin";

struct RestartRecord {
  WipedU16String fullPath;
  EntryMetadata metadata;
  ListHash contentHash;
  WipedVector<ListSection> sections;
  // Created by this run, or loaded and reused by it. Not saved.
  bool used = false;
};

class RestartState {
 public:
  RestartState();
  RestartState(RestartState&&) noexcept = default;
  RestartState& operator=(RestartState&&) noexcept = default;

  // The id the next sent section gets; 0 = nothing to resume.
  uint32_t nextSectionId = 0;
  // How many files the walk had passed when the state was saved.
  uint32_t filesPassed = 0;

  uint32_t size() const { return static_cast<uint32_t>(records_.size()); }
  bool empty() const { return records_.empty(); }
  RestartRecord& record(uint32_t index) { return records_[index]; }
  const RestartRecord& record(uint32_t index) const { return records_[index]; }

  // Appends `record` and indexes it by path and content; a later record wins
  // over an earlier one with the same key. False, adding nothing, when the
  // record breaks the single-section rule or an index cannot grow.
  bool add(RestartRecord record);
  // The most recent record whose full path hashes like `fullPath`, or
  // nothing. The caller compares the path itself.
  RestartRecord* findByPath(std::u16string_view fullPath);
  // The most recent record with this content hash, or nothing.
  RestartRecord* findByContent(std::span<const uint8_t> contentHash);

  // Drops every record; keeps the two counters.
  void clear();

  // The buffer-file contents of this state.
  ByteBuffer serialize() const;
  // Reads buffer-file contents; the cleared form (two zero values) is an
  // empty state. Nothing when they are damaged: a field or
  // record cut short, more records or sections than the bytes can hold, a
  // path of odd length, a hash that is not 32 bytes, different numbers of
  // section ids and hashes, a record breaking the single-section rule, or
  // bytes after the files-passed count. Every record comes back unused.
  static std::optional<RestartState> parse(std::span<const uint8_t> contents);

  // Writes "restart.bin" (or `path`) atomically.
  bool save(const std::string& path = kRestartFile) const;
  // Writes the cleared file: two zero u32 values.
  static bool saveCleared(const std::string& path = kRestartFile);

 private:
  WipedVector<RestartRecord> records_;
  ReuseIndex byPath_;
  ReuseIndex byContent_;
};

// What reading "restart.bin" found.
enum class RestartLoad {
  kNothing,  // missing, or a next section id of 0
  kLoaded,
  kDamaged,  // present but not readable as restart state
};

// Reads "restart.bin" (or `path`) into `state` when it holds something to
// resume; `state` is untouched otherwise.
RestartLoad loadRestartState(RestartState* state, const std::string& path = kRestartFile);

}  // namespace vl
