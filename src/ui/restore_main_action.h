// RestoreMainAction: how the restore exchange and the restore writer report
// to whoever started the restore.
//
// The class itself shows nothing and answers every yes/no question with its
// default; it allows three reconnect attempts. The main window derives from
// it. Calls arrive on the thread that runs the restore; texts come in both
// languages, Swedish first.
#pragma once

#include <cstdint>
#include <string_view>

namespace vl {

class RestoreMainAction {
 public:
  RestoreMainAction() = default;
  RestoreMainAction(const RestoreMainAction&) = delete;
  RestoreMainAction& operator=(const RestoreMainAction&) = delete;
  virtual ~RestoreMainAction();

  // A new status line.
  virtual void showStatus(std::string_view swedish, std::string_view english);
  // A yes/no question. Unattended: `default_answer`.
  virtual bool askYesNo(std::string_view swedish, std::string_view english, bool default_answer);
  // How many reconnect attempts are allowed; 0 means no limit. Unattended: 3.
  virtual uint32_t reconnectLimit();
  // The restore will write `files` files made of `sections` sections.
  virtual void setProgressRange(uint32_t files, uint32_t sections);
  // A new file-count line.
  virtual void showFileCount(std::string_view text);
  // `sections_done` sections and `files_done` files are written, `bytes_done`
  // bytes in all.
  virtual void setProgress(uint32_t sections_done, uint32_t files_done, uint64_t bytes_done);
  // The connection was lost and a reconnect begins.
  virtual void reconnectStarting();
  // The restore ends with this message.
  virtual void restoreFailed(std::string_view swedish, std::string_view english);
  // The restore was cancelled.
  virtual void restoreCancelled();
  // Every file is written.
  virtual void restoreFinished();
};

}  // namespace vl
