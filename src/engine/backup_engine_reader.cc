#include "engine/backup_engine_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace vl {

bool SourceFile::open(const std::string& path) {
  close();
  // Looked at through a non-blocking handle first, so that a FIFO or device
  // put in the file's place cannot hold the copy; the reading handle is then
  // opened on that very file.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  bool opened = regular && file_.openForReading("/proc/self/fd/" + std::to_string(fd));
  ::close(fd);
  return opened;
}

HashedContent hashFileContent(const std::string& path, uint64_t sizeHint,
                              const std::atomic<uint8_t>* cancel) {
  HashedContent result;
  SourceFile file;
  if (!file.open(path)) return result;
  // Read straight into the buffer that becomes the section if the file fits
  // in one; a larger file falls back to a small piece buffer.
  bool holding = sizeHint <= kSectionSize;
  if (holding) result.content.reserve(sizeHint + kHashPieceSize);
  ByteBuffer piece(kHashPieceSize);
  Sha256 sha;
  for (;;) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed) != 0) {
      result.outcome = HashedContent::Outcome::kCancelled;
      result.content.clear();
      return result;
    }
    uint8_t* target = piece.data();
    if (holding) {
      uint32_t before = result.content.size();
      result.content.resize(before + kHashPieceSize);
      target = result.content.data() + before;
    }
    std::optional<size_t> got = file.read(target, kHashPieceSize);
    if (!got) {
      result.content.clear();
      return result;
    }
    if (holding) result.content.resize(result.content.size() - (kHashPieceSize - *got));
    sha.update(target, *got);
    result.bytes += *got;
    if (holding && result.bytes > kSectionSize) {
      holding = false;
      result.content.clear();
    }
    if (*got < kHashPieceSize) break;
  }
  result.hash = sha.final();
  result.outcome = HashedContent::Outcome::kRead;
  return result;
}

bool SectionCutter::open(const std::string& path, uint64_t size) {
  whole_.reset();
  size_ = size;
  cut_ = 0;
  ended_ = false;
  return file_.open(path);
}

uint32_t SectionCutter::plannedSections() const {
  return static_cast<uint32_t>((size_ + kSectionSize - 1) / kSectionSize);
}

SectionCutter::Cut SectionCutter::next(ByteBuffer& section) {
  section.clear();
  if (ended_ || cut_ >= size_) return Cut::kEnd;
  uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(size_ - cut_, kSectionSize));
  section.resize(wanted);
  std::optional<size_t> got = file_.read(section.data(), wanted);
  if (!got) {
    section.clear();
    return Cut::kFailed;
  }
  if (*got < wanted) {
    // The file shrank: what is there now is all that this copy holds.
    ended_ = true;
    section.resize(*got);
    if (*got == 0) return Cut::kEnd;
  }
  whole_.update(section.data(), section.size());
  cut_ += section.size();
  return Cut::kSection;
}

ByteBuffer SectionCutter::contentHash() { return whole_.final(); }

}  // namespace vl
