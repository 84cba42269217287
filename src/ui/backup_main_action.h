// BackupMainAction: how the backup engine and the backup exchange report to
// whoever started the copy.
//
// The class itself is what an unattended run passes: it shows nothing, never
// waits for an answer (questions get "go on" or their default), and allows
// three reconnect attempts. The main window derives from it to drive its
// progress bar and message boxes. Calls arrive on the thread that runs the
// copy. Texts come in both languages, Swedish first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

class BackupMainAction {
 public:
  // Answers of askQuestion.
  static constexpr uint32_t kCancel = 0;
  static constexpr uint32_t kContinue = 1;
  static constexpr uint32_t kTryAgain = 2;

  BackupMainAction() = default;
  BackupMainAction(const BackupMainAction&) = delete;
  BackupMainAction& operator=(const BackupMainAction&) = delete;
  virtual ~BackupMainAction();

  // A new status line.
  virtual void showStatus(std::string_view swedish, std::string_view english);
  // A question. With `three_way` 1 the answers are kContinue, kTryAgain and
  // kCancel; otherwise kContinue (OK) and kCancel. Unattended: kContinue.
  virtual uint32_t askQuestion(std::string_view swedish, std::string_view english,
                               uint32_t three_way);
  // A yes/no question. Unattended: `default_answer`.
  virtual bool askYesNo(std::string_view swedish, std::string_view english, bool default_answer);
  // How many reconnect attempts are allowed; 0 means no limit. Unattended: 3.
  virtual uint32_t reconnectLimit();
  // A new file-count line.
  virtual void showFileCount(std::string_view text);
  // `step` more sections are done, `done` of `total` in all, and `bytes_done`
  // bytes of file data have been handled.
  virtual void advanceProgress(uint32_t step, uint32_t done, uint32_t total, uint64_t bytes_done);
  // The connection was lost and a reconnect begins.
  virtual void reconnectStarting();
  // The run ends with this message (an error, or the notice that the copy
  // was cancelled).
  virtual void copyFailed(std::string_view swedish, std::string_view english);
  // The server refused the copy because the account's quota is used up.
  virtual void quotaExceeded();
  // The copy is being cancelled.
  virtual void copyCancelled();
  // The copy is complete; `excluded` lists the paths left out of it and
  // `automatic` tells a timer-started copy from one the user asked for.
  virtual void copyFinished(const std::vector<std::string>& excluded, bool automatic);
};

}  // namespace vl
