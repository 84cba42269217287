// BackupSystem::startRestore: the restore exchange, with the keys of the
// recovery file the user chose.
#include <memory>
#include <utility>

#include "core/backup_system.h"
#include "crypto/key_files.h"
#include "crypto/rsa_key.h"
#include "platform/folders.h"

namespace vl {

bool BackupSystem::startRestore(RestoreMainAction* callbacks, RestoreRequest request,
                                bool transportEncryption) {
  if (failed() || callbacks == nullptr || !server_ || !random_pool_ || !random_pool_->ready()) {
    return false;
  }
  RecoveryRecord recovery;
  if (!readRecovery(recovery_file_, &recovery)) return false;
  request.targetPath += "/";
  request.targetPath += kRestoreFolderName;
  if (!createFolder(request.targetPath)) return false;

  RestoreActSetup setup;
  setup.callbacks = callbacks;
  setup.pool = random_pool_.get();
  setup.server = ServerKey{server_->key.sizeCode, server_->key.keyNumber, server_->key.modulus};
  setup.userNumber = recovery.userNumber;
  setup.signingKey = recovery.signingKey;
  setup.encrypt = transportEncryption;
  setup.localKey = recovery.localKey;
  setup.log = logContext();
  setup.cancel = &cancel_byte_;
  if (!working_directory_.empty()) setup.workingDirectory = working_directory_;
  cancel_byte_.store(0);

  auto act = std::make_unique<RestoreAct>(std::move(setup), std::move(request));
  if (!act->encryptionKey().load(recovery.encryptionKey.span(), true, RsaKey::kBits,
                                 RsaKeyKind::kEncryption, random_pool_.get())) {
    return false;
  }
  ExchangeKeys* keys = &act->keys();
  ByteBuffer* dhExponent = &act->dhExponent();
  const StartChunkInput input{recovery.userNumber, {}, recovery.signingKey.span(),
                              transportEncryption, true};
  return openExchange(input, std::move(act), keys, dhExponent);
}

}  // namespace vl
