// Helpers for the backup engine's tests: a section store in memory, a loop
// that pulls a copy out of the engine, and a check that every file of a
// list can be put back together from the stored sections.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "crypto/sha256.h"
#include "engine/backup_engine.h"
#include "model/list_payload.h"
#include "model/utf16.h"
#include "platform/file_info.h"
#include "support/temp_dir.h"

namespace vl::test {

inline void makeFolder(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0); }

// Gives `path` a last-write time of `seconds` since 1970, so that a change
// is seen by quick compare however fast the test runs.
inline void setWriteTime(const std::string& path, int64_t seconds) {
  ASSERT_TRUE(setFileTimes(path, 0, fileTimeFromUnix(seconds, 0), fileTimeFromUnix(seconds, 0)));
}

// `length` bytes that differ from section to section and from seed to seed.
inline std::string patternBytes(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>(x);
  }
  return bytes;
}

struct EngineRun {
  bool ok = false;
  bool finished = false;
  std::string failedPath;
  std::vector<uint32_t> sentIds;
};

using SectionStore = std::map<uint32_t, std::string>;

// Pulls sections until the engine finishes or fails, or `limit` sections
// were stored (an interrupted attempt). A resumed attempt may store again
// under ids that the interrupted one gave out after its last restart save.
inline EngineRun pullCopy(BackupEngine& engine, SectionStore* store, size_t limit = SIZE_MAX) {
  EngineRun run;
  while (run.sentIds.size() < limit) {
    ByteBuffer section;
    uint32_t id = 0;
    bool finished = false;
    if (!engine.nextSection(&section, &id, &finished, &run.failedPath)) return run;
    if (finished) {
      run.ok = run.finished = true;
      return run;
    }
    EXPECT_FALSE(section.empty());
    EXPECT_EQ(std::count(run.sentIds.begin(), run.sentIds.end(), id), 0) << "id given twice: " << id;
    EXPECT_NE(id, 0u);
    (*store)[id] = std::string(reinterpret_cast<const char*>(section.data()), section.size());
    run.sentIds.push_back(id);
  }
  run.ok = true;
  return run;
}

inline std::vector<uint32_t> idsOf(ByteBuffer buffer) {
  std::vector<uint32_t> ids(buffer.readU32());
  for (uint32_t& id : ids) id = buffer.readU32();
  EXPECT_EQ(buffer.remaining(), 0u);
  return ids;
}

inline std::string hexOf(std::span<const uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// Every file of the list put together from `store`, by relative path (UTF-8).
// Fails the test when a section is missing or a file's bytes do not have
// the listed content hash: the checks a restore makes.
inline std::map<std::string, std::string> filesOf(const ByteBuffer& payload,
                                                  const SectionStore& store) {
  std::map<std::string, std::string> files;
  std::optional<FileList> list = parseList(payload.span());
  EXPECT_TRUE(list);
  if (!list) return files;
  for (const FileListEntry& entry : list->entries()) {
    if (entry.isFolder) continue;
    std::string name = *utf16ToUtf8(entry.name);
    std::string content;
    for (const ListSection& section : entry.sections) {
      auto stored = store.find(section.number);
      if (stored == store.end()) {
        ADD_FAILURE() << name << ": section " << section.number << " missing";
        continue;
      }
      ByteBuffer sectionHash = sha256(std::span<const uint8_t>(
          reinterpret_cast<const uint8_t*>(stored->second.data()), stored->second.size()));
      EXPECT_EQ(hexOf(sectionHash.span()), hexOf(section.hash.bytes())) << name;
      content += stored->second;
    }
    ByteBuffer hash = sha256(std::span<const uint8_t>(
        reinterpret_cast<const uint8_t*>(content.data()), content.size()));
    EXPECT_EQ(hexOf(hash.span()), hexOf(entry.contentHash.bytes())) << name;
    files[name] = content;
  }
  return files;
}

// Engine options for one selected folder, with a cancel flag of its own.
struct EngineSetup {
  std::atomic<uint8_t> cancel{0};
  BackupEngineOptions options;

  explicit EngineSetup(const std::string& folder, BackupMainAction* callbacks = nullptr) {
    options.callbacks = callbacks;
    options.folders = {folder};
    options.cancel = &cancel;
    options.restartSaveSeconds = 0;
  }
};

}  // namespace vl::test
