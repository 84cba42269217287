// CopyStore: a folder that keeps what a backup server keeps for one account.
//
// Sealed section records are stored by section number and sealed file-list
// records by copy number. A copy becomes visible only when its list is
// stored, and commitCopy syncs its sections before that, so a run that fails
// half way leaves its sections behind but no copy; the next run's finishing
// results say which of those orphaned sections to drop.
//
// The store never opens a record: it holds them exactly as they arrive, so
// it needs no keys. Layout under the folder:
//   lock                     held (an advisory lock) by the one writer
//   sections/<n>.pack        section records appended by one store run
//                            (SectionPack); an entry of a later pack
//                            generation replaces or drops an earlier one
//   sections/<number>.rec    one section record (stores written before
//                            packs; still read, never written)
//   copies/<number>.rec      one file-list record, written to
//                            copies/commit.tmp, synced and then moved to a
//                            name nothing has yet; copies are numbered from 1
//
// One writer at a time, enforced: opening for writing takes the store's lock
// and a second writer, in this process or another, is refused until the
// first lets go. Readers take no lock; they see the copies committed before
// they opened and every section those copies name (a reader lists the
// copies before the packs, and a copy is committed only once its sections
// are stored). Opening reads the entry
// headers of every pack; packs are then opened only to be read, a few at a
// time, so their number is not bounded by the limit on open files. A store
// may be used from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_buffer.h"

namespace vl {

// Why a store did not open.
enum class StoreOpenError : unsigned char {
  kNone,
  kLocked,  // another writer has the store open
  kFormat,  // a pack of another format version is in the store
  kFailed,  // the folder, its listing or a pack could not be read or made
};

class CopyStore {
 public:
  // Opens the store under `folder` for writing, creating it when missing,
  // and holds its lock while any copy of the returned object lives. Nothing,
  // with the reason in `*error` when given, when the store is locked or
  // cannot be read.
  static std::optional<CopyStore> open(const std::string& folder, StoreOpenError* error = nullptr);
  // Opens an existing store for reading only, without its lock: every call
  // that would change it fails, and copies committed after the open are not
  // seen.
  static std::optional<CopyStore> openForReading(const std::string& folder,
                                                 StoreOpenError* error = nullptr);

  // Stores one section record under its number, replacing an earlier one
  // with the same number (a resent section after a lost connection), and
  // makes it durable.
  bool putSection(uint32_t number, const ByteBuffer& record);
  // The same from bytes held elsewhere (a received message).
  bool putSection(uint32_t number, std::span<const uint8_t> record);
  // The same without waiting for the disk: the record is readable at once,
  // but survives a power loss only after syncSections. For a writer that
  // stores many sections and names them elsewhere (restart state, a list)
  // only after syncing.
  bool putSectionUnsynced(uint32_t number, const ByteBuffer& record);
  // Makes every record stored (and dropped) so far durable.
  bool syncSections();
  // The record stored under `number`, or nothing (also when its bytes no
  // longer match the checksum they were stored with).
  std::optional<ByteBuffer> getSection(uint32_t number) const;
  bool hasSection(uint32_t number) const;
  // The length of the record stored under `number`, read from the index
  // without touching the record; nothing when none is stored.
  std::optional<uint32_t> sectionLength(uint32_t number) const;
  // Deletes the record; deleting a missing record is not an error. The space
  // of a packed record is not given back.
  bool dropSection(uint32_t number);
  // Every stored section number, ascending.
  std::vector<uint32_t> sectionNumbers() const;

  // Syncs every section stored so far, stores the list record of a finished
  // copy under the next free copy number (never replacing a stored copy),
  // syncs it, and then drops the `orphaned` sections (restart sections the
  // run did not use). Returns the new copy number, or 0 when the sections
  // could not be synced or the list not stored.
  uint32_t commitCopy(const ByteBuffer& list_record, const std::vector<uint32_t>& orphaned);
  // Copy numbers in ascending order (oldest first); nothing when the copies
  // folder cannot be listed.
  std::optional<std::vector<uint32_t>> copyNumbers() const;
  // The newest copy's number, 0 when no copy is stored, or nothing when the
  // copies folder cannot be listed.
  std::optional<uint32_t> latestCopy() const;
  std::optional<ByteBuffer> getList(uint32_t copy) const;
  // Stores `record` as the list of copy `copy`, replacing a file of that
  // name, and waits for the disk. For a writer that keeps its own account
  // of which copies exist (the server's catalogue); commitCopy numbers them
  // itself.
  bool putList(uint32_t copy, std::span<const uint8_t> record);
  // Deletes the list of copy `copy`; a missing one is not an error.
  bool dropList(uint32_t copy);

  const std::string& folder() const { return folder_; }

 private:
  struct Packs;

  CopyStore(std::string folder, std::shared_ptr<Packs> packs)
      : folder_(std::move(folder)), packs_(std::move(packs)) {}
  static std::optional<CopyStore> openWith(const std::string& folder, bool writing,
                                           StoreOpenError* error);
  std::string sectionPath(uint32_t number) const;
  std::string copyPath(uint32_t copy) const;
  bool append(uint32_t number, std::span<const uint8_t> record, bool sync);

  std::string folder_;
  // The packs' index, their open handles, the pack being written and the
  // writer's lock; shared by copies of the store object.
  std::shared_ptr<Packs> packs_;
};

// Reads a result buffer of the backup engine's finishing steps (a u32 count
// followed by that many u32 section numbers). Nothing when the buffer is
// shorter than its count says.
std::optional<std::vector<uint32_t>> parseSectionSet(ByteBuffer buffer);

}  // namespace vl
