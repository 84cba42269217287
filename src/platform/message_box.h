// MessageBoxUi: how the program tells the person at the screen something that
// needs an acknowledgement (an error at start-up, a warning during a scan).
//
// The windows implement it with the system's message box. Unattended runs
// never create one (a scheduled run has no display); what they would have
// shown goes to the copy log instead. TextMessageBoxUi writes to standard error
// for a start without windows.
#pragma once

#include <string_view>

namespace vl {

enum class MessageBoxIcon { kInformation, kWarning, kError };

class MessageBoxUi {
 public:
  virtual ~MessageBoxUi() = default;
  // Shows `text` under `caption` with an OK button and returns once the user
  // has acknowledged it.
  virtual void show(std::string_view caption, std::string_view text, MessageBoxIcon icon) = 0;
};

class TextMessageBoxUi : public MessageBoxUi {
 public:
  // Writes "<caption>: <text>" as one line on standard error.
  void show(std::string_view caption, std::string_view text, MessageBoxIcon icon) override;
};

}  // namespace vl
