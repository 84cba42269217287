// Overwriting memory with zeros in a way the optimiser may not remove.
//
// Every buffer that held data is wiped before its memory is released or
// replaced; this is the one primitive all of them use.
#pragma once

#include <cstddef>

namespace vl {

void secureWipe(void* data, size_t length);

}  // namespace vl
