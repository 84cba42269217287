// TextFrontEnd: the interactive start as far as it goes without windows.
//
// Messages go to standard error. The windowed program replaces it; until
// then an interactive start says that it is not available and ends with 0.
#pragma once

#include "core/startup.h"
#include "platform/message_box.h"

namespace vl {

class TextFrontEnd : public InteractiveFrontEnd {
 public:
  MessageBoxUi& messageBoxes() override { return boxes_; }
  // There is no progress dialog to wait in: says that a background copy runs
  // and returns 0, so the start is refused.
  int waitForBackgroundCopy() override;
  // There is no window to bring forward.
  void bringWindowForward(uint32_t handle) override;
  int run(BackupSystem& system, bool hidden) override;

 private:
  TextMessageBoxUi boxes_;
};

}  // namespace vl
