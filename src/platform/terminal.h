// Whether a standard stream goes to a terminal, for programs that draw a
// progress line there and only there.
#pragma once

namespace vl {

bool standardErrorIsTerminal();

}  // namespace vl
