// vardlok usage, log and history: what this computer knows of its copies,
// from the state files alone, without asking the server. `usage` shows the
// server's figures as it last reported them; `log` every record of the copy
// log; `history` the finished copies and restores.
#include <cstdio>
#include <filesystem>

#include "core/usage_files.h"
#include "engine/copy_log.h"
#include "vardlok/command_registry.h"
#include "vardlok/options.h"
#include "vardlok/terminal.h"

namespace vardlok {
namespace {

constexpr uint32_t kLanguage = 0;  // no system object: the default setting

bool exists(const char* path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

void line(uint32_t language, const char* swedish, const char* english, const std::string& value) {
  std::printf("%s %s\n", language == 0 ? swedish : english, value.c_str());
}

int runUsage(const Args& args) {
  if (!args.empty()) return usageError("usage");
  if (!enterWorkingFolder(kLanguage)) return kFailed;
  const uint32_t language = kLanguage;
  const std::string unknown = language == 0 ? "Okänt" : "Unknown";
  // A missing usage.bin means the server has told this computer nothing yet.
  if (!exists(vl::kServerUsageFile)) {
    line(language, "Antal lagrade kopior:", "Stored copies:", unknown);
    line(language, "Diskanvändning:", "Disk usage:", unknown);
    line(language, "Reserverat utrymme:", "Reserved space:", unknown);
    return kSucceeded;
  }
  const vl::ServerUsage usage = vl::readServerUsage();
  const uint64_t uploading = vl::readCurrentUpload();
  line(language, "Antal lagrade kopior:", "Stored copies:", std::to_string(usage.copies));
  line(language, "Diskanvändning:", "Disk usage:", sizeText(language, usage.used_bytes));
  if (uploading != 0) {
    line(language, "Användning denna dator:", "Used by the copy in progress:",
         sizeText(language, uploading));
  }
  line(language, "Reserverat utrymme:", "Reserved space:",
       sizeText(language, vl::reservedBytes(usage)));
  if (vl::quotaWarningDue(usage)) {
    say(language, "Varning! Mer än 80% av det reserverade utrymmet på servern används.",
        "Warning! More than 80% of the reserver disk quota on the server is used.");
  }
  return kSucceeded;
}

// The records of the copy log; false after saying why.
bool loadRecords(uint32_t language, std::vector<vl::CopyLogRecord>* records) {
  if (!enterWorkingFolder(language)) return false;
  if (vl::loadLog(records)) return true;
  say(language, "Kunde inte läsa historiken.", "Could not read the history.");
  return false;
}

const char* statusText(uint32_t language, uint16_t kind) {
  switch (kind) {
    case vl::kLogCompletion:
      return "OK";
    case vl::kLogMessage:
      return language == 0 ? "*** FEL ***" : "*** ERROR ***";
    default:
      return language == 0 ? "Varning" : "Warning";
  }
}

int runLog(const Args& args) {
  const auto options = parseOptions(args, {}, {"--english"});
  if (!options || !options->positional.empty()) return usageError("log");
  const uint32_t language = options->has("--english") ? 1 : kLanguage;
  std::vector<vl::CopyLogRecord> records;
  if (!loadRecords(language, &records)) return kFailed;
  for (const vl::CopyLogRecord& record : records) {
    const std::string text(record.textView());
    if (record.kind == vl::kLogCompletion) {
      std::printf("%s\t%s\t%u\t%llu\t%s\n", timeText(record.time).c_str(),
                  statusText(language, record.kind), record.count,
                  static_cast<unsigned long long>(record.size), text.c_str());
    } else {
      std::printf("%s\t%s\t\t\t%s\n", timeText(record.time).c_str(),
                  statusText(language, record.kind), text.c_str());
    }
  }
  return kSucceeded;
}

int runHistory(const Args& args) {
  if (!args.empty()) return usageError("history");
  std::vector<vl::CopyLogRecord> records;
  if (!loadRecords(kLanguage, &records)) return kFailed;
  for (const vl::CopyLogRecord& record : records) {
    if (record.kind != vl::kLogCompletion) continue;
    std::printf("%s\t%u\t%llu\t%s\n", timeText(record.time).c_str(), record.count,
                static_cast<unsigned long long>(record.size), std::string(record.textView()).c_str());
  }
  return kSucceeded;
}

}  // namespace

VARDLOK_COMMAND("usage",
                "vardlok usage\n"
                "    the server's figures as last reported: copies, disk usage, reserved space\n",
                runUsage);

VARDLOK_COMMAND("log",
                "vardlok log [--english]\n"
                "    the copy log: time, status, files, bytes, message\n"
                "    (--english: the status words in English)\n",
                runLog);

VARDLOK_COMMAND("history",
                "vardlok history\n"
                "    the finished copies and restores: time, files, bytes, message\n",
                runHistory);

}  // namespace vardlok
