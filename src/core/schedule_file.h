// "start_time.bin": the weekly schedule last given to the scheduled task.
//
// Layout: u8 1; u16 hour; u16 minute; seven u8, Monday to Sunday, stored
// inverted (0 = the day is selected). A field past the end of the file reads
// as 0, so a missing file means 00:00 on every day.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/byte_buffer.h"

namespace vl {

inline constexpr char kScheduleFile[] = "start_time.bin";

struct WeeklySchedule {
  uint16_t hour = 0;
  uint16_t minute = 0;
  std::array<bool, 7> days{true, true, true, true, true, true, true};  // Monday first

  bool operator==(const WeeklySchedule&) const = default;
};

WeeklySchedule decodeSchedule(ByteBuffer& stored);
ByteBuffer encodeSchedule(const WeeklySchedule& schedule);

WeeklySchedule readSchedule(const std::string& path = kScheduleFile);
bool writeSchedule(const WeeklySchedule& schedule, const std::string& path = kScheduleFile);

}  // namespace vl
