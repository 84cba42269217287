// Decoders of the working directory's state files and of the XDG user-dirs
// text: any bytes must decode without a fault, and what decodes must survive
// being written back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/backup_settings.h"
#include "core/byte_buffer.h"
#include "core/folders_file.h"
#include "core/schedule_file.h"
#include "platform/known_folders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vl::ByteBuffer stored(data, size);

  vl::BackupSettings settings;
  vl::decodeSettings(stored, settings);
  vl::ByteBuffer again = vl::encodeSettings(settings);
  vl::BackupSettings reread;
  vl::decodeSettings(again, reread);
  if (!(reread == settings)) std::abort();

  vl::WeeklySchedule schedule = vl::decodeSchedule(stored);
  vl::ByteBuffer schedule_again = vl::encodeSchedule(schedule);
  if (!(vl::decodeSchedule(schedule_again) == schedule)) std::abort();

  // Every path read from the file has a single-byte form, so it can be
  // written back and reads the same.
  auto paths = vl::decodeFolderSelection(stored);
  auto encoded = vl::encodeFolderSelection(paths);
  if (!encoded || vl::decodeFolderSelection(*encoded) != paths) std::abort();

  std::string_view text(reinterpret_cast<const char*>(data), size);
  vl::canStoreFolderPath(text);
  vl::userDirFromText(text, "MUSIC", "/home/user");
  return 0;
}
