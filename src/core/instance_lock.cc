#include "core/instance_lock.h"

#include <cstdio>
#include <string>

#include "core/state_files.h"

namespace vl {
namespace {
constexpr std::string_view kCaption = "Vardlok";
}  // namespace

InstanceLock::~InstanceLock() { release(); }

LockOutcome InstanceLock::take(bool interactive) {
  const LockOutcome outcome = file_.create(kInstanceLockFile);
  if (outcome) writeGuiOn(interactive ? 1 : 0);
  return outcome;
}

void InstanceLock::reportFailure(InstanceWindows* windows, const LogContext& log,
                                 const LockOutcome& outcome) {
  const std::string reason = " (" + outcome.reason() + ").";
  const std::string swedish =
      "Fel: Kunde inte låsa filen \"" + std::string(kInstanceLockFile) + "\" i arbetsmappen" + reason;
  const std::string english = "Error: Could not lock the file \"" +
                              std::string(kInstanceLockFile) + "\" in the working directory" +
                              reason;
  if (windows != nullptr) {
    windows->messageBoxes().show(kCaption, swedish, MessageBoxIcon::kError);
    return;
  }
  if (!logInLanguage(log, swedish, english)) {
    std::fprintf(stderr, "vl_client: %s\n", std::string(log.pick(swedish, english)).c_str());
  }
}

InstanceStart InstanceLock::acquire(InstanceWindows* windows, const LogContext& log) {
  const bool interactive = windows != nullptr;
  const LockOutcome first = take(interactive);
  if (first) return InstanceStart::kTaken;
  if (first.failed()) {
    reportFailure(windows, log, first);
    return InstanceStart::kFailed;
  }

  auto gui_on = readGuiOn();
  if (!gui_on) {
    const char* swedish = "Fel: Kunde inte läsa fil för gui_on-flagga.";
    if (interactive) {
      windows->messageBoxes().show(kCaption, swedish, MessageBoxIcon::kError);
    } else {
      logInLanguage(log, swedish, "Error: Cound not read file for gui-flagg.");
    }
    return InstanceStart::kRefused;
  }
  if (!interactive) {
    if (*gui_on == 1) {
      logInLanguage(log, "Fel: Kunde inte starta kopiering eftersom programmet redan kör.",
                    "Error: Copy process is already running.");
    }
    return InstanceStart::kRefused;  // another background run: refused silently
  }
  if (*gui_on != 1) {
    if (windows->waitForBackgroundCopy() != 1) return InstanceStart::kRefused;
    const LockOutcome again = take(true);
    if (again) return InstanceStart::kTaken;
    if (again.failed()) {
      reportFailure(windows, log, again);
      return InstanceStart::kFailed;
    }
    windows->messageBoxes().show(kCaption,
                                 "Fel: Kunde inte starta programmet eftersom en bakgrundsprocess "
                                 "fortfarande pågår eller programmet redan har startats.",
                                 MessageBoxIcon::kError);
    return InstanceStart::kRefused;
  }
  auto window = readWindowHandle();
  if (!window) {
    windows->messageBoxes().show(kCaption, "Fel: Kunde inte läsa global fönster-fil.",
                                 MessageBoxIcon::kError);
    return InstanceStart::kRefused;
  }
  if (*window != 0) windows->bringWindowForward(*window);
  return InstanceStart::kRefused;
}

void InstanceLock::release() {
  if (!file_.held()) return;
  writeGuiOn(0);
  file_.close();
}

}  // namespace vl
