// BackupSystem: the one system object of a run of the client.
//
// Built once at start-up, it makes the working directory the current
// directory, then creates the members every task needs (the server
// connection, the random pool) and keeps the selected folders and the flags
// the threads share. Every other part reaches it through the process-wide
// pointer below. A construction that fails leaves failed() set with a code
// (see exit_codes.h); operations then refuse to run. Destroying it saves the
// random pool's seed for the next run and wipes the pool.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "crypto/random_pool.h"
#include "engine/copy_log.h"
#include "engine/folder_selection.h"

namespace vl {

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

 private:
  void fail(uint32_t code);

  uint8_t failed_ = 0;
  uint32_t failure_code_ = 0;
  std::string working_directory_;
  FolderSelection selection_;
  std::unique_ptr<RandomPool> random_pool_;
  uint32_t language_ = 0;
  std::atomic<uint8_t> network_ready_{0};
};

// The system object of this process; null before creation and after shutdown.
BackupSystem* backupSystem();
void setBackupSystem(BackupSystem* system);

}  // namespace vl
