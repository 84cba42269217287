#include "model/list_payload.h"

#include <cstring>
#include <utility>

namespace vl {

namespace {

// Writes into a buffer sized beforehand, so the hot loop never checks for
// room or grows.
class PayloadWriter {
 public:
  explicit PayloadWriter(uint8_t* out) : p_(out) {}

  void u8(uint8_t v) { *p_++ = v; }
  void u16(uint16_t v) {
    p_[0] = static_cast<uint8_t>(v);
    p_[1] = static_cast<uint8_t>(v >> 8);
    p_ += 2;
  }
  void u32(uint32_t v) {
    p_[0] = static_cast<uint8_t>(v);
    p_[1] = static_cast<uint8_t>(v >> 8);
    p_[2] = static_cast<uint8_t>(v >> 16);
    p_[3] = static_cast<uint8_t>(v >> 24);
    p_ += 4;
  }
  void time(uint64_t v) {
    u32(static_cast<uint32_t>(v >> 32));
    u32(static_cast<uint32_t>(v));
  }
  void field(std::span<const uint8_t> bytes) {
    u32(static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) std::memcpy(p_, bytes.data(), bytes.size());
    p_ += bytes.size();
  }
  void nameField(std::u16string_view name) {
    u32(static_cast<uint32_t>(name.size() * 2));
    for (char16_t unit : name) {
      *p_++ = static_cast<uint8_t>(unit >> 8);
      *p_++ = static_cast<uint8_t>(unit);
    }
  }

 private:
  uint8_t* p_;
};

uint64_t entryBytes(const FileListEntry& entry) {
  uint64_t total = kMinListEntryBytes + uint64_t{entry.name.size()} * 2 + entry.contentHash.size();
  for (const ListSection& section : entry.sections) total += 8 + section.hash.size();
  return total;
}

// Reads the payload strictly: any read that does not fit in what remains
// marks the reader failed, so a cut-off payload never yields made-up entries.
class PayloadReader {
 public:
  explicit PayloadReader(std::span<const uint8_t> in) : in_(in) {}

  bool failed() const { return failed_; }
  size_t remaining() const { return in_.size() - pos_; }

  uint8_t u8() {
    if (!have(1)) return 0;
    return in_[pos_++];
  }
  uint16_t u16() {
    if (!have(2)) return 0;
    uint16_t v = static_cast<uint16_t>(in_[pos_] | (in_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  uint32_t u32() {
    if (!have(4)) return 0;
    const uint8_t* p = in_.data() + pos_;
    pos_ += 4;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  uint64_t time() {
    uint64_t high = u32();
    return (high << 32) | u32();
  }
  std::span<const uint8_t> field() {
    uint32_t length = u32();
    if (!have(length)) return {};
    std::span<const uint8_t> bytes = in_.subspan(pos_, length);
    pos_ += length;
    return bytes;
  }
  void fail() { failed_ = true; }

 private:
  bool have(size_t n) {
    if (failed_ || remaining() < n) {
      failed_ = true;
      return false;
    }
    return true;
  }

  std::span<const uint8_t> in_;
  size_t pos_ = 0;
  bool failed_ = false;
};

bool readName(std::span<const uint8_t> bytes, uint16_t version, WipedU16String& name) {
  if (version < 3) {
    // 8-bit names: each byte up to the first zero is the code unit of the
    // same value, as the C library's single-byte conversion gives it in the
    // "C" locale.
    size_t length = 0;
    while (length < bytes.size() && bytes[length] != 0) ++length;
    name.resize(length);
    for (size_t i = 0; i < length; ++i) name[i] = static_cast<char16_t>(bytes[i]);
    return true;
  }
  if (bytes.size() % 2 != 0) return false;
  name.resize(bytes.size() / 2);
  for (size_t i = 0; i < name.size(); ++i) {
    name[i] = static_cast<char16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
  }
  return true;
}

bool readHash(std::span<const uint8_t> bytes, ListHash& hash) {
  std::optional<ListHash> read = ListHash::from(bytes);
  if (!read) return false;
  hash = *read;
  return true;
}

bool readEntry(PayloadReader& in, uint16_t version, FileListEntry& entry) {
  if (!readName(in.field(), version, entry.name)) return false;
  entry.isFolder = in.u8() == 1;
  entry.isFolderEnd = in.u8() == 1;
  entry.metadata.creationTime = in.time();
  entry.metadata.lastAccessTime = in.time();
  entry.metadata.lastWriteTime = in.time();
  entry.metadata.attributes = in.u32();
  if (!readHash(in.field(), entry.contentHash)) return false;
  uint32_t sectionCount = in.u32();
  // Each section takes at least its number and an empty hash field. The
  // sections are added as they are read, so that memory follows the bytes
  // that are there and never a count that a damaged payload declares.
  if (in.failed() || uint64_t{sectionCount} * 8 > in.remaining()) return false;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    ListSection section;
    section.number = in.u32();
    if (!readHash(in.field(), section.hash)) return false;
    entry.sections.push_back(section);
  }
  return !in.failed();
}

}  // namespace

uint16_t listVersionFor(uint16_t baseVersion) {
  if (baseVersion >= 3) return baseVersion;
  return baseVersion + 2 < 3 ? 3 : static_cast<uint16_t>(baseVersion + 2);
}

ByteBuffer serializeList(const FileList& list, uint16_t baseVersion) {
  uint64_t total = kListHeaderBytes;
  for (const FileListEntry& entry : list.entries()) total += entryBytes(entry);
  if (total > UINT32_MAX) return {};

  ByteBuffer payload(static_cast<size_t>(total));
  PayloadWriter out(payload.data());
  out.u16(listVersionFor(baseVersion));
  out.u32(list.nextSectionNumber);
  out.u32(list.entryCount());
  for (const FileListEntry& entry : list.entries()) {
    out.nameField(entry.name);
    out.u8(entry.isFolder ? 1 : 0);
    out.u8(entry.isFolderEnd ? 1 : 0);
    out.time(entry.metadata.creationTime);
    out.time(entry.metadata.lastAccessTime);
    out.time(entry.metadata.lastWriteTime);
    out.u32(entry.metadata.attributes);
    out.field(entry.contentHash.bytes());
    out.u32(static_cast<uint32_t>(entry.sections.size()));
    for (const ListSection& section : entry.sections) {
      out.u32(section.number);
      out.field(section.hash.bytes());
    }
  }
  return payload;
}

std::optional<FileList> parseList(std::span<const uint8_t> payload) {
  if (payload.size() < kListHeaderBytes) return std::nullopt;
  PayloadReader in(payload);
  FileList list;
  list.version = in.u16();
  list.nextSectionNumber = in.u32();
  uint32_t count = in.u32();
  // Checked before anything is reserved, so a hostile count can neither
  // loop for billions of entries nor allocate for them.
  if (uint64_t{count} * kMinListEntryBytes > in.remaining()) return std::nullopt;
  list.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    FileListEntry entry;
    if (!readEntry(in, list.version, entry)) return std::nullopt;
    if (!list.addEntry(std::move(entry))) return std::nullopt;
  }
  return list;
}

}  // namespace vl
