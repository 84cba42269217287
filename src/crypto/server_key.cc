#include "crypto/server_key.h"

#include <utility>

namespace vl {

// Generated at configure time from the modulus file (server_key_modulus.cc.in).
extern const uint8_t kBuiltInServerModulus[];
extern const uint32_t kBuiltInServerModulusSize;

ByteBuffer builtInServerKeyRecord() {
  ByteBuffer record;
  record.appendU16(kServerKeySizeCode);
  record.appendU32(kServerKeyNumber);
  record.appendCounted(kBuiltInServerModulus, kBuiltInServerModulusSize);
  return record;
}

bool parseServerKeyRecord(const ByteBuffer& record, ServerKey* key) {
  ByteBuffer reader = record;
  reader.setReadPosition(0);
  if (reader.remaining() < 10) return false;
  ServerKey parsed;
  parsed.sizeCode = reader.readU16();
  parsed.keyNumber = reader.readU32();
  uint32_t fieldStart = reader.readPosition();
  uint32_t declared = reader.readU32();
  if (reader.remaining() < declared) return false;
  reader.setReadPosition(fieldStart);
  parsed.modulus = reader.readCounted();
  *key = std::move(parsed);
  return true;
}

bool loadServerKey(ServerKey* key) { return parseServerKeyRecord(builtInServerKeyRecord(), key); }

}  // namespace vl
