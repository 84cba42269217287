#include "core/instance_lock.h"

#include "core/state_files.h"

namespace vl {
namespace {
constexpr std::string_view kCaption = "Vardlok";
}  // namespace

InstanceLock::~InstanceLock() { release(); }

bool InstanceLock::take(bool interactive) {
  if (!file_.create(kInstanceLockFile)) return false;
  writeGuiOn(interactive ? 1 : 0);
  return true;
}

bool InstanceLock::acquire(InstanceWindows* windows, const LogContext& log) {
  const bool interactive = windows != nullptr;
  if (take(interactive)) return true;

  auto gui_on = readGuiOn();
  if (!gui_on) {
    const char* swedish = "Fel: Kunde inte läsa fil för gui_on-flagga.";
    if (interactive) {
      windows->messageBoxes().show(kCaption, swedish, MessageBoxIcon::kError);
    } else {
      logInLanguage(log, swedish, "Error: Cound not read file for gui-flagg.");
    }
    return false;
  }
  if (!interactive) {
    if (*gui_on == 1) {
      logInLanguage(log, "Fel: Kunde inte starta kopiering eftersom programmet redan kör.",
                    "Error: Copy process is already running.");
    }
    return false;  // another background run: refused silently
  }
  if (*gui_on != 1) {
    if (windows->waitForBackgroundCopy() != 1) return false;
    if (take(true)) return true;
    windows->messageBoxes().show(kCaption,
                                 "Fel: Kunde inte starta programmet eftersom en bakgrundsprocess "
                                 "fortfarande pågår eller programmet redan har startats.",
                                 MessageBoxIcon::kError);
    return false;
  }
  auto window = readWindowHandle();
  if (!window) {
    windows->messageBoxes().show(kCaption, "Fel: Kunde inte läsa global fönster-fil.",
                                 MessageBoxIcon::kError);
    return false;
  }
  if (*window != 0) windows->bringWindowForward(*window);
  return false;
}

void InstanceLock::release() {
  if (!file_.held()) return;
  writeGuiOn(0);
  file_.close();
}

}  // namespace vl
