#include "engine/restore_writer_temp.h"

#include <algorithm>
#include <utility>

#include "platform/file.h"
#include "platform/folders.h"

namespace vl {
namespace {

constexpr int kCreateAttempts = 16;
// Records are written in pieces of at most this many bytes, all handed to
// the system in one call.
constexpr size_t kPiece = 102400;
// Pieces per call: a whole section of 2 MiB and its length go in one call.
constexpr size_t kPiecesPerCall = 32;
static_assert(kPiecesPerCall <= File::kMaxPiecesPerCall);

}  // namespace

SectionTempFolder::SectionTempFolder(std::string workingDirectory)
    : working_directory_(std::move(workingDirectory)) {}

SectionTempFolder::~SectionTempFolder() { remove(); }

std::string SectionTempFolder::fileName(uint32_t number) {
  return "data_" + std::to_string(number) + ".bin";
}

bool SectionTempFolder::create(RandomPool& pool) {
  if (exists()) return true;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    uint32_t random = 0;
    if (!pool.generateWord(random)) return false;
    std::string candidate = working_directory_ + "/file_data_" + std::to_string(random);
    // Only the owner may look inside: the records are sealed, but their
    // number and sizes still tell something about the copy.
    const NewFolder made = createNewFolder(candidate, FolderAccess::kOwnerOnly);
    if (made == NewFolder::kNameTaken) continue;
    if (made != NewFolder::kCreated) return false;
    // Opened without following a symlink: the folder is the one just made.
    if (!folder_.open(candidate, /*followSymlink=*/false)) {
      removeFolder(candidate);
      return false;
    }
    path_ = std::move(candidate);
    return true;
  }
  return false;
}

bool SectionTempFolder::store(uint32_t number, std::span<const uint8_t> record) {
  if (!exists() || record.size() > ByteBuffer::kMaxFileLength) return false;
  std::string name = fileName(number);
  File file;
  if (!file.createOrTruncateAt(folder_, name.c_str(), FileAccess::kOwnerOnly)) return false;
  stored_.insert(number);
  const uint32_t length = static_cast<uint32_t>(record.size());
  lengths_[number] = length;
  uint8_t header[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                       static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  std::span<const uint8_t> pieces[kPiecesPerCall];
  size_t count = 0;
  pieces[count++] = header;
  bool ok = true;
  for (size_t at = 0; ok && at < record.size(); at += kPiece) {
    pieces[count++] = record.subspan(at, std::min(kPiece, record.size() - at));
    if (count == kPiecesPerCall) {
      ok = file.writePieces({pieces, count});
      count = 0;
    }
  }
  ok = ok && file.writePieces({pieces, count});
  return file.close() && ok;
}

std::optional<ByteBuffer> SectionTempFolder::load(uint32_t number) const {
  if (!exists()) return std::nullopt;
  // The length comes from when the record was kept: no need to ask the file
  // system for the size. A file cut short is refused, and so is one that
  // grew: the spare byte after the record fills in the same read.
  auto known = lengths_.find(number);
  if (known == lengths_.end()) return std::nullopt;
  std::string name = fileName(number);
  File file;
  if (!file.openOwnForReadingAt(folder_, name.c_str())) return std::nullopt;
  uint8_t header[4];
  uint8_t spare = 0;
  ByteBuffer bytes(known->second);
  const std::span<uint8_t> pieces[3] = {header, {bytes.data(), bytes.size()}, {&spare, 1}};
  std::optional<size_t> got = file.readPieces(pieces, sizeof header + bytes.size());
  file.close();
  const uint32_t length = bytes.size();
  if (!got || *got != sizeof header + length ||
      (header[0] | (header[1] << 8) | (header[2] << 16) |
       (static_cast<uint32_t>(header[3]) << 24)) != length) {
    return std::nullopt;
  }
  return bytes;
}

bool SectionTempFolder::drop(uint32_t number) {
  if (stored_.erase(number) == 0) return true;
  std::string name = fileName(number);
  return folder_.removeFile(name.c_str());
}

bool SectionTempFolder::sweep() {
  bool ok = true;
  for (uint32_t number : stored_) {
    std::string name = fileName(number);
    if (!folder_.removeFile(name.c_str())) ok = false;
  }
  stored_.clear();
  return ok;
}

bool SectionTempFolder::remove() {
  if (!exists()) return true;
  bool ok = sweep();
  folder_.close();
  ok = removeFolder(path_) && ok;
  path_.clear();
  return ok;
}

}  // namespace vl
