// BackupSystem::startBackup: the operation that starts one backup.
#include <utility>

#include "core/backup_system.h"
#include "core/usage_files.h"
#include "crypto/key_files.h"
#include "engine/copy_log.h"
#include "net/backup_act.h"

namespace vl {
namespace {

// Used bytes at or above 4/5 of the reserved space (GiB units). Without
// "usage.bin" both are 0, which counts.
bool quotaNearlyUsed(const ServerUsage& usage) {
  const uint64_t reserved = uint64_t{usage.reserved_gib} << 30;
  return usage.used_bytes >= reserved * 4 / 5;
}

}  // namespace

bool BackupSystem::startBackup(BackupMainAction* callbacks, const BackupOptions& options,
                               bool prepareAhead) {
  if (failed() || callbacks == nullptr || !connection_ || !server_ || !random_pool_ ||
      !random_pool_->ready() || selection_.folders.empty()) {
    return false;
  }
  if (quotaNearlyUsed(readServerUsage())) {
    logInLanguage(logContext(), "Varning! Mer än 80% av det reserverade utrymmet på servern används.",
                  "Warning! More than 80% of the reserver disk quota on the server is used.");
  }
  BackupActInput input;
  for (size_t i = 0; i < selection_.folders.size(); ++i) {
    input.engine.folders.push_back(pathAt(selection_, i));
  }
  LocalKeyRecord local;
  ByteBuffer installId;
  if (!readLocalKey(kLocalKeyFile, &local) || !readInstallId(kInstallIdFile, &installId)) {
    return false;
  }
  input.callbacks = callbacks;
  input.pool = random_pool_.get();
  // A cancel meant for an earlier run does not stop this one.
  cancel_byte_.store(0);
  input.cancel = &cancel_byte_;
  input.log = logContext();
  input.engine.includeHidden = options.include_hidden != 0;
  input.engine.totalFiles = totalFiles(selection_);
  input.engine.totalSections = totalSections(selection_);
  input.engine.quickCompare = options.quick_compare != 0;
  input.engine.automatic = options.automatic != 0;
  input.localKey = std::move(local.localKey);
  input.encryptionPublicKey = std::move(local.encryptionPublicKey);
  input.userNumber = local.userNumber;
  input.accountString = installId;
  input.signingKey = local.signingKey;
  input.server = server_->key;
  input.encrypt = options.transport_encryption != 0;
  input.compress = options.compress != 0;
  input.resume = options.resume != 0;
  input.copyCount = options.copy_count_parameter;
  input.retentionDays = options.retention_days;
  input.prepareAhead = prepareAhead;

  auto act = std::make_unique<BackupAct>(std::move(input));
  ExchangeKeys* keys = &act->keys();
  ByteBuffer* dhExponent = &act->dhExponent();
  const StartChunkInput start{local.userNumber, installId.span(), local.signingKey.span(),
                              options.transport_encryption != 0, true};
  return openExchange(start, std::move(act), keys, dhExponent);
}

}  // namespace vl
