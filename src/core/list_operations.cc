// The BackupSystem operations about the stored copies: the list and archive
// exchanges, the list cache, and the readers of "last.bin" and "usage.bin".
#include <utility>

#include "core/backup_system.h"
#include "crypto/key_files.h"
#include "model/list_cache.h"

namespace vl {

bool BackupSystem::requestList(ListRequestMainAction* callbacks, const ListRequest& request) {
  if (failed() || callbacks == nullptr || !random_pool_ || !random_pool_->ready()) return false;
  RecoveryRecord recovery;
  if (!readRecovery(recovery_file_, &recovery)) return false;
  cancel_byte_.store(0);
  stored_copies_.clear();
  auto act = std::make_unique<ListRequestAct>(callbacks, random_pool_.get(),
                                              recovery.localKey.span(), request, &cancel_byte_,
                                              &stored_copies_);
  ExchangeKeys* keys = &act->keys();
  ByteBuffer* dhExponent = &act->dhExponent();
  const StartChunkInput input{recovery.userNumber, {}, recovery.signingKey.span(), true, true};
  return openExchange(input, std::move(act), keys, dhExponent);
}

bool BackupSystem::startArchive(ArchiveMainAction* callbacks, uint32_t mode,
                                std::vector<uint32_t> copyNumbers) {
  if (failed() || callbacks == nullptr || !random_pool_ || !random_pool_->ready()) return false;
  LocalKeyRecord local;
  ByteBuffer installId;
  if (!readLocalKey(kLocalKeyFile, &local) || !readInstallId(kInstallIdFile, &installId)) {
    return false;
  }
  auto act = std::make_unique<ArchiveAct>(callbacks, random_pool_.get(), mode,
                                          std::move(copyNumbers));
  ExchangeKeys* keys = &act->keys();
  ByteBuffer* dhExponent = &act->dhExponent();
  const StartChunkInput input{local.userNumber, installId.span(), local.signingKey.span(), true,
                              true};
  return openExchange(input, std::move(act), keys, dhExponent);
}

ByteBuffer BackupSystem::readCachedList(uint32_t n) const { return vl::readCachedList(n); }

uint32_t BackupSystem::cachedListCount() const { return vl::cachedListCount(); }

bool BackupSystem::clearListCache() { return !failed() && vl::clearListCache(); }

LastCopy BackupSystem::lastCopy() const { return readLastCopy(); }

ServerUsage BackupSystem::serverUsage() const { return readServerUsage(); }

}  // namespace vl
