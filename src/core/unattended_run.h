// The unattended run: one backup without any window, started by the
// scheduled task as "vl_client backup".
//
// It checks that an account exists, measures the selected folders, refuses
// an empty selection or one of more than 250 000 files, and runs the backup.
// Every refusal writes one copy-log record and ends with its exit code; a
// backup that ran ends with 0 only when the copy completed, else with
// kExitBackupNotCompleted (its error is in the copy log).
#pragma once

#include <cstdint>

#include "core/backup_system.h"

namespace vl {

// The most files one copy may hold.
inline constexpr uint32_t kMaxFilesPerCopy = 250000;

// Runs with the constructed system that holds the instance lock; returns
// the exit code.
int runUnattended(BackupSystem& system);

}  // namespace vl
