// The exit codes of vl_client and the failure codes of the system object.
//
// The scheduled task and whoever runs the client by hand learn the outcome
// of a run only from the exit code; the copy log holds the details.
#pragma once

#include <cstdint>

namespace vl {

inline constexpr int kExitNormal = 0;
inline constexpr int kExitAlreadyRunning = 101;
inline constexpr int kExitNoAccount = 102;
inline constexpr int kExitSystemTooOld = 103;  // major version below 5
inline constexpr int kExitSystemIs50 = 104;    // version 5.0
inline constexpr int kExitNoFolders = 107;
inline constexpr int kExitTooManyFiles = 110;
inline constexpr int kExitBackupNotStarted = 111;
inline constexpr int kExitSystemFailed = 112;
// The unattended backup started, but its exchange ended without completing
// the copy (a server answer, a lost connection, a cancel, a read error): the
// copy log says why. 0 is kept for a completed copy, so a scheduler sees a
// failed backup as failed.
inline constexpr int kExitBackupNotCompleted = 113;
// The instance lock ("file_mutex") could not be used at all: not another
// instance, but a lock file we may not open (left by a run as another user),
// a folder in its place, or no descriptors left. The copy log says which.
inline constexpr int kExitLockFailed = 114;

// Why the system object could not be built (code 2 is never produced).
inline constexpr uint32_t kSystemWorkingDirectoryFailure = 1;
inline constexpr uint32_t kSystemConnectionFailure = 3;
inline constexpr uint32_t kSystemRandomSourceFailure = 4;

}  // namespace vl
