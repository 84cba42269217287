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

  // A damaged "server.bin" is a failure too: falling back to the built-in
  // server would send this user's exchanges somewhere they did not choose.
  server_ = chooseServer();
  if (!server_) {
    fail(kSystemConnectionFailure);
    return;
  }
  connection_ = std::make_unique<ServerConnection>(server_->endpoint);
  if (connection_->failed()) {
    fail(kSystemConnectionFailure);
    return;
  }

  uint32_t code = 0;
  random_pool_ = startRandomPool(kRandomSeedFile, code);
  if (!random_pool_) {
    fail(code != 0 ? code : kSystemRandomSourceFailure);
    return;
  }
  network_ready_.store(1);
}

BackupSystem::~BackupSystem() {
  // An exchange still attached goes before the pool it draws from.
  connection_.reset();
  if (random_pool_) finishRandomPool(*random_pool_, kRandomSeedFile);
}

void BackupSystem::fail(uint32_t code) {
  failed_ = 1;
  failure_code_ = code;
}

}  // namespace vl
