// CopyStore: a folder that keeps what a backup server keeps for one account.
//
// Sealed section records are stored by section number and sealed file-list
// records by copy number. A copy becomes visible only when its list is
// stored, and its sections are synced before that, so a run that fails half
// way leaves its sections behind but no copy; the next run's finishing
// results say which of those orphaned sections to drop.
//
// The store never opens a record: it holds them exactly as they arrive, so
// it needs no keys. Layout under the folder:
//   sections/<n>.pack        section records appended by one store run
//                            (SectionPack); a later entry for a number
//                            replaces or drops an earlier one
//   sections/<number>.rec    one section record (stores written before
//                            packs; still read, never written)
//   copies/<number>.rec      one file-list record, written atomically
//                            (temporary file, flush, rename); copies are
//                            numbered from 1
//
// One process writes a store at a time. Within it the store may be used
// from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
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
  // with the same number (a resent section after a lost connection), and
  // makes it durable.
  bool putSection(uint32_t number, const ByteBuffer& record);
  // The same without waiting for the disk: the record is readable at once,
  // but survives a power loss only after syncSections. For a writer that
  // stores many sections and names them elsewhere (restart state, a list)
  // only after syncing.
  bool putSectionUnsynced(uint32_t number, const ByteBuffer& record);
  // Makes every record stored (and dropped) so far durable.
  bool syncSections();
  // The record stored under `number`, or nothing.
  std::optional<ByteBuffer> getSection(uint32_t number) const;
  bool hasSection(uint32_t number) const;
  // Deletes the record; deleting a missing record is not an error. The space
  // of a packed record is not given back.
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
  struct Packs;

  CopyStore(std::string folder, std::shared_ptr<Packs> packs)
      : folder_(std::move(folder)), packs_(std::move(packs)) {}
  std::string sectionPath(uint32_t number) const;
  std::string copyPath(uint32_t copy) const;
  bool append(uint32_t number, const ByteBuffer& record, bool sync);

  std::string folder_;
  // The packs' index and the pack being written; shared by copies of the
  // store object.
  std::shared_ptr<Packs> packs_;
};

// Reads a result buffer of the backup engine's finishing steps (a u32 count
// followed by that many u32 section numbers). Nothing when the buffer is
// shorter than its count says.
std::optional<std::vector<uint32_t>> parseSectionSet(ByteBuffer buffer);

}  // namespace vl
