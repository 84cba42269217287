#include "vltool/file_io.h"

#include <cstdint>
#include <cstdio>

#include "core/secure_wipe.h"

namespace vltool {

bool readWholeFile(const std::string& path, vl::ByteBuffer* out) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool ok = true;
  uint8_t piece[65536];
  for (;;) {
    size_t got = std::fread(piece, 1, sizeof piece, file);
    if (static_cast<uint64_t>(out->size()) + got > UINT32_MAX) {
      ok = false;
      break;
    }
    out->appendBytes(piece, got);
    if (got < sizeof piece) {
      ok = std::ferror(file) == 0;
      break;
    }
  }
  vl::secureWipe(piece, sizeof piece);
  std::fclose(file);
  return ok;
}

bool writeWholeFile(const std::string& path, const vl::ByteBuffer& data) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace vltool
