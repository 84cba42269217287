#include "core/unattended_run.h"

#include "core/account_check.h"
#include "core/backup_settings.h"
#include "core/default_selection.h"
#include "core/exit_codes.h"
#include "core/usage_files.h"
#include "engine/copy_log.h"
#include "engine/folder_selection.h"
#include "ui/add_read_folder_main_action.h"
#include "ui/backup_main_action.h"

namespace vl {
namespace {

// What an unattended run passes: it answers as the interface class does
// and notes whether the copy completed.
class UnattendedBackup : public BackupMainAction {
 public:
  void copyFinished(const std::vector<std::string>&, bool) override { completed_ = true; }
  bool completed() const { return completed_; }

 private:
  bool completed_ = false;
};

}  // namespace

int runUnattended(BackupSystem& system) {
  const LogContext log = system.logContext();
  if (!accountExists()) {
    writeDefaultFolderSelection();
    logInLanguage(log, "Fel: Hittade ingen användare/krypteringsnyckel på systemet.",
                  "Error: Found no account or key on this system.");
    return kExitNoAccount;
  }

  // Unreadable folders are skipped without a question: the selection keeps
  // them with zero totals.
  const BackupSettings settings = loadSettings();
  rescanSelection(system.selection(),
                  std::make_unique<AddReadFolderMainAction>(nullptr, nullptr, true),
                  settings.include_hidden != 0);
  if (system.selection().folders.empty()) {
    logInLanguage(log, "Fel: Inga mappar valda för säkerhetskopiering.",
                  "Error: No folders selected for backup.");
    return kExitNoFolders;
  }
  if (totalFiles(system.selection()) > kMaxFilesPerCopy) {
    logInLanguage(log, "Fel: Maximalt antal filer i säkerhetskopian (250 000 st) har överskridits.",
                  "Error: Maxumimum number of files in copy exceded (250 000).");
    return kExitTooManyFiles;
  }

  // A copy is resumed only while none has completed: "restart.bin" is
  // then the first copy's interrupted attempt.
  const BackupOptions options = optionsFrom(loadSettings(), false, !readLastCopy().exists());
  UnattendedBackup callbacks;
  if (!system.failed() && system.startBackup(&callbacks, options)) {
    system.runConnection();
    return callbacks.completed() ? kExitNormal : kExitBackupNotCompleted;
  }
  logInLanguage(log, "Fel: Kunde inte starta kopieringen.", "Error: Could not start backup process.");
  return kExitBackupNotStarted;
}

}  // namespace vl
