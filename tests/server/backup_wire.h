// The client's side of the backup, restore and list requests, written out
// by hand for the server tests: records of the right shape (the server never
// opens them, so their sealed bytes may be anything), the request fields,
// and readers of the answers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "server/server_test_util.h"

namespace vl::test {

// A section record of the shape a client writes; `fill` tells records apart.
inline ByteBuffer sectionRecord(uint8_t fill, uint32_t bodyBytes = 64) {
  ByteBuffer record;
  record.appendU16(100);
  record.appendU16(1);
  record.appendU8(0);
  record.appendU8(4);
  ByteBuffer secret(256);
  for (uint32_t i = 0; i < secret.size(); ++i) secret[i] = fill;
  record.appendCounted(secret);
  ByteBuffer body(bodyBytes);
  for (uint32_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(fill + i);
  record.appendCounted(body);
  return record;
}

inline ByteBuffer listRecord(uint8_t fill) {
  ByteBuffer record;
  record.appendU16(103);
  record.appendU16(1);
  record.appendU8(0);
  record.appendU8(0);
  ByteBuffer body(80);
  for (uint32_t i = 0; i < body.size(); ++i) body[i] = fill;
  record.appendCounted(body);
  return record;
}

inline ByteBuffer sectionSet(const std::vector<uint32_t>& numbers) {
  ByteBuffer set;
  set.appendU32(static_cast<uint32_t>(numbers.size()));
  for (uint32_t number : numbers) set.appendU32(number);
  return set;
}

// The fields of a FileListChunk, each of which a test may spoil.
struct CopyParts {
  uint32_t time = 1700000000;
  uint32_t files = 3;
  uint64_t size = 12345;
  uint32_t sectionCounter = 10;
  ByteBuffer list = listRecord(1);
  ByteBuffer unused = sectionSet({});
  ByteBuffer used = sectionSet({});
  ByteBuffer sealedLog = ByteBuffer(48);
  ByteBuffer logTag = ByteBuffer(32);
  uint16_t copyCount = 0;
  uint16_t retentionDays = 0;
  ByteBuffer orphaned = sectionSet({});

  ByteBuffer fields() const {
    ByteBuffer out;
    out.appendU32(time);
    out.appendU32(files);
    out.appendU64HighFirst(size);
    out.appendU32(sectionCounter);
    out.appendCounted(list);
    out.appendCounted(unused);
    out.appendCounted(used);
    out.appendCounted(sealedLog);
    out.appendCounted(logTag);
    out.appendU16(copyCount);
    out.appendU16(retentionDays);
    out.appendCounted(orphaned);
    return out;
  }
};

inline ByteBuffer uploadFields(uint32_t number, const ByteBuffer& record) {
  ByteBuffer fields;
  fields.appendU32(number);
  fields.appendCounted(record);
  return fields;
}

// Uploads `record` as `number`; the result, with the copy's bytes so far.
inline std::optional<uint16_t> upload(Session& session, uint32_t number, const ByteBuffer& record,
                                      uint64_t* soFar = nullptr) {
  OpenedChunk answer;
  const std::optional<uint16_t> result =
      ask(session, ChunkType::kFileData, &answer, uploadFields(number, record));
  if (result == 0 && soFar) {
    StrictReader fields = answer.fields();
    uint16_t code = 0;
    uint32_t high = 0;
    uint32_t low = 0;
    EXPECT_TRUE(fields.readU16(&code) && fields.readU32(&high) && fields.readU32(&low));
    EXPECT_TRUE(fields.atEnd());
    *soFar = (static_cast<uint64_t>(high) << 32) | low;
  }
  return result;
}

struct CommitReply {
  uint64_t usedBytes = 0;
  uint32_t copies = 0;
  uint32_t reservedGib = 0;
};

inline std::optional<uint16_t> commit(Session& session, const CopyParts& parts,
                                      CommitReply* reply = nullptr) {
  OpenedChunk answer;
  const std::optional<uint16_t> result =
      ask(session, ChunkType::kFileList, &answer, parts.fields());
  if (result == 0 && reply) {
    StrictReader fields = answer.fields();
    uint16_t code = 0;
    uint32_t high = 0;
    uint32_t low = 0;
    EXPECT_TRUE(fields.readU16(&code) && fields.readU32(&high) && fields.readU32(&low) &&
                fields.readU32(&reply->copies) && fields.readU32(&reply->reservedGib));
    EXPECT_TRUE(fields.atEnd());
    reply->usedBytes = (static_cast<uint64_t>(high) << 32) | low;
  }
  return result;
}

struct ListedCopy {
  bool present = false;
  ByteBuffer list;
  uint32_t time = 0;
  uint32_t files = 0;
  uint64_t size = 0;
};

// The answer to a list request with `selector`; nothing when the server
// closed or answered a non-zero result.
inline std::optional<ListedCopy> listCopy(Session& session, uint32_t selector,
                                          uint8_t withLists = 0) {
  ByteBuffer request;
  request.appendU32(selector);
  request.appendU8(withLists);
  OpenedChunk answer;
  if (ask(session, ChunkType::kFileListRequest, &answer, request) != 0) return std::nullopt;
  StrictReader fields = answer.fields();
  uint16_t code = 0;
  uint8_t present = 0;
  if (!fields.readU16(&code) || !fields.readU8(&present)) return std::nullopt;
  ListedCopy copy;
  copy.present = present != 0;
  if (copy.present) {
    std::span<const uint8_t> list;
    uint32_t high = 0;
    uint32_t low = 0;
    if (!fields.readCounted(&list) || !fields.readU32(&copy.time) ||
        !fields.readU32(&copy.files) || !fields.readU32(&high) || !fields.readU32(&low)) {
      return std::nullopt;
    }
    copy.list = ByteBuffer(list);
    copy.size = (static_cast<uint64_t>(high) << 32) | low;
  }
  if (!fields.atEnd()) return std::nullopt;
  return copy;
}

// Asks for section `number`; the result, and the record with result 0.
inline std::optional<uint16_t> fetch(Session& session, uint32_t number,
                                     ByteBuffer* record = nullptr) {
  ByteBuffer request;
  request.appendU32(number);
  OpenedChunk answer;
  const std::optional<uint16_t> result =
      ask(session, ChunkType::kFileDataRequest, &answer, request);
  if (result == 0 && record) {
    StrictReader fields = answer.fields();
    uint16_t code = 0;
    std::span<const uint8_t> bytes;
    EXPECT_TRUE(fields.readU16(&code) && fields.readCounted(&bytes) && fields.atEnd());
    *record = ByteBuffer(bytes);
  }
  return result;
}

}  // namespace vl::test

namespace vl::test {

struct ArchivedRecord {
  uint32_t copy = 0;
  uint32_t time = 0;
  uint32_t files = 0;
  uint64_t size = 0;
};

struct ArchiveReply {
  std::vector<ArchivedRecord> records;
  uint64_t usedBytes = 0;
  uint32_t copies = 0;
  uint32_t reservedGib = 0;
};

inline ByteBuffer archiveFields(uint32_t mode, const std::vector<uint32_t>& numbers) {
  ByteBuffer fields;
  fields.appendU32(mode);
  fields.appendCounted(sectionSet(numbers));
  return fields;
}

// An archive request; the result, and with 0 the answer read whole.
inline std::optional<uint16_t> archive(Session& session, uint32_t mode,
                                       const std::vector<uint32_t>& numbers,
                                       ArchiveReply* reply = nullptr) {
  OpenedChunk answer;
  const std::optional<uint16_t> result =
      ask(session, ChunkType::kArchive, &answer, archiveFields(mode, numbers));
  if (result != 0 || !reply) return result;
  StrictReader fields = answer.fields();
  uint16_t code = 0;
  std::span<const uint8_t> list;
  uint32_t high = 0;
  uint32_t low = 0;
  EXPECT_TRUE(fields.readU16(&code) && fields.readCounted(&list) && fields.readU32(&high) &&
              fields.readU32(&low) && fields.readU32(&reply->copies) &&
              fields.readU32(&reply->reservedGib) && fields.atEnd());
  reply->usedBytes = (static_cast<uint64_t>(high) << 32) | low;
  StrictReader records(list);
  uint32_t count = 0;
  EXPECT_TRUE(records.readU32(&count));
  for (uint32_t i = 0; i < count; ++i) {
    ArchivedRecord record;
    EXPECT_TRUE(records.readU32(&record.copy) && records.readU32(&record.time) &&
                records.readU32(&record.files) && records.readU32(&high) &&
                records.readU32(&low));
    record.size = (static_cast<uint64_t>(high) << 32) | low;
    reply->records.push_back(record);
  }
  EXPECT_TRUE(records.atEnd());
  return result;
}

}  // namespace vl::test
