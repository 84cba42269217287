#include "platform/terminal.h"

#include <unistd.h>

namespace vl {

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace vl
