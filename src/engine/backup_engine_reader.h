// How the backup engine reads a file of at most the hold limit: a hashing
// pass over the whole content that keeps the bytes, cut into sections, so
// that a new file is not read again. (A larger file is read once by a
// SectionStream, which cuts and hashes at the same time.)
//
// Only regular files are opened, and opening never waits: an entry replaced
// by a FIFO or a device after it was listed is refused, not read. A file
// that grows past the hold limit while it is hashed keeps nothing and is
// read a second time, by the section pass (SectionCutter).
//
// When a file is read twice, the section pass hashes the bytes as they are
// cut. Its hash is the one a list entry must carry: when the file changed
// between the passes it differs from the hashing pass, and only the cut
// bytes were stored.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/sha256.h"
#include "platform/file.h"

namespace vl {

// The most a section holds.
inline constexpr uint32_t kSectionSize = 2097152;
// Piece size of the hashing pass; the cancel flag is looked at before each.
inline constexpr uint32_t kHashPieceSize = 10240;
// The hashing pass reads this many pieces at a time.
inline constexpr uint32_t kHashReadPieces = 25;
// The most the hashing pass keeps in memory; larger files are streamed.
inline constexpr uint64_t kHoldLimit = 64ull << 20;

struct HashedContent {
  enum class Outcome { kRead, kUnreadable, kCancelled };

  Outcome outcome = Outcome::kUnreadable;
  ByteBuffer hash;     // 32 bytes after kRead
  uint64_t bytes = 0;  // how many bytes were hashed
  // The whole content cut into sections (each kSectionSize bytes but the
  // last, which is never empty), when the listed size and the bytes read
  // are both at most the hold limit; empty otherwise.
  std::vector<ByteBuffer> sections;

  // Whether `sections` holds every byte that was hashed.
  bool held() const;
};

// The hashing pass: SHA-256 of every byte of `path`, read to its end and
// hashed in pieces of kHashPieceSize. `sizeHint` is the size the listing
// gave: the content is kept only when it and the bytes read are at most
// `holdLimit`. A set `cancel` ends the read as kCancelled.
HashedContent hashFileContent(const std::string& path, uint64_t sizeHint,
                              const std::atomic<uint8_t>* cancel,
                              uint64_t holdLimit = kHoldLimit);

// The section pass over one new file.
class SectionCutter {
 public:
  enum class Cut { kSection, kEnd, kFailed };

  // Starts cutting the `size` bytes that the hashing pass found.
  bool open(const std::string& path, uint64_t size);
  // The next section: kSectionSize bytes, or what is left of `size`. The file
  // may have shrunk since it was hashed: the section is then shorter and the
  // one after it is kEnd. kEnd also once `size` bytes are cut; the bytes
  // after them, if the file grew, are not part of this copy. kFailed on a
  // read error.
  Cut next(ByteBuffer& section);
  // SHA-256 of all bytes cut so far.
  ByteBuffer contentHash();
  uint64_t bytesCut() const { return cut_; }
  // No section is left: the next call gives kEnd.
  bool done() const { return ended_ || cut_ >= size_; }
  // The sections this file is expected to give.
  uint32_t plannedSections() const;
  void close() { file_.close(); }

 private:
  File file_;
  Sha256 whole_;
  uint64_t size_ = 0;
  uint64_t cut_ = 0;
  bool ended_ = false;
};

}  // namespace vl
