#include "core/schedule_file.h"

namespace vl {

WeeklySchedule decodeSchedule(ByteBuffer& stored) {
  WeeklySchedule schedule;
  stored.setReadPosition(0);
  stored.readU8();  // always 1
  schedule.hour = stored.readU16();
  schedule.minute = stored.readU16();
  for (bool& day : schedule.days) day = stored.readU8() == 0;
  return schedule;
}

ByteBuffer encodeSchedule(const WeeklySchedule& schedule) {
  ByteBuffer out;
  out.appendU8(1);
  out.appendU16(schedule.hour);
  out.appendU16(schedule.minute);
  for (bool day : schedule.days) out.appendU8(day ? 0 : 1);
  return out;
}

WeeklySchedule readSchedule(const std::string& path) {
  ByteBuffer stored;
  stored.loadFromFile(path);  // a missing file reads as all zeros
  return decodeSchedule(stored);
}

bool writeSchedule(const WeeklySchedule& schedule, const std::string& path) {
  return encodeSchedule(schedule).saveToFile(path);
}

}  // namespace vl
