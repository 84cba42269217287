// AccountStore: what the server remembers about its accounts, behind an
// interface so that the records may later move elsewhere (a distributed
// store) without the protocol code noticing.
//
// Per account: its number (1, 2, ...), the public half of the signing key
// registered at setup, the setup record as the client sent it, the reserved
// space, when it was made, the installation that owns it and the
// installations that a recovery replaced, the digests of the start chunks it
// has used, and the metadata of its stored copies.
//
// Every operation that answers "done" has made its change durable: the
// server answers the client only after that. Implementations are safe to use
// from several connection threads at once; every operation that reads and
// then changes an account does both as one step.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/byte_buffer.h"

namespace vl {

struct NewAccount {
  ByteBuffer signingPublicKey;  // the modulus, 256 bytes
  ByteBuffer setupRecord;       // name, organisation, e-mail (counted strings)
  uint64_t reservedBytes = 0;
  uint32_t createdAt = 0;  // seconds since 1970
};

enum class CreateOutcome {
  kCreated,
  kFull,    // the account limit is reached
  kFailed,  // the store could not write
};

struct CreateResult {
  CreateOutcome outcome = CreateOutcome::kFailed;
  uint32_t number = 0;  // with kCreated
};

// How an installation id stands towards an account (the role it gets is the
// protocol's business).
enum class InstallationStanding {
  kOwner,     // the registered id, or the first id seen (now registered)
  kReplaced,  // an id that a recovery replaced
  kNewcomer,  // any other id
  kFailed,    // the store could not read or write
};

enum class StartUse {
  kFresh,     // never used before; now recorded
  kReplayed,  // this start chunk was used before
  kFailed,
};

// What the recover answer and the account listing report.
struct AccountUsage {
  uint32_t lastCopyTime = 0;  // 0 without a copy
  uint32_t lastCopyFiles = 0;
  uint64_t lastCopySize = 0;
  uint64_t usedBytes = 0;
  uint32_t copies = 0;
  uint64_t reservedBytes = 0;
};

struct AccountSummary {
  uint32_t number = 0;
  uint32_t createdAt = 0;
  ByteBuffer setupRecord;
  bool installationRegistered = false;
  uint32_t replacedInstallations = 0;
  uint32_t protectDays = 0;
  AccountUsage usage;
};

class AccountStore {
 public:
  virtual ~AccountStore() = default;

  // Creates the next account unless `maxAccounts` (0: no limit) exist already.
  virtual CreateResult createAccount(const NewAccount& account, uint32_t maxAccounts) = 0;
  // The registered signing public key of an account; false when there is no
  // such account (or it cannot be read).
  virtual bool signingKey(uint32_t account, ByteBuffer* publicKey) = 0;
  // Where `installationId` (not empty) stands; registers it when the account
  // has none registered yet.
  virtual InstallationStanding installation(uint32_t account,
                                            std::span<const uint8_t> installationId) = 0;
  // A recovery: `installationId` becomes the registered id and the one it
  // replaces (if another) can never be registered again.
  [[nodiscard]] virtual bool registerRecovery(uint32_t account,
                                              std::span<const uint8_t> installationId) = 0;
  // Records that a start chunk with this digest was admitted; a digest seen
  // before is a replay.
  virtual StartUse useStart(uint32_t account, std::span<const uint8_t> digest) = 0;
  // The account's figures; false when there is no such account.
  virtual bool usage(uint32_t account, AccountUsage* usage) = 0;
  virtual std::vector<AccountSummary> listAccounts() = 0;
  // The days for which the account's copies are protected from deletion
  // whatever the server's own setting (0: only that); false when there is
  // no such account.
  virtual bool protectDays(uint32_t account, uint32_t* days) = 0;
  virtual bool setProtectDays(uint32_t account, uint32_t days) = 0;
};

}  // namespace vl
