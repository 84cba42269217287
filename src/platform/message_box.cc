#include "platform/message_box.h"

#include <cstdio>

namespace vl {

void TextMessageBoxUi::show(std::string_view caption, std::string_view text, MessageBoxIcon) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
               static_cast<int>(text.size()), text.data());
}

}  // namespace vl
