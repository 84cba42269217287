// The backup server's public key, built into the program.
//
// Every exchange starts with a secret encapsulated under the server's RSA
// key. The record compiled into the client holds u16 size code (0 = 2048
// bits, 1 = 3072, 2 = 4096), u32 key number (303) and one field with the
// server's modulus in little-endian byte form. Which modulus is built in is
// chosen when the program is configured (VL_SERVER_KEY_FILE), so whoever runs
// a server builds clients for its key.
#pragma once

#include <cstdint>

#include "core/byte_buffer.h"

namespace vl {

inline constexpr uint16_t kServerKeySizeCode = 0;
inline constexpr uint32_t kServerKeyNumber = 303;

struct ServerKey {
  uint16_t sizeCode = 0;
  uint32_t keyNumber = 0;
  ByteBuffer modulus;
};

// The record as compiled in.
ByteBuffer builtInServerKeyRecord();

// Reads a record of that layout with the ordinary buffer reads. False, with
// `key` untouched, when the record is cut short.
bool parseServerKeyRecord(const ByteBuffer& record, ServerKey* key);

// The built-in record, parsed.
bool loadServerKey(ServerKey* key);

}  // namespace vl
