// The files that hold an account's keys and the installation's identity.
//
// Each is a buffer file (u32 length, then the record); a field is a u32
// length followed by that many bytes.
//
//   install_id.bin   16 bytes   field: 8-byte installation id
//   logg_key.bin     40 bytes   field: 32-byte log key
//   local_key.bin   568 bytes   u16 101, u16 0, u32 user number, fields:
//                               local key, encryption n, signing key (short)
//   recovery file  1245 bytes   u16 102, u16 0, u32 user number, fields:
//                               local key, encryption key (full), signing key
//                               (short), then u8 server key code, field: log key
//
// local_key.bin never holds the private half of the encryption key: restores
// read it from the recovery file, which the user keeps elsewhere. Readers
// take a file whole or not at all: a wrong type, version or field length, a
// cut-short or over-long record all fail and leave the output untouched.
#pragma once

#include <cstdint>
#include <string>

#include "core/byte_buffer.h"

namespace vl {

inline constexpr const char* kInstallIdFile = "install_id.bin";
inline constexpr const char* kLogKeyFile = "logg_key.bin";
inline constexpr const char* kLocalKeyFile = "local_key.bin";
inline constexpr const char* kRecoveryFileExtension = ".drf";

inline constexpr uint16_t kLocalKeyRecordType = 101;  // "e"
inline constexpr uint16_t kRecoveryRecordType = 102;  // "f"
inline constexpr uint16_t kKeyRecordVersion = 0;

struct LocalKeyRecord {
  uint32_t userNumber = 0;
  ByteBuffer localKey;             // 32 bytes
  ByteBuffer encryptionPublicKey;  // n, 256 bytes
  ByteBuffer signingKey;           // short form, 256 bytes
};

struct RecoveryRecord {
  uint32_t userNumber = 0;
  ByteBuffer localKey;       // 32 bytes
  ByteBuffer encryptionKey;  // full form, 896 bytes
  ByteBuffer signingKey;     // short form, 256 bytes
  // The low byte of the size code of the built-in server key when the file
  // was made; the flag is set when that byte is 1.
  uint8_t serverKeyCode = 0;
  bool serverKeyFlag() const { return serverKeyCode == 1; }
  ByteBuffer logKey;  // 32 bytes
};

// The records without the buffer-file length; empty when a key has the
// wrong size. The encryption key of the local-key record is given in either
// private form (256 or 896 bytes) and only its n is stored.
ByteBuffer encodeInstallId(const ByteBuffer& installId);
ByteBuffer encodeLogKey(const ByteBuffer& logKey);
ByteBuffer encodeLocalKey(uint32_t userNumber, const ByteBuffer& localKey,
                          const ByteBuffer& encryptionKey, const ByteBuffer& signingKey);
ByteBuffer encodeRecovery(const RecoveryRecord& record);

bool decodeInstallId(const ByteBuffer& record, ByteBuffer* installId);
bool decodeLogKey(const ByteBuffer& record, ByteBuffer* logKey);
bool decodeLocalKey(const ByteBuffer& record, LocalKeyRecord* out);
bool decodeRecovery(const ByteBuffer& record, RecoveryRecord* out);

// The same through files. Writes replace the file as a whole (a crash leaves
// the old file or the new one), readable by its owner alone; false when
// encoding or writing fails.
bool writeInstallId(const std::string& path, const ByteBuffer& installId);
bool writeLogKey(const std::string& path, const ByteBuffer& logKey);
bool writeLocalKey(const std::string& path, uint32_t userNumber, const ByteBuffer& localKey,
                   const ByteBuffer& encryptionKey, const ByteBuffer& signingKey);
bool writeRecovery(const std::string& path, const RecoveryRecord& record);

bool readInstallId(const std::string& path, ByteBuffer* installId);
bool readLogKey(const std::string& path, ByteBuffer* logKey);
bool readLocalKey(const std::string& path, LocalKeyRecord* out);
bool readRecovery(const std::string& path, RecoveryRecord* out);

}  // namespace vl
