#include "engine/restart_state.h"

#include <utility>

#include "core/secure_wipe.h"
#include "model/previous_copy_index.h"
#include "model/utf16.h"
#include "platform/file.h"

namespace vl {
namespace {

constexpr uint32_t kHashSize = 32;
// A record without path, sections or hash bytes: path length, attributes,
// six time halves, hash length and the two section counts.
constexpr uint32_t kMinRecordBytes = 4 + 4 + 24 + 4 + 4 + 4;
// One section: its id and its hash.
constexpr uint32_t kBytesPerSection = 4 + kHashSize;

void appendTime(ByteBuffer& out, uint64_t time) {
  out.appendU32(static_cast<uint32_t>(time));
  out.appendU32(static_cast<uint32_t>(time >> 32));
}

// Reads strictly: every read must find its bytes.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool u32(uint32_t* value) {
    if (left() < 4) return false;
    const uint8_t* p = bytes_.data() + position_;
    *value = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    position_ += 4;
    return true;
  }
  bool time(uint64_t* value) {
    uint32_t low = 0;
    uint32_t high = 0;
    if (!u32(&low) || !u32(&high)) return false;
    *value = (static_cast<uint64_t>(high) << 32) | low;
    return true;
  }
  std::optional<std::span<const uint8_t>> bytes(size_t length) {
    if (left() < length) return std::nullopt;
    std::span<const uint8_t> piece = bytes_.subspan(position_, length);
    position_ += length;
    return piece;
  }
  size_t left() const { return bytes_.size() - position_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

bool readRecord(Reader& in, RestartRecord* record) {
  uint32_t pathLength = 0;
  if (!in.u32(&pathLength) || pathLength % 2 != 0) return false;
  auto path = in.bytes(pathLength);
  if (!path) return false;
  record->fullPath.resize(pathLength / 2);
  for (uint32_t i = 0; i < pathLength / 2; ++i) {
    record->fullPath[i] = static_cast<char16_t>(((*path)[2 * i] << 8) | (*path)[2 * i + 1]);
  }
  uint32_t hashLength = 0;
  if (!in.u32(&record->metadata.attributes) || !in.time(&record->metadata.creationTime) ||
      !in.time(&record->metadata.lastAccessTime) || !in.time(&record->metadata.lastWriteTime) ||
      !in.u32(&hashLength) || hashLength != kHashSize) {
    return false;
  }
  auto hash = in.bytes(kHashSize);
  if (!hash) return false;
  record->contentHash = *ListHash::from(*hash);

  // The sections are added as their ids are read: memory follows the bytes
  // that are there, never a count that a damaged file declares.
  uint32_t idCount = 0;
  if (!in.u32(&idCount) || idCount > in.left() / kBytesPerSection) return false;
  for (uint32_t i = 0; i < idCount; ++i) {
    ListSection section;
    if (!in.u32(&section.number)) return false;
    record->sections.push_back(section);
  }
  uint32_t hashCount = 0;
  if (!in.u32(&hashCount) || hashCount != idCount) return false;
  for (ListSection& section : record->sections) {
    auto sectionHash = in.bytes(kHashSize);
    if (!sectionHash) return false;
    section.hash = *ListHash::from(*sectionHash);
  }
  return true;
}

}  // namespace

RestartState::RestartState() = default;

bool RestartState::add(RestartRecord record) {
  if (record.sections.size() == 1 && !(record.sections[0].hash == record.contentHash)) {
    return false;
  }
  uint32_t index = size();
  uint8_t pathHash[32];
  hashPath(record.fullPath, pathHash);
  bool ok = byPath_.insert(std::span<const uint8_t>(pathHash, 32), index) &&
            byContent_.insert(record.contentHash.bytes(), index);
  secureWipe(pathHash, sizeof pathHash);
  // A failed second insert leaves a stale path key behind; it points past
  // the records and is never followed.
  if (!ok) return false;
  records_.push_back(std::move(record));
  return true;
}

RestartRecord* RestartState::findByPath(std::u16string_view fullPath) {
  if (records_.empty()) return nullptr;
  uint8_t pathHash[32];
  hashPath(fullPath, pathHash);
  std::optional<uint32_t> index = byPath_.find(std::span<const uint8_t>(pathHash, 32));
  secureWipe(pathHash, sizeof pathHash);
  return index && *index < size() ? &records_[*index] : nullptr;
}

RestartRecord* RestartState::findByContent(std::span<const uint8_t> contentHash) {
  if (records_.empty()) return nullptr;
  std::optional<uint32_t> index = byContent_.find(contentHash);
  return index && *index < size() ? &records_[*index] : nullptr;
}

void RestartState::clear() {
  WipedVector<RestartRecord>().swap(records_);
  byPath_.clear();
  byContent_.clear();
}

ByteBuffer RestartState::serialize() const {
  ByteBuffer out;
  out.appendU32(nextSectionId);
  out.appendU32(size());
  for (const RestartRecord& record : records_) {
    out.appendU32(static_cast<uint32_t>(record.fullPath.size() * 2));
    appendUtf16HighFirst(out, record.fullPath);
    out.appendU32(record.metadata.attributes);
    appendTime(out, record.metadata.creationTime);
    appendTime(out, record.metadata.lastAccessTime);
    appendTime(out, record.metadata.lastWriteTime);
    out.appendCounted(record.contentHash.bytes().data(), record.contentHash.size());
    out.appendU32(static_cast<uint32_t>(record.sections.size()));
    for (const ListSection& section : record.sections) out.appendU32(section.number);
    out.appendU32(static_cast<uint32_t>(record.sections.size()));
    for (const ListSection& section : record.sections) out.appendBytes(section.hash.bytes());
  }
  out.appendU32(filesPassed);
  return out;
}

std::optional<RestartState> RestartState::parse(std::span<const uint8_t> contents) {
  Reader in(contents);
  RestartState state;
  uint32_t count = 0;
  if (!in.u32(&state.nextSectionId) || !in.u32(&count)) return std::nullopt;
  // The cleared form: two zero values and nothing after them.
  if (state.nextSectionId == 0 && count == 0 && in.left() == 0) return state;
  if (count > in.left() / kMinRecordBytes) return std::nullopt;
  state.records_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    RestartRecord record;
    if (!readRecord(in, &record) || !state.add(std::move(record))) return std::nullopt;
  }
  if (!in.u32(&state.filesPassed) || in.left() != 0) return std::nullopt;
  return state;
}

bool RestartState::save(const std::string& path) const {
  ByteBuffer contents = serialize();
  return contents.saveToFile(path);
}

bool RestartState::saveCleared(const std::string& path) {
  ByteBuffer contents;
  contents.appendU32(0);
  contents.appendU32(0);
  return contents.saveToFile(path);
}

RestartLoad loadRestartState(RestartState* state, const std::string& path) {
  if (!fileSize(path)) return RestartLoad::kNothing;
  ByteBuffer contents;
  if (!contents.loadFromFile(path)) return RestartLoad::kDamaged;
  // Whatever follows an id of 0 is never resumed.
  if (contents.size() >= 4 && contents.readU32() == 0) return RestartLoad::kNothing;
  std::optional<RestartState> loaded = RestartState::parse(contents.span());
  if (!loaded) return RestartLoad::kDamaged;
  if (loaded->nextSectionId == 0) return RestartLoad::kNothing;
  *state = std::move(*loaded);
  return RestartLoad::kLoaded;
}

}  // namespace vl
