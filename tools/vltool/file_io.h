// Whole-file reading and writing for vltool's commands (plain files, not the
// client's length-prefixed buffer files).
#pragma once

#include <string>

#include "core/byte_buffer.h"

namespace vltool {

// Appends the whole file to `out`; false when it cannot be read or is larger
// than a buffer can hold (4 GiB).
bool readWholeFile(const std::string& path, vl::ByteBuffer* out);

// Creates or truncates `path` and writes `data`; false on any failure.
bool writeWholeFile(const std::string& path, const vl::ByteBuffer& data);

}  // namespace vltool
