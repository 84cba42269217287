// vardlok backup: one backup of the selected folders, as the scheduled task
// makes it, from a terminal. Questions about what cannot be read are
// answered as an unattended run answers them (go on without it); the copy
// log lists what was left out. On a terminal a progress line shows the
// sections and bytes done of the measured total, the rate and the time
// left.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/backup_settings.h"
#include "core/usage_files.h"
#include "engine/folder_selection.h"
#include "engine/restart_state.h"
#include "platform/terminal.h"
#include "ui/add_read_folder_main_action.h"
#include "ui/backup_main_action.h"
#include "vardlok/command_registry.h"
#include "vardlok/options.h"
#include "vardlok/terminal.h"

namespace vardlok {
namespace {

using Clock = std::chrono::steady_clock;

std::string mebibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

// The engine reports from the thread that prepares sections and the
// exchange from the one that runs the connection, so every call takes the
// lock.
class TerminalBackup : public vl::BackupMainAction {
 public:
  TerminalBackup(uint32_t language, uint64_t measuredBytes, bool progressLine)
      : language_(language), measured_(measuredBytes), line_(progressLine), start_(Clock::now()) {}

  void showStatus(std::string_view swedish, std::string_view english) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (line_) {
      clearLine();
      say(language_, swedish, english);
    }
  }
  void advanceProgress(uint32_t, uint32_t done, uint32_t total, uint64_t bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!line_) return;
    const Clock::time_point now = Clock::now();
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(200)) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    const uint64_t total_bytes = measured_ > bytes ? measured_ : bytes;
    const double left = rate > 0 ? static_cast<double>(total_bytes - bytes) / rate : 0;
    std::fprintf(stderr, "\r%u/%u sections, %s of %s, %s/s, %.0f s left   ", done, total,
                 mebibytes(bytes).c_str(), mebibytes(total_bytes).c_str(),
                 mebibytes(static_cast<uint64_t>(rate)).c_str(), left);
    drawn_ = true;
  }
  void reconnectStarting() override {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLine();
    say(language_, "Återansluter till servern...", "Reconnecting to the server...");
  }
  void copyFailed(std::string_view swedish, std::string_view english) override {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLine();
    say(language_, swedish, english);
  }
  void copyFinished(const std::vector<std::string>& excluded, bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLine();
    for (const std::string& path : excluded) {
      say(language_, "Utesluten: " + path, "Left out: " + path);
    }
    completed_ = true;
  }
  bool completed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
  }

 private:
  void clearLine() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

  mutable std::mutex mutex_;
  uint32_t language_;
  uint64_t measured_;
  bool line_;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
  bool drawn_ = false;
  bool completed_ = false;
};

int runBackup(const Args& args) {
  const auto options = parseOptions(args, {}, {"--fresh"});
  if (!options || !options->positional.empty()) return usageError("backup");
  std::unique_ptr<vl::BackupSystem> system = openSystem();
  if (!system) return kFailed;
  const uint32_t language = system->language();
  const vl::BackupSettings settings = vl::loadSettings();
  vl::rescanSelection(system->selection(),
                      std::make_unique<vl::AddReadFolderMainAction>(nullptr, nullptr, true),
                      settings.include_hidden != 0);
  if (system->selection().folders.empty()) {
    say(language, "Fel: Inga mappar valda för säkerhetskopiering.",
        "Error: No folders selected for backup.");
    return kFailed;
  }
  if (!ensureRandomCredit(*system)) {
    say(language, "Fel: Det finns inte tillräckligt med slumpdata.",
        "Error: There is not enough random data.");
    return kFailed;
  }
  // An interrupted copy is continued unless asked not to.
  vl::RestartState interrupted;
  const bool resume = !options->has("--fresh") &&
                      vl::loadRestartState(&interrupted) == vl::RestartLoad::kLoaded;
  TerminalBackup callbacks(language, vl::totalBytes(system->selection()),
                           vl::standardErrorIsTerminal());
  if (!system->startBackup(&callbacks, vl::optionsFrom(settings, false, resume))) {
    say(language, "Fel: Kunde inte starta kopieringen.", "Error: Could not start backup process.");
    return kFailed;
  }
  system->runConnection();
  if (!callbacks.completed()) return kFailed;
  const vl::LastCopy last = vl::readLastCopy();
  say(language,
      "Kopiering slutförd utan fel: " + std::to_string(last.files) + " filer, " +
          mebibytes(last.bytes) + ".",
      "Copy finished without errors: " + std::to_string(last.files) + " files, " +
          mebibytes(last.bytes) + ".");
  return kSucceeded;
}

}  // namespace

VARDLOK_COMMAND("backup",
                "vardlok backup [--fresh]\n"
                "    back the selected folders up to the server; an interrupted copy is\n"
                "    continued (--fresh: start the copy afresh)\n",
                runBackup);

}  // namespace vardlok
