#include "core/copy_progress_file.h"

#include "core/byte_buffer.h"

namespace vl {

std::optional<CopyProgress> readCopyProgress(const std::string& path) {
  ByteBuffer stored;
  if (!stored.loadFromFile(path) || stored.size() < 8) return std::nullopt;
  CopyProgress progress;
  progress.done = stored.readU32();
  progress.total = stored.readU32();
  progress.phase = stored.readU8();
  progress.written_at = stored.readU32();
  return progress;
}

bool writeCopyProgress(const CopyProgress& progress, const std::string& path) {
  ByteBuffer out;
  out.appendU32(progress.done);
  out.appendU32(progress.total);
  out.appendU8(progress.phase);
  out.appendU32(progress.written_at);
  return out.saveToFile(path);
}

}  // namespace vl
