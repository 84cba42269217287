// vltool state: decodes a state file of the client's working directory,
// chosen by its file name, and prints its fields one a line.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "core/backup_settings.h"
#include "core/byte_buffer.h"
#include "core/copy_progress_file.h"
#include "core/folders_file.h"
#include "core/schedule_file.h"
#include "core/state_files.h"
#include "core/usage_files.h"
#include "engine/copy_log.h"
#include "engine/restart_state.h"
#include "vltool/command_registry.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool state dump FILE\n"
    "    FILE is a state file of the working directory (conf.bin, folders.bin, gui_on.bin,\n"
    "    wnd.bin, cf.bin, progr.bin, auto.bin, scr_msg.bin, quota_error.bin, rec_ctrl.bin,\n"
    "    start_time.bin, acc.bin, last.bin, usage.bin, current.bin, restart.bin, logg.bin);\n"
    "    the kind is told by the file name. Prints one field a line.\n";

void field(const char* name, unsigned long long value) {
  std::printf("%s = %llu\n", name, value);
}

// Seconds since 1970 with their UTC reading.
void timeField(const char* name, uint32_t seconds) {
  char text[32] = "never";
  if (seconds != 0) {
    std::time_t t = seconds;
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  }
  std::printf("%s = %u (%s)\n", name, seconds, text);
}

void absent(const char* what) { std::printf("%s = absent\n", what); }

int dumpSettings(const std::string& path) {
  vl::BackupSettings s = vl::loadSettings(path);
  field("interval", s.interval);
  field("copy_count_parameter", s.copy_count_parameter);
  field("archive_every", s.archive_every);
  field("retention_days", s.retention_days);
  field("include_hidden", s.include_hidden);
  field("compress", s.compress);
  field("transport_encryption", s.transport_encryption);
  field("quick_compare", s.quick_compare);
  field("no_exclusion_warning", s.no_exclusion_warning);
  return 0;
}

int dumpFolders(const std::string& path) {
  auto folders = vl::readFolderSelection(path);
  if (!folders) return fail("cannot read " + path);
  field("stored_count", vl::readFolderCount(path));
  for (const auto& folder : *folders) std::printf("folder = %s\n", folder.c_str());
  return 0;
}

int dumpProgress(const std::string& path) {
  auto progress = vl::readCopyProgress(path);
  if (!progress) {
    absent("progress");
    return 0;
  }
  field("done", progress->done);
  field("total", progress->total);
  field("phase", progress->phase);
  timeField("written_at", progress->written_at);
  return 0;
}

int dumpSchedule(const std::string& path) {
  vl::WeeklySchedule schedule = vl::readSchedule(path);
  field("hour", schedule.hour);
  field("minute", schedule.minute);
  static const char* const kDays[] = {"monday", "tuesday",  "wednesday", "thursday",
                                      "friday", "saturday", "sunday"};
  for (size_t i = 0; i < schedule.days.size(); ++i) field(kDays[i], schedule.days[i] ? 1 : 0);
  return 0;
}

int dumpRestart(const std::string& path) {
  vl::ByteBuffer stored;
  if (!stored.loadFromFile(path)) return fail("cannot read " + path);
  auto state = vl::RestartState::parse(stored.span());
  if (!state) return fail(path + " is damaged");
  field("next_section_id", state->nextSectionId);
  field("records", state->size());
  field("files_passed", state->filesPassed);
  return 0;
}

int dumpLog(const std::string& path) {
  vl::ByteBuffer stored;
  std::vector<vl::CopyLogRecord> records;
  if (!stored.loadFromFile(path)) return fail("cannot read " + path);
  if (!vl::parseCopyLog(stored, &records)) return fail(path + " is not a copy log");
  field("records", records.size());
  for (const auto& record : records) {
    std::string text(record.textView());
    char when[32];
    std::time_t t = record.time;
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &utc);
    std::printf("record = kind %u, %s UTC, count %u, size %llu, %s\n", record.kind, when,
                record.count, static_cast<unsigned long long>(record.size), text.c_str());
  }
  return 0;
}

int dump(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  auto optional = [](const char* what, auto value) {
    if (value) field(what, *value);
    else absent(what);
    return 0;
  };
  if (name == vl::kSettingsFile) return dumpSettings(path);
  if (name == vl::kFoldersFile) return dumpFolders(path);
  if (name == vl::kGuiOnFile) return optional("gui_on", vl::readGuiOn(path));
  if (name == vl::kWindowFile) return optional("window_handle", vl::readWindowHandle(path));
  if (name == vl::kCancelFile) return field("cancel", vl::readCancelRequest(path)), 0;
  if (name == vl::kAutoStartFile) return field("automatic", vl::readAutoStarted(path)), 0;
  if (name == vl::kFirstCopyAdviceFile) {
    return field("advice_shown", vl::firstCopyAdviceShown(path)), 0;
  }
  if (name == vl::kQuotaErrorFile) return field("quota_error", vl::readQuotaError(path)), 0;
  if (name == vl::kRecoveryCheckFile) {
    return timeField("recovery_checked", vl::readRecoveryCheckTime(path)), 0;
  }
  if (name == vl::kAccountFlagFile) return optional("account_flag", vl::readAccountFlag(path));
  if (name == vl::kCopyProgressFile) return dumpProgress(path);
  if (name == vl::kScheduleFile) return dumpSchedule(path);
  if (name == vl::kLastCopyFile) {
    vl::LastCopy last = vl::readLastCopy(path);
    timeField("time", last.time);
    field("files", last.files);
    field("bytes", last.bytes);
    return 0;
  }
  if (name == vl::kServerUsageFile) {
    vl::ServerUsage usage = vl::readServerUsage(path);
    field("used_bytes", usage.used_bytes);
    field("copies", usage.copies);
    field("reserved_gib", usage.reserved_gib);
    return 0;
  }
  if (name == vl::kCurrentUploadFile) return field("uploaded", vl::readCurrentUpload(path)), 0;
  if (name == vl::kRestartFile) return dumpRestart(path);
  if (name == vl::kCopyLogFile) return dumpLog(path);
  return fail("'" + name + "' is not a state file this tool knows");
}

int runState(const Args& args) {
  if (args.size() != 2 || args[0] != "dump") return usageError("state");
  return dump(args[1]);
}

}  // namespace

VLTOOL_COMMAND_GROUP("state", kUsage, runState);

}  // namespace vltool
