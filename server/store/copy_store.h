// CopyStore: a folder that keeps what a backup server keeps for one account.
//
// Sealed section records are stored by section number and sealed file-list
// records by copy number, each written atomically (temporary file, flush,
// rename). A copy becomes visible only when its list is stored, so a run that
// fails half way leaves its sections behind but no copy; the next run's
// finishing results say which of those orphaned sections to drop.
//
// The store never opens a record: it holds them exactly as they arrive, so
// it needs no keys. Layout under the folder:
//   sections/<number>.rec    one section record
//   copies/<number>.rec      one file-list record; copies are numbered from 1
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_buffer.h"

namespace vl {

class CopyStore {
 public:
  // Opens (and creates when missing) the store under `folder`.
  static std::optional<CopyStore> open(const std::string& folder);

  // Stores one section record under its number, replacing an earlier one
  // with the same number (a resent section after a lost connection).
  bool putSection(uint32_t number, const ByteBuffer& record);
  // The same without waiting for the disk: the record is complete under its
  // name at once, but survives a power loss only after syncSections. For a
  // writer that stores many sections and names them elsewhere (restart
  // state, a list) only after syncing.
  bool putSectionUnsynced(uint32_t number, const ByteBuffer& record);
  // Makes every record stored so far durable.
  bool syncSections();
  // The record stored under `number`, or nothing.
  std::optional<ByteBuffer> getSection(uint32_t number) const;
  bool hasSection(uint32_t number) const;
  // Deletes the record; deleting a missing record is not an error.
  bool dropSection(uint32_t number);
  // Every stored section number, ascending.
  std::vector<uint32_t> sectionNumbers() const;

  // Stores the list record of a finished copy under the next copy number and
  // then drops the `orphaned` sections (restart sections the run did not use).
  // Returns the new copy number, or 0 when the list could not be stored.
  uint32_t commitCopy(const ByteBuffer& list_record, const std::vector<uint32_t>& orphaned);
  // Copy numbers in ascending order (oldest first).
  std::vector<uint32_t> copyNumbers() const;
  // The newest copy's number, or 0 when no copy is stored.
  uint32_t latestCopy() const;
  std::optional<ByteBuffer> getList(uint32_t copy) const;

  const std::string& folder() const { return folder_; }

 private:
  explicit CopyStore(std::string folder) : folder_(std::move(folder)) {}
  std::string sectionPath(uint32_t number) const;
  std::string copyPath(uint32_t copy) const;

  std::string folder_;
};

// Reads a result buffer of the backup engine's finishing steps (a u32 count
// followed by that many u32 section numbers). Nothing when the buffer is
// shorter than its count says.
std::optional<std::vector<uint32_t>> parseSectionSet(ByteBuffer buffer);

}  // namespace vl
