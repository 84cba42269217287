#include "core/startup.h"

#include <cstdio>
#include <string>

#include "core/exit_codes.h"
#include "core/unattended_run.h"
#include "core/working_directory.h"
#include "platform/os_version.h"

namespace vl {
namespace {

constexpr std::string_view kCaption = "Vardlok";

// Where start-up tells about a failure: the copy log when unattended, a
// message box when interactive. `log_reachable` is false when the working
// directory could not be entered; the copy log lives there, so the message
// goes to standard error instead of into whatever folder the run started in,
// as it does when the log cannot be written.
void report(InteractiveFrontEnd* front_end, const LogContext& log, bool log_reachable,
            const std::string& swedish_box, const std::string& swedish_log,
            const std::string& english_log) {
  if (front_end != nullptr) {
    front_end->messageBoxes().show(kCaption, swedish_box, MessageBoxIcon::kError);
  } else if (log_reachable && logInLanguage(log, swedish_log, english_log)) {
    return;
  } else {
    std::string text(log.pick(swedish_log, english_log));
    std::fprintf(stderr, "vl_client: %s\n", text.c_str());
  }
}

// 103 or 104 when the system is too old, else 0.
int checkSystemVersion() {
  OsVersion version = operatingSystemVersion();
  if (version.major < 5) return kExitSystemTooOld;
  if (version.major == 5 && version.minor == 0) return kExitSystemIs50;
  return 0;
}

}  // namespace

CommandLine parseCommandLine(std::string_view whole) {
  CommandLine flags;
  flags.hidden = whole == "hidden" || whole == "HIDDEN" || whole == "Hidden";
  flags.unattended = whole == "backup" || whole == "BACKUP" || whole == "Backup";
  return flags;
}

int runClient(std::string_view command_line, const FrontEndFactory& make_front_end) {
  const CommandLine flags = parseCommandLine(command_line);
  std::unique_ptr<InteractiveFrontEnd> front_end;
  if (!flags.unattended) front_end = make_front_end();

  if (int refusal = checkSystemVersion(); refusal != 0) {
    // No system object yet: the log line is in Swedish, and the working
    // directory is entered only so the line lands in the copy log.
    bool log_reachable = !flags.unattended || enterWorkingDirectory().has_value();
    report(front_end.get(), LogContext{}, log_reachable,
           "För att köra programmet krävs Windows XP eller senare operativsystem!",
           "Fel: För att köra programmet krävs Windows XP eller senare operativsystem!",
           "Error: To run this client, windows xp or later is required!");
    return refusal;
  }

  auto system = std::make_unique<BackupSystem>();
  setBackupSystem(system.get());
  if (system->failed()) {
    const std::string code = std::to_string(system->failureCode());
    report(front_end.get(), system->logContext(),
           system->failureCode() != kSystemWorkingDirectoryFailure,
           "Kunde inte initiera BackupSystem! Kod: " + code,
           "Kunde inte initiera BackupSystem! Kod: " + code,
           "Could not initiate BackupSystem! Code: " + code);
    setBackupSystem(nullptr);
    return kExitSystemFailed;
  }

  InstanceLock lock;
  if (InstanceStart start = lock.acquire(front_end.get(), system->logContext());
      start != InstanceStart::kTaken) {
    setBackupSystem(nullptr);
    system.reset();
    return start == InstanceStart::kFailed ? kExitLockFailed : kExitAlreadyRunning;
  }

  // The scheduler interface needs no component services on this platform.
  int code = flags.unattended ? runUnattended(*system) : front_end->run(*system, flags.hidden);
  // Exclusions of the last run may still be gathered in memory.
  flushCopyLog();

  setBackupSystem(nullptr);
  system.reset();
  lock.release();
  return code;
}

}  // namespace vl
