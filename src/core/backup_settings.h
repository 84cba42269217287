// BackupSettings: the user's backup settings, kept in "conf.bin".
// BackupOptions: what one backup run receives, built from the settings.
//
// Settings are always read over the defaults field by field, so a missing or
// short "conf.bin" yields the defaults for every field it does not hold. Two
// fields are stored inverted (0 = compress, 0 = transport encryption on) and
// quick compare is stored as its inverse, content-based comparison.
#pragma once

#include <cstdint>
#include <string>

#include "core/byte_buffer.h"

namespace vl {

inline constexpr char kSettingsFile[] = "conf.bin";
// Interval value that means "manual backups only".
inline constexpr uint32_t kManualBackupsOnly = 1;
inline constexpr uint16_t kDefaultCopyCountParameter = 20;

struct BackupSettings {
  uint32_t interval = 14400;  // seconds between automatic backups
  uint16_t copy_count_parameter = kDefaultCopyCountParameter;
  uint16_t archive_every = 0;  // 0 = automatic archiving off
  uint16_t retention_days = 30;
  uint8_t include_hidden = 0;
  uint8_t compress = 1;
  uint8_t transport_encryption = 1;
  uint8_t quick_compare = 1;  // 1 = content-based comparison off
  uint8_t no_exclusion_warning = 0;

  bool operator==(const BackupSettings&) const = default;
};

struct BackupOptions {
  uint8_t automatic = 0;
  uint8_t transport_encryption = 1;
  uint8_t resume = 0;
  uint8_t include_hidden = 0;
  uint8_t quick_compare = 1;
  uint8_t compress = 1;
  uint16_t copy_count_parameter = kDefaultCopyCountParameter;
  uint16_t archive_every = 0;
  uint16_t retention_days = 30;
};

// Overwrites the fields of `settings` that `stored` (the buffer of
// "conf.bin") holds; fields past its end keep their value.
void decodeSettings(ByteBuffer& stored, BackupSettings& settings);
// The 15-byte buffer of "conf.bin".
ByteBuffer encodeSettings(const BackupSettings& settings);

// The defaults with "conf.bin" (or `path`) loaded over them.
BackupSettings loadSettings(const std::string& path = kSettingsFile);
bool saveSettings(const BackupSettings& settings, const std::string& path = kSettingsFile);

// The options of a run with these settings.
BackupOptions optionsFrom(const BackupSettings& settings, bool automatic, bool resume);

}  // namespace vl
