// What every vardlok command shares: messages on standard error in the
// language of the system's language setting, the system object, paths the
// user gave (relative to where vardlok was started, not to the working
// directory), and the terminal's versions of the progress callbacks.
//
// A terminal has no mouse to collect random data with, so the pool of a
// system whose seed file did not credit it is credited from the operating
// system's generator instead of the collection dialog.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/backup_system.h"
#include "crypto/key_files.h"
#include "platform/exclusive_file.h"
#include "ui/short_exchange_actions.h"

namespace vardlok {

// Language 0 is Swedish, anything else English (the system's setting; 0
// before a system exists).
void say(uint32_t language, std::string_view swedish, std::string_view english);

// `path` made absolute against the directory vardlok was started in.
std::string absolutePath(const std::string& path);

// The system object, made the process's one; null, after saying why, when
// it could not be built.
std::unique_ptr<vl::BackupSystem> openSystem();
void closeSystem(std::unique_ptr<vl::BackupSystem> system);

// Enters the working directory without building the system object, for
// the commands that only read or write its state files (a damaged server
// setting must not keep a user from changing them). False after saying why.
bool enterWorkingFolder(uint32_t language);

// Seconds since 1970 as the local date and time.
std::string timeText(uint32_t seconds);
// A byte count for people: "1.5 GiB (1610612736 bytes)" / "... byte".
std::string sizeText(uint32_t language, uint64_t bytes);
// A copy number or other whole number the user typed: decimal digits only,
// within u32.
bool parseNumber(const std::string& word, uint32_t* value);

// Reads the recovery file at `path`; false after saying that it cannot be
// read.
bool readRecoveryFile(uint32_t language, const std::string& path, vl::RecoveryRecord* record);

// A pool credited enough to make keys; false when even the operating
// system gives no random bytes.
bool ensureRandomCredit(vl::BackupSystem& system);

// The single-instance lock of vl_client, held while a command runs, so that a
// command never changes the state and key files under the interactive
// program or a scheduled backup (nor they under it). It is taken before the
// working directory is entered: entering tidies the directory, which must
// not happen under another instance either. The holder records itself as a
// background run, as vardlok shows no window to bring forward.
class InstanceHold {
 public:
  InstanceHold() = default;
  InstanceHold(const InstanceHold&) = delete;
  InstanceHold& operator=(const InstanceHold&) = delete;
  // Records that nobody runs and lets go, as release() does.
  ~InstanceHold();

  // kSucceeded when the lock is ours; kAlreadyRunning when another
  // instance holds it; kFailed when the lock file cannot be used. Every
  // refusal is said on standard error.
  int take();
  void release();

 private:
  vl::ExclusiveFile file_;
  std::string guiOnPath_;
};

class TerminalSetup : public vl::SetupMainAction {
 public:
  explicit TerminalSetup(uint32_t language) : language_(language) {}
  void setupFailed(std::string_view swedish, std::string_view english, uint32_t flag) override;
  void setupSucceeded() override { succeeded_ = true; }
  bool succeeded() const { return succeeded_; }

 private:
  uint32_t language_;
  bool succeeded_ = false;
};

class TerminalRecover : public vl::RecoverMainAction {
 public:
  explicit TerminalRecover(uint32_t language) : language_(language) {}
  void recoverFailed(std::string_view swedish, std::string_view english) override;
  void recoverSucceeded() override { succeeded_ = true; }
  bool succeeded() const { return succeeded_; }

 private:
  uint32_t language_;
  bool succeeded_ = false;
};

class TerminalList : public vl::ListRequestMainAction {
 public:
  explicit TerminalList(uint32_t language) : language_(language) {}
  void listFailed(std::string_view swedish, std::string_view english) override;
  void listReady() override { succeeded_ = true; }
  bool succeeded() const { return succeeded_; }

 private:
  uint32_t language_;
  bool succeeded_ = false;
};

class TerminalArchive : public vl::ArchiveMainAction {
 public:
  explicit TerminalArchive(uint32_t language) : language_(language) {}
  void showArchiveMessage(std::string_view swedish, std::string_view english) override;
  void archiveDone(uint32_t kind, const std::vector<vl::ArchivedCopy>& copies) override;
  bool succeeded() const { return succeeded_; }
  const std::vector<vl::ArchivedCopy>& copies() const { return copies_; }

 private:
  uint32_t language_;
  bool succeeded_ = false;
  std::vector<vl::ArchivedCopy> copies_;
};

}  // namespace vardlok
