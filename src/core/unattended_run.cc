#include "core/unattended_run.h"

#include "core/account_check.h"
#include "core/backup_settings.h"
#include "core/default_selection.h"
#include "core/exit_codes.h"
#include "engine/copy_log.h"
#include "engine/folder_selection.h"
#include "ui/add_read_folder_main_action.h"

namespace vl {

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

  // NOT BUILT YET: the backup itself (settings into options, resume when no
  // copy has completed, the backup operation and the connection's run). Until
  // the backup operation exists the backup cannot start.
  logInLanguage(log, "Fel: Kunde inte starta kopieringen.", "Error: Could not start backup process.");
  return kExitBackupNotStarted;
}

}  // namespace vl
