#include "core/account_check.h"

#include "core/byte_buffer.h"

namespace vl {

bool accountExists(const std::string& path) {
  ByteBuffer key;
  return key.loadFromFile(path);
}

}  // namespace vl
