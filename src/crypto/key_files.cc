#include "crypto/key_files.h"

#include <utility>

#include "crypto/account_keys.h"
#include "crypto/rsa_key.h"

namespace vl {
namespace {

constexpr uint32_t kModulusBytes = RsaKey::kModulusBytes;
constexpr uint32_t kFullFormBytes = RsaKey::kFullFormBytes;

// Reads one field that must be exactly `length` bytes long and complete.
bool readExactField(ByteBuffer& record, uint32_t length, ByteBuffer* out) {
  if (record.remaining() < 4) return false;
  uint32_t declared = record.readU32();
  if (declared != length || record.remaining() < length) return false;
  ByteBuffer field(length);
  record.readBytes(field.data(), length);
  *out = std::move(field);
  return true;
}

// Checks the u16 type and u16 version at the start of a key record.
bool readHeader(ByteBuffer& record, uint16_t type) {
  if (record.remaining() < 8) return false;
  uint16_t readType = record.readU16();
  uint16_t version = record.readU16();
  return readType == type && version == kKeyRecordVersion;
}

ByteBuffer singleField(const ByteBuffer& value, uint32_t length) {
  ByteBuffer record;
  if (value.size() != length) return record;
  record.appendCounted(value);
  return record;
}

bool decodeSingleField(const ByteBuffer& record, uint32_t length, ByteBuffer* out) {
  ByteBuffer reader = record;
  reader.setReadPosition(0);
  ByteBuffer field;
  if (!readExactField(reader, length, &field) || reader.remaining() != 0) return false;
  *out = std::move(field);
  return true;
}

bool saveRecord(const std::string& path, ByteBuffer record) {
  return !record.empty() && record.saveToFile(path);
}

template <typename Decoded, typename Decoder>
bool loadRecord(const std::string& path, Decoded* out, Decoder decode) {
  ByteBuffer record;
  return record.loadFromFile(path) && decode(record, out);
}

}  // namespace

ByteBuffer encodeInstallId(const ByteBuffer& installId) {
  return singleField(installId, kInstallIdSize);
}

ByteBuffer encodeLogKey(const ByteBuffer& logKey) { return singleField(logKey, kLogKeySize); }

ByteBuffer encodeLocalKey(uint32_t userNumber, const ByteBuffer& localKey,
                          const ByteBuffer& encryptionKey, const ByteBuffer& signingKey) {
  RsaKey encryption;
  if (localKey.size() != kLocalKeySize || signingKey.size() != kModulusBytes ||
      !encryption.load(encryptionKey.span(), true, RsaKey::kBits, RsaKeyKind::kEncryption,
                       nullptr)) {
    return {};
  }
  ByteBuffer record;
  record.appendU16(kLocalKeyRecordType);
  record.appendU16(kKeyRecordVersion);
  record.appendU32(userNumber);
  record.appendCounted(localKey);
  record.appendCounted(encryption.exportPublic());
  record.appendCounted(signingKey);
  return record;
}

ByteBuffer encodeRecovery(const RecoveryRecord& in) {
  if (in.localKey.size() != kLocalKeySize || in.encryptionKey.size() != kFullFormBytes ||
      in.signingKey.size() != kModulusBytes || in.logKey.size() != kLogKeySize) {
    return {};
  }
  ByteBuffer record;
  record.appendU16(kRecoveryRecordType);
  record.appendU16(kKeyRecordVersion);
  record.appendU32(in.userNumber);
  record.appendCounted(in.localKey);
  record.appendCounted(in.encryptionKey);
  record.appendCounted(in.signingKey);
  record.appendU8(in.serverKeyCode);
  record.appendCounted(in.logKey);
  return record;
}

bool decodeInstallId(const ByteBuffer& record, ByteBuffer* installId) {
  return decodeSingleField(record, kInstallIdSize, installId);
}

bool decodeLogKey(const ByteBuffer& record, ByteBuffer* logKey) {
  return decodeSingleField(record, kLogKeySize, logKey);
}

bool decodeLocalKey(const ByteBuffer& record, LocalKeyRecord* out) {
  ByteBuffer reader = record;
  reader.setReadPosition(0);
  LocalKeyRecord decoded;
  if (!readHeader(reader, kLocalKeyRecordType)) return false;
  decoded.userNumber = reader.readU32();
  if (!readExactField(reader, kLocalKeySize, &decoded.localKey) ||
      !readExactField(reader, kModulusBytes, &decoded.encryptionPublicKey) ||
      !readExactField(reader, kModulusBytes, &decoded.signingKey) || reader.remaining() != 0) {
    return false;
  }
  *out = std::move(decoded);
  return true;
}

bool decodeRecovery(const ByteBuffer& record, RecoveryRecord* out) {
  ByteBuffer reader = record;
  reader.setReadPosition(0);
  RecoveryRecord decoded;
  if (!readHeader(reader, kRecoveryRecordType)) return false;
  decoded.userNumber = reader.readU32();
  if (!readExactField(reader, kLocalKeySize, &decoded.localKey) ||
      !readExactField(reader, kFullFormBytes, &decoded.encryptionKey) ||
      !readExactField(reader, kModulusBytes, &decoded.signingKey) || reader.remaining() < 1) {
    return false;
  }
  decoded.serverKeyCode = reader.readU8();
  if (!readExactField(reader, kLogKeySize, &decoded.logKey) || reader.remaining() != 0) {
    return false;
  }
  *out = std::move(decoded);
  return true;
}

bool writeInstallId(const std::string& path, const ByteBuffer& installId) {
  return saveRecord(path, encodeInstallId(installId));
}

bool writeLogKey(const std::string& path, const ByteBuffer& logKey) {
  return saveRecord(path, encodeLogKey(logKey));
}

bool writeLocalKey(const std::string& path, uint32_t userNumber, const ByteBuffer& localKey,
                   const ByteBuffer& encryptionKey, const ByteBuffer& signingKey) {
  return saveRecord(path, encodeLocalKey(userNumber, localKey, encryptionKey, signingKey));
}

bool writeRecovery(const std::string& path, const RecoveryRecord& record) {
  return saveRecord(path, encodeRecovery(record));
}

bool readInstallId(const std::string& path, ByteBuffer* installId) {
  return loadRecord(path, installId, decodeInstallId);
}

bool readLogKey(const std::string& path, ByteBuffer* logKey) {
  return loadRecord(path, logKey, decodeLogKey);
}

bool readLocalKey(const std::string& path, LocalKeyRecord* out) {
  return loadRecord(path, out, decodeLocalKey);
}

bool readRecovery(const std::string& path, RecoveryRecord* out) {
  return loadRecord(path, out, decodeRecovery);
}

}  // namespace vl
