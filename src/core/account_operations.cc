// The BackupSystem operations that open exchanges and handle the account's
// key files: openExchange, createAccount, recoverAccount, and the recovery
// file's check and erasure.
#include <algorithm>
#include <utility>

#include "core/backup_system.h"
#include "core/byte_buffer.h"
#include "core/usage_files.h"
#include "crypto/account_keys.h"
#include "crypto/key_files.h"
#include "crypto/random_pool_startup.h"
#include "net/recover_act.h"
#include "net/setup_act.h"
#include "platform/c_rand.h"
#include "platform/updatable_file.h"

namespace vl {
namespace {

// "last.bin" of an account without a completed copy: a buffer with a u32 0.
bool writeNoCopyYet() {
  ByteBuffer last;
  last.appendU32(0);
  return last.saveToFile(kLastCopyFile);
}

}  // namespace

bool BackupSystem::runConnection() {
  if (!connection_) return false;
  setNetworkReady(false);
  const bool normal = connection_->run();
  setNetworkReady(true);
  return normal;
}

bool BackupSystem::makeInstallId() {
  ByteBuffer id;
  return random_pool_->generate(kInstallIdSize, id) && writeInstallId(kInstallIdFile, id);
}

bool BackupSystem::openExchange(const StartChunkInput& input, std::unique_ptr<SendAction> exchange,
                                ExchangeKeys* keys, ByteBuffer* dhExponent) {
  if (failed() || !connection_ || !server_ || !random_pool_ || !random_pool_->ready()) {
    return false;
  }
  BuiltStart built;
  if (!buildStartChunk(input, server_->key, random_pool_.get(), keys, &built)) return false;
  *dhExponent = std::move(built.dhExponent);
  return connection_->attach(std::move(built.chunk), std::move(exchange));
}

bool BackupSystem::createAccount(SetupMainAction* callbacks, const std::string& recoveryFilePath,
                                 const AccountDetails& details) {
  if (failed() || callbacks == nullptr || !connection_ || !random_pool_ ||
      !random_pool_->ready() || !makeInstallId()) {
    return false;
  }
  writeNoCopyYet();
  AccountKeys keys;
  if (!makeAccountKeys(random_pool_.get(), &keys)) return false;
  random_pool_->saveSeed(kRandomSeedFile);

  const ServerKey& server = server_->key;
  const ByteBuffer signingPublicKey = keys.signingPublicKey;
  auto act = std::make_unique<SetupAct>(callbacks, random_pool_.get(), std::move(keys),
                                        recoveryFilePath, server.sizeCode);
  ByteBuffer request = buildSetupRequest(accountSetupRecord(details).span(),
                                         signingPublicKey.span(), server, random_pool_.get(),
                                         &act->keys());
  if (request.empty()) return false;
  return connection_->attach(std::move(request), std::move(act));
}

bool BackupSystem::recoverAccount(RecoverMainAction* callbacks,
                                  const std::string& recoveryFilePath, bool* serverKeyFlag) {
  if (failed() || callbacks == nullptr || !random_pool_ || !random_pool_->ready() ||
      !makeInstallId()) {
    return false;
  }
  RecoveryRecord recovery;
  if (!readRecovery(recoveryFilePath, &recovery)) return false;
  if (serverKeyFlag != nullptr) *serverKeyFlag = recovery.serverKeyFlag();
  // The writer keeps only n of the encryption key: restores read the
  // private half from the recovery file every time.
  if (!writeLocalKey(kLocalKeyFile, recovery.userNumber, recovery.localKey,
                     recovery.encryptionKey, recovery.signingKey) ||
      !writeLogKey(kLogKeyFile, recovery.logKey)) {
    return false;
  }
  random_pool_->saveSeed(kRandomSeedFile);
  ByteBuffer installId;
  if (!readInstallId(kInstallIdFile, &installId)) return false;

  auto act = std::make_unique<RecoverAct>(callbacks, random_pool_.get());
  ExchangeKeys* keys = &act->keys();
  ByteBuffer* dhExponent = &act->dhExponent();
  const StartChunkInput input{recovery.userNumber, installId.span(), recovery.signingKey.span(),
                              true, true};
  return openExchange(input, std::move(act), keys, dhExponent);
}

RecoveryFileUser BackupSystem::checkRecoveryFileUser() const {
  RecoveryRecord recovery;
  if (!readRecovery(recovery_file_, &recovery)) return RecoveryFileUser::kUnreadable;
  LocalKeyRecord local;
  if (!readLocalKey(kLocalKeyFile, &local) || local.userNumber != recovery.userNumber) {
    return RecoveryFileUser::kOtherUser;
  }
  return RecoveryFileUser::kSameUser;
}

bool BackupSystem::eraseRecoveryFile(const std::string& path) {
  UpdatableFile file;
  if (file.open(path, UpdatableFile::Mode::kReadWrite) != UpdatableFile::Opened::kOpened) {
    return false;
  }
  const std::optional<FileIdentity> identity = file.identity();
  if (!identity) return false;
  // In pieces, so a large file needs no buffer of its size.
  uint8_t piece[65536];
  for (uint64_t offset = 0; offset < identity->size;) {
    const size_t length =
        static_cast<size_t>(std::min<uint64_t>(sizeof piece, identity->size - offset));
    for (size_t i = 0; i < length; ++i) piece[i] = static_cast<uint8_t>(cRand());
    if (!file.writeAt(offset, piece, length)) return false;
    offset += length;
  }
  const bool synced = identity->size == 0 || file.sync();
  file.close();
  return synced;
}

}  // namespace vl
