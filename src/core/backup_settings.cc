#include "core/backup_settings.h"

namespace vl {
namespace {

// Reads a stored field only when the buffer holds all of it.
template <typename T>
void readField(ByteBuffer& stored, T& field) {
  if (stored.remaining() < sizeof(T)) return;
  if constexpr (sizeof(T) == 1) field = stored.readU8();
  else if constexpr (sizeof(T) == 2) field = stored.readU16();
  else field = stored.readU32();
}

uint8_t inverted(uint8_t stored) { return stored == 0 ? 1 : 0; }

}  // namespace

void decodeSettings(ByteBuffer& stored, BackupSettings& settings) {
  stored.setReadPosition(0);
  // Inverted fields are read into their stored form first, so a missing one
  // keeps the setting's own default.
  uint8_t compress_off = inverted(settings.compress);
  uint8_t encryption_off = inverted(settings.transport_encryption);
  uint8_t content_compare = inverted(settings.quick_compare);
  uint16_t copy_count = settings.copy_count_parameter;
  readField(stored, settings.include_hidden);
  readField(stored, settings.interval);
  readField(stored, compress_off);
  readField(stored, encryption_off);
  readField(stored, copy_count);
  readField(stored, settings.archive_every);
  readField(stored, content_compare);
  readField(stored, settings.retention_days);
  readField(stored, settings.no_exclusion_warning);
  settings.compress = inverted(compress_off);
  settings.transport_encryption = inverted(encryption_off);
  settings.quick_compare = inverted(content_compare);
  settings.copy_count_parameter = copy_count == 0 ? kDefaultCopyCountParameter : copy_count;
}

ByteBuffer encodeSettings(const BackupSettings& settings) {
  ByteBuffer out;
  out.appendU8(settings.include_hidden);
  out.appendU32(settings.interval);
  out.appendU8(inverted(settings.compress));
  out.appendU8(inverted(settings.transport_encryption));
  out.appendU16(settings.copy_count_parameter);
  out.appendU16(settings.archive_every);
  out.appendU8(inverted(settings.quick_compare));
  out.appendU16(settings.retention_days);
  out.appendU8(settings.no_exclusion_warning);
  return out;
}

BackupSettings loadSettings(const std::string& path) {
  BackupSettings settings;
  ByteBuffer stored;
  if (stored.loadFromFile(path)) decodeSettings(stored, settings);
  return settings;
}

bool saveSettings(const BackupSettings& settings, const std::string& path) {
  return encodeSettings(settings).saveToFile(path);
}

BackupOptions optionsFrom(const BackupSettings& settings, bool automatic, bool resume) {
  BackupOptions options;
  options.automatic = automatic ? 1 : 0;
  options.transport_encryption = settings.transport_encryption;
  options.resume = resume ? 1 : 0;
  options.include_hidden = settings.include_hidden;
  options.quick_compare = settings.quick_compare;
  options.compress = settings.compress;
  options.copy_count_parameter = settings.copy_count_parameter;
  options.archive_every = settings.archive_every;
  options.retention_days = settings.retention_days;
  return options;
}

}  // namespace vl
