// BackupSystem: the one system object of a run of the client.
//
// Built once at start-up, it makes the working directory the current
// directory, then creates the members every task needs (the server
// connection, the random pool) and keeps the selected folders and the flags
// the threads share. Every other part reaches it through the process-wide
// pointer below. A construction that fails leaves failed() set with a code
// (see exit_codes.h); operations then refuse to run. Destroying it saves the
// random pool's seed for the next run and wipes the pool.
//
// The operations that start a task with the server (account_operations.cc)
// gather the keys it needs, build its exchange and attach it to the
// connection; the caller then runs the connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/backup_settings.h"
#include "core/usage_files.h"
#include "crypto/random_pool.h"
#include "engine/copy_log.h"
#include "engine/folder_selection.h"
#include "net/archive_act.h"
#include "net/list_request_act.h"
#include "net/send_action.h"
#include "net/server_connection.h"
#include "net/server_setting.h"
#include "net/setup_act.h"
#include "net/start_chunk.h"
#include "ui/backup_main_action.h"
#include "ui/short_exchange_actions.h"

namespace vl {

// Whose the chosen recovery file is, compared with this installation.
enum class RecoveryFileUser { kSameUser, kOtherUser, kUnreadable };

class BackupSystem {
 public:
  // Runs the construction steps in order; the first that fails stops it.
  BackupSystem();
  BackupSystem(const BackupSystem&) = delete;
  BackupSystem& operator=(const BackupSystem&) = delete;
  ~BackupSystem();

  bool failed() const { return failed_ != 0; }
  uint32_t failureCode() const { return failure_code_; }
  // The working directory's full path (empty when it could not be entered).
  const std::string& workingDirectory() const { return working_directory_; }

  // 0 = Swedish, anything else English; chooses the language of logged texts.
  uint32_t language() const { return language_; }
  void setLanguage(uint32_t language) { language_ = language; }
  LogContext logContext() const { return LogContext{language_}; }

  // The folders selected for backup and their scan totals; empty until the
  // first rescan.
  FolderSelection& selection() { return selection_; }

  // Null when construction stopped before the pool was made.
  RandomPool* randomPool() { return random_pool_.get(); }

  // 1 while no thread runs the server connection.
  bool networkReady() const { return network_ready_.load() != 0; }
  void setNetworkReady(bool ready) { network_ready_.store(ready ? 1 : 0); }

  // The server every operation talks to: the one stored with `vardlok
  // server`, else the built-in one. Null / nothing when construction failed
  // before it was chosen.
  ServerConnection* connection() { return connection_.get(); }
  const ServerSetting* server() const { return server_ ? &*server_ : nullptr; }

  // Runs the attached exchange to its end on this thread; network ready is
  // cleared meanwhile. True when the exchange ended normally.
  bool runConnection();

  // Attaches `exchange` with a new start chunk made from `input` for the
  // chosen server; `keys` and `dhExponent` (the exchange's own) receive what
  // the exchange needs to read the answers. False, with nothing attached,
  // when the system failed, the pool holds less than 512 credit units or
  // the chunk cannot be built.
  bool openExchange(const StartChunkInput& input, std::unique_ptr<SendAction> exchange,
                    ExchangeKeys* keys, ByteBuffer* dhExponent);

  // Account setup: a new installation id, "last.bin" saying no copy yet, a
  // new key set, then the setup exchange attached. Making the keys takes a
  // while. The exchange writes the key files and the recovery file at
  // `recoveryFilePath` when the server accepts the account. `callbacks`
  // must outlive the run.
  bool createAccount(SetupMainAction* callbacks, const std::string& recoveryFilePath,
                     const AccountDetails& details);

  // Takes the account of the recovery file over on this installation: a new
  // installation id, "local_key.bin" (with only the public half of the
  // encryption key) and "logg_key.bin" from the file, then the recover
  // exchange attached. `serverKeyFlag` receives the file's server-key flag.
  bool recoverAccount(RecoverMainAction* callbacks, const std::string& recoveryFilePath,
                      bool* serverKeyFlag);

  // One backup of the selected folders: the quota warning (logged when 80 %
  // or more of the reserved space is used), the keys of "local_key.bin",
  // then the backup exchange attached with a start chunk under the
  // installation id and the settings' transport encryption. False, with
  // nothing attached, without callbacks, with less than 512 credit units,
  // with no folder selected, or without a usable "local_key.bin".
  // `callbacks` must outlive the run. `prepareAhead` lets the exchange make
  // the next section ready on a second thread while the server answers.
  bool startBackup(BackupMainAction* callbacks, const BackupOptions& options,
                   bool prepareAhead = true);

  // The byte the user interface sets to cancel the running copy or list
  // request; the backup clears it when it starts.
  std::atomic<uint8_t>& cancelByte() { return cancel_byte_; }

  // The recovery file the user last chose for restores; kept for the run.
  void setRecoveryFile(std::string path) { recovery_file_ = std::move(path); }
  const std::string& recoveryFile() const { return recovery_file_; }
  // Whether that file is readable and belongs to the installed account.
  RecoveryFileUser checkRecoveryFileUser() const;

  // Overwrites every byte of the file once with the low byte of the next
  // value of the C generator, in place. False when it cannot be opened for
  // update or a write fails. Deleting it is the caller's next step.
  static bool eraseRecoveryFile(const std::string& path);

  // The list exchange for the remembered recovery file's account: clears
  // the cancel byte and the stored copies, then attaches a ListRequestAct
  // (transport encryption on, empty account string). False without
  // callbacks, with too little randomness or an unreadable recovery file.
  bool requestList(ListRequestMainAction* callbacks, const ListRequest& request);
  // The copies the last list exchange described, newest first. Read it only
  // after that exchange's run has ended.
  const std::vector<StoredCopy>& storedCopies() const { return stored_copies_; }

  // The archive exchange for the installed account ("local_key.bin", the
  // installation id, transport encryption on) in `mode` (kArchiveList or
  // kArchiveDelete) about the copies numbered `copyNumbers`. False without
  // callbacks, with too little randomness, or without the key files.
  bool startArchive(ArchiveMainAction* callbacks, uint32_t mode,
                    std::vector<uint32_t> copyNumbers);

  // The list cache in the working directory (list_cache.h).
  ByteBuffer readCachedList(uint32_t n) const;
  uint32_t cachedListCount() const;
  // False when the system failed to build, or the cache could not be cleared.
  bool clearListCache();

  // "last.bin" and "usage.bin" as the server last reported them.
  LastCopy lastCopy() const;
  ServerUsage serverUsage() const;

 private:
  void fail(uint32_t code);
  // A new installation id from the pool, written to "install_id.bin".
  bool makeInstallId();

  uint8_t failed_ = 0;
  uint32_t failure_code_ = 0;
  std::string working_directory_;
  FolderSelection selection_;
  std::unique_ptr<RandomPool> random_pool_;
  std::optional<ServerSetting> server_;
  std::unique_ptr<ServerConnection> connection_;
  std::string recovery_file_;
  uint32_t language_ = 0;
  std::atomic<uint8_t> network_ready_{0};
  std::atomic<uint8_t> cancel_byte_{0};
  std::vector<StoredCopy> stored_copies_;
};

// The system object of this process; null before creation and after shutdown.
BackupSystem* backupSystem();
void setBackupSystem(BackupSystem* system);

}  // namespace vl
