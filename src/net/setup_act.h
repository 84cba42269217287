// SetupAct: the exchange that creates an account on the server and, once the
// server has accepted it, writes the new account's key files.
//
// Setup opens without a start chunk: there is no account yet to sign with.
// Its request (type 10) carries, after the header, neither MAC'd nor
// encrypted:
//   u16 1, u16 7,
//   field: account setup record (three counted strings: the user's name,
//          the company or organisation, the e-mail address),
//   field: the new signing key's public half (n, 256 bytes),
//   u32 0,
//   field: key-establishment block: u16 1, field: the RSA encapsulation of
//          the secret whose MAC key authenticates the answer.
// The answer (type 11) is a payload and a MAC field; the payload holds u16
// result and, for 0, u32 account number, field: the signing public key
// echoed, u32 reserved space in GiB. Its MAC (checked only for result 0)
// proves that the holder of the server's private key answered.
//
// On an accepted account the files are written in this order: usage.bin,
// local_key.bin, the recovery file, logg_key.bin. When the recovery file
// cannot be written, local_key.bin is removed again: an installation that
// could back up without the only copy of the encryption private key would
// store copies that nothing can ever restore.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/byte_buffer.h"
#include "core/usage_files.h"
#include "crypto/account_keys.h"
#include "crypto/key_files.h"
#include "crypto/server_key.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"
#include "net/send_action.h"
#include "ui/short_exchange_actions.h"

namespace vl {

class RandomPool;

// The u32 that the setup request carries after the signing key.
inline constexpr uint32_t kSetupRequestValue = 0;

// The answer's results.
inline constexpr uint16_t kSetupCreated = 0;
inline constexpr uint16_t kSetupNoSpace = 1;
inline constexpr uint16_t kSetupOutdated = 2;
inline constexpr uint16_t kSetupTooManyUsers = 3;

// What the user entered in the setup wizard.
struct AccountDetails {
  std::string name;
  std::string organisation;
  std::string email;
};

// The account setup record: the three strings counted, in that order.
ByteBuffer accountSetupRecord(const AccountDetails& details);

// Where an exchange that sets up or takes over an account keeps its files;
// bare names in the working directory unless a test says otherwise.
struct AccountFiles {
  std::string localKey = kLocalKeyFile;
  std::string logKey = kLogKeyFile;
  std::string installId = kInstallIdFile;
  std::string lastCopy = kLastCopyFile;
  std::string usage = kServerUsageFile;
};

// A complete setup request. Encapsulates a new secret under `server` and
// derives `keys` from it (the answer is MAC'd with them). Empty, and `keys`
// cleared, when the pool or the server key refuses.
ByteBuffer buildSetupRequest(std::span<const uint8_t> setupRecord,
                             std::span<const uint8_t> signingPublicKey, const ServerKey& server,
                             RandomPool* pool, ExchangeKeys* keys);

// The account setup answer as read.
struct SetupAnswer {
  bool created = false;     // result 0, MAC good, account and echo right
  uint16_t result = 0;      // as read, when it could be
  uint32_t account = 0;     // when created
  uint32_t reservedGib = 0;
  ExchangeMessage message;  // why not, when not created
};

// Reads `chunk` as the answer to a setup request sent with
// `signingPublicKey`, checking the MAC under `keys` for a result of 0.
SetupAnswer readSetupAnswer(ByteBuffer chunk, const ExchangeKeys& keys,
                            std::span<const uint8_t> signingPublicKey);

class SetupAct : public SendAction {
 public:
  // `callbacks` and `pool` must outlive the exchange; `accountKeys` are the
  // new account's keys (taken), `keys` the exchange keys that building the
  // request derived (taken).
  SetupAct(SetupMainAction* callbacks, RandomPool* pool, AccountKeys accountKeys,
           std::string recoveryFilePath, uint16_t serverKeySizeCode, AccountFiles files = {});

  // The exchange keys, for buildSetupRequest to derive.
  ExchangeKeys& keys() { return keys_; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) override;
  void reportError(TransferErrorKind kind, uint32_t platformCode) override;

 private:
  bool fail(const ExchangeMessage& message);
  // The files of the accepted account; false after telling why.
  bool writeAccountFiles(const SetupAnswer& accepted);

  SetupMainAction* callbacks_;
  RandomPool* pool_;
  AccountKeys account_keys_;
  std::string recovery_path_;
  uint16_t server_key_size_code_;
  AccountFiles files_;
  ExchangeKeys keys_;
};

}  // namespace vl
