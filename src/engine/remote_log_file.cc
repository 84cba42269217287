#include "engine/remote_log_file.h"

#include "core/byte_buffer.h"

namespace vl {
namespace {

constexpr char kLogKeyFile[] = "logg_key.bin";
constexpr char kLocalKeyFile[] = "local_key.bin";
constexpr uint16_t kLocalKeyRecordType = 101;
constexpr uint32_t kLogKeyBytes = 32;

}  // namespace

bool saveRemoteLogFile(const std::string& path) {
  ByteBuffer log_key_file;
  ByteBuffer local_key;
  if (!log_key_file.loadFromFile(kLogKeyFile) || !local_key.loadFromFile(kLocalKeyFile)) {
    return false;
  }
  if (local_key.size() < 8 || local_key.readU16() != kLocalKeyRecordType ||
      local_key.readU16() != 0) {
    return false;
  }
  const uint32_t user_number = local_key.readU32();
  ByteBuffer log_key = log_key_file.readCounted();
  if (log_key.size() != kLogKeyBytes) return false;

  ByteBuffer out;
  out.appendU16(0);
  out.appendU32(user_number);
  out.appendCounted(log_key);
  return out.saveToFile(path);
}

}  // namespace vl
