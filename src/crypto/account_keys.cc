#include "crypto/account_keys.h"

#include <utility>

#include "crypto/rsa_key.h"

namespace vl {

bool makeAccountKeys(RandomPool* pool, AccountKeys* keys) {
  *keys = AccountKeys();
  if (pool == nullptr || pool->credit() < RsaKey::kRequiredCredit) return false;
  AccountKeys made;
  RsaKey encryption;
  RsaKey signing;
  bool ok = pool->generate(kLocalKeySize, made.localKey) &&
            encryption.generate(RsaKeyKind::kEncryption, pool) &&
            signing.generate(RsaKeyKind::kSigning, pool) &&
            pool->generate(kLogKeySize, made.logKey);
  if (!ok) return false;
  made.encryptionKey = encryption.exportFull();
  made.signingKey = signing.exportShort();
  made.signingPublicKey = signing.exportPublic();
  *keys = std::move(made);
  return true;
}

}  // namespace vl
