#include "core/state_files.h"

#include "core/byte_buffer.h"

namespace vl {
namespace {

std::optional<uint8_t> readU8File(const std::string& path) {
  ByteBuffer stored;
  if (!stored.loadFromFile(path) || stored.size() < 1) return std::nullopt;
  return stored.readU8();
}

std::optional<uint32_t> readU32File(const std::string& path) {
  ByteBuffer stored;
  if (!stored.loadFromFile(path) || stored.size() < 4) return std::nullopt;
  return stored.readU32();
}

bool writeU8File(uint8_t value, const std::string& path) {
  ByteBuffer out;
  out.appendU8(value);
  return out.saveToFile(path);
}

bool writeU32File(uint32_t value, const std::string& path) {
  ByteBuffer out;
  out.appendU32(value);
  return out.saveToFile(path);
}

}  // namespace

std::optional<uint32_t> readGuiOn(const std::string& path) { return readU32File(path); }
bool writeGuiOn(uint32_t value, const std::string& path) { return writeU32File(value, path); }

std::optional<uint32_t> readWindowHandle(const std::string& path) { return readU32File(path); }
bool writeWindowHandle(uint32_t handle, const std::string& path) {
  return writeU32File(handle, path);
}

bool readCancelRequest(const std::string& path) { return readU8File(path) == 1; }
bool writeCancelRequest(bool cancel, const std::string& path) {
  return writeU8File(cancel ? 1 : 0, path);
}

uint8_t readAutoStarted(const std::string& path) { return readU8File(path).value_or(0); }
bool writeAutoStarted(uint8_t automatic, const std::string& path) {
  return writeU8File(automatic, path);
}

bool firstCopyAdviceShown(const std::string& path) { return readU8File(path).has_value(); }
bool markFirstCopyAdviceShown(const std::string& path) { return writeU8File(1, path); }

uint8_t readQuotaError(const std::string& path) { return readU8File(path).value_or(0); }
bool writeQuotaError(uint8_t stopped, const std::string& path) { return writeU8File(stopped, path); }

uint32_t readRecoveryCheckTime(const std::string& path) { return readU32File(path).value_or(0); }
bool writeRecoveryCheckTime(uint32_t time, const std::string& path) {
  return writeU32File(time, path);
}

std::optional<uint8_t> readAccountFlag(const std::string& path) { return readU8File(path); }
bool writeAccountFlag(uint8_t flag, const std::string& path) { return writeU8File(flag, path); }

}  // namespace vl
