#include "core/backup_system.h"

#include "core/exit_codes.h"
#include "core/working_directory.h"
#include "crypto/random_pool_startup.h"

namespace vl {
namespace {
std::atomic<BackupSystem*> g_system{nullptr};
}  // namespace

BackupSystem* backupSystem() { return g_system.load(); }
void setBackupSystem(BackupSystem* system) { g_system.store(system); }

BackupSystem::BackupSystem() {
  auto folder = enterWorkingDirectory();
  if (!folder) {
    fail(kSystemWorkingDirectoryFailure);
    return;
  }
  working_directory_ = *folder;

  // NOT BUILT YET: the server connection (default host, address 0, port
  // 55502) is created here, failing with kSystemConnectionFailure. Until the
  // transport exists there is no connection, and nothing that needs one runs.

  uint32_t code = 0;
  random_pool_ = startRandomPool(kRandomSeedFile, code);
  if (!random_pool_) {
    fail(code != 0 ? code : kSystemRandomSourceFailure);
    return;
  }
  network_ready_.store(1);
}

BackupSystem::~BackupSystem() {
  if (random_pool_) finishRandomPool(*random_pool_, kRandomSeedFile);
}

void BackupSystem::fail(uint32_t code) {
  failed_ = 1;
  failure_code_ = code;
}

}  // namespace vl
