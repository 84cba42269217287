#include "server/protocol/backup_requests.h"

#include "model/list_record.h"
#include "model/section_record.h"

namespace vl {
namespace {

constexpr uint32_t kWrappedSecretBytes = 256;
constexpr uint32_t kTagBytes = 32;
constexpr uint8_t kLastCompressionKind = 4;
constexpr uint32_t kAesBlock = 16;
// Vector and one block at least.
constexpr uint32_t kShortestSealedLog = 32;

// Type, version 0 or 1, and byte 4 zero; `*version` and `*byte5` get the
// rest of the six-byte header.
bool readRecordHeader(StrictReader& in, uint16_t type, uint16_t* version, uint8_t* byte5) {
  uint16_t readType = 0;
  uint8_t zero = 1;
  return in.readU16(&readType) && readType == type && in.readU16(version) && *version <= 1 &&
         in.readU8(&zero) && zero == 0 && in.readU8(byte5);
}

// The tag field a version-0 record carries after its body, then the end.
bool endsAfterBody(StrictReader& in, uint16_t version) {
  std::span<const uint8_t> tag;
  if (version == 0 && (!in.readCounted(&tag) || tag.size() != kTagBytes)) return false;
  return in.atEnd();
}

}  // namespace

bool soundSectionRecord(std::span<const uint8_t> record) {
  StrictReader in(record);
  uint16_t version = 0;
  uint8_t kind = 0;
  std::span<const uint8_t> secret;
  std::span<const uint8_t> body;
  return readRecordHeader(in, kSectionRecordType, &version, &kind) &&
         kind <= kLastCompressionKind && in.readCounted(&secret) &&
         secret.size() == kWrappedSecretBytes && in.readCounted(&body) && !body.empty() &&
         endsAfterBody(in, version);
}

bool soundListRecord(std::span<const uint8_t> record) {
  StrictReader in(record);
  uint16_t version = 0;
  uint8_t zero = 1;
  std::span<const uint8_t> body;
  return readRecordHeader(in, kListRecordType, &version, &zero) && zero == 0 &&
         in.readCounted(&body) && endsAfterBody(in, version);
}

bool readSectionUpload(StrictReader fields, SectionUpload* upload) {
  return fields.readU32(&upload->number) && fields.readCounted(&upload->record) &&
         fields.atEnd();
}

bool readCompletedCopy(StrictReader fields, NewCopy* copy, std::string* why) {
  uint32_t sizeHigh = 0;
  uint32_t sizeLow = 0;
  if (!fields.readU32(&copy->time) || !fields.readU32(&copy->files) ||
      !fields.readU32(&sizeHigh) || !fields.readU32(&sizeLow) ||
      !fields.readU32(&copy->sectionCounter) || !fields.readCounted(&copy->list) ||
      !fields.readCounted(&copy->unusedSections) || !fields.readCounted(&copy->usedSections) ||
      !fields.readCounted(&copy->sealedLog) || !fields.readCounted(&copy->logTag) ||
      !fields.readU16(&copy->copyCount) || !fields.readU16(&copy->retentionDays) ||
      !fields.readCounted(&copy->orphanedSections) || !fields.atEnd()) {
    *why = "its fields do not read";
    return false;
  }
  copy->size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
  if (!soundListRecord(copy->list)) {
    *why = "its list record has a wrong header";
    return false;
  }
  const struct {
    std::span<const uint8_t> bytes;
    const char* name;
  } sets[] = {{copy->unusedSections, "A"},
              {copy->usedSections, "B"},
              {copy->orphanedSections, "C"}};
  for (const auto& set : sets) {
    if (!readSectionSet(set.bytes)) {
      *why = std::string("its set ") + set.name + " is not a count and that many numbers";
      return false;
    }
  }
  if (copy->logTag.size() != kTagBytes) {
    *why = "its log tag is not 32 bytes";
    return false;
  }
  if (copy->sealedLog.size() < kShortestSealedLog || copy->sealedLog.size() % kAesBlock != 0) {
    *why = "its sealed log is not whole AES blocks of at least 32 bytes";
    return false;
  }
  return true;
}

bool readListRequest(StrictReader fields, uint32_t* selector, uint8_t* withLists) {
  return fields.readU32(selector) && fields.readU8(withLists) && fields.atEnd();
}

bool readSectionRequest(StrictReader fields, uint32_t* number) {
  return fields.readU32(number) && fields.atEnd();
}

}  // namespace vl
