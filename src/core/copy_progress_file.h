// "progr.bin": the progress of a running copy or restore, for a second
// instance of the program to show.
//
// Layout: u32 done, u32 total (both in 2 MiB sections), u8 phase (always 0),
// u32 time of writing in seconds since 1970. A copy counts as finished for
// the reader when done equals total.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vl {

inline constexpr char kCopyProgressFile[] = "progr.bin";

struct CopyProgress {
  uint32_t done = 0;
  uint32_t total = 0;
  uint8_t phase = 0;
  uint32_t written_at = 0;
};

// Nothing when the file is absent or too short for the two counters (there
// is then nothing new to show); phase and time past the end read as 0.
std::optional<CopyProgress> readCopyProgress(const std::string& path = kCopyProgressFile);
bool writeCopyProgress(const CopyProgress& progress, const std::string& path = kCopyProgressFile);

}  // namespace vl
