#include "engine/backup_engine_reader.h"


#include <algorithm>
#include <string>

namespace vl {

bool HashedContent::held() const {
  uint64_t total = 0;
  for (const ByteBuffer& section : sections) total += section.size();
  return !sections.empty() && total == bytes;
}

HashedContent hashFileContent(const std::string& path, uint64_t sizeHint,
                              const std::atomic<uint8_t>* cancel, uint64_t holdLimit) {
  constexpr uint32_t kReadSize = kHashPieceSize * kHashReadPieces;
  HashedContent result;
  File file;
  if (!file.openRegularForReading(path)) return result;
  // A file to be kept is read straight into its sections; a larger one goes
  // through one read buffer.
  bool holding = sizeHint <= holdLimit;
  ByteBuffer buffer(holding ? 0 : kReadSize);
  // Room of the last section: what the listing says is left, plus a piece to
  // see the end without growing; a file that grew gets a whole section.
  size_t room = 0;
  Sha256 sha;
  const auto cancelled = [&] {
    if (cancel == nullptr || cancel->load(std::memory_order_relaxed) == 0) return false;
    result.outcome = HashedContent::Outcome::kCancelled;
    result.sections.clear();
    return true;
  };
  for (;;) {
    if (cancelled()) return result;
    uint8_t* target = buffer.data();
    size_t wanted = kReadSize;
    if (holding) {
      if (result.sections.empty() || result.sections.back().size() == room) {
        if (!result.sections.empty() && room < kSectionSize) {
          room = kSectionSize;
        } else {
          const uint64_t left = sizeHint > result.bytes ? sizeHint - result.bytes : 0;
          room = static_cast<size_t>(std::min<uint64_t>(kSectionSize, left + kHashPieceSize));
          result.sections.emplace_back();
        }
        result.sections.back().reserve(room);
      }
      ByteBuffer& last = result.sections.back();
      wanted = std::min<size_t>(kReadSize, room - last.size());
      const uint32_t before = last.size();
      last.resize(before + wanted);
      target = last.data() + before;
    }
    std::optional<size_t> got = file.read(target, wanted);
    if (!got) {
      result.sections.clear();
      return result;
    }
    if (holding) {
      ByteBuffer& last = result.sections.back();
      last.resize(last.size() - (wanted - *got));
    }
    // Hashed piece by piece, so that a cancel stops the pass as soon as it
    // would have between two small reads.
    for (size_t done = 0; done < *got; done += kHashPieceSize) {
      if (done != 0 && cancelled()) return result;
      sha.update(target + done, std::min<size_t>(kHashPieceSize, *got - done));
    }
    result.bytes += *got;
    if (holding && result.bytes > holdLimit) {
      holding = false;
      result.sections.clear();
      buffer.resize(kReadSize);
    }
    if (*got < wanted) break;
  }
  if (!result.sections.empty() && result.sections.back().empty()) result.sections.pop_back();
  result.hash = sha.final();
  result.outcome = HashedContent::Outcome::kRead;
  return result;
}

bool SectionCutter::open(const std::string& path, uint64_t size) {
  whole_.reset();
  size_ = size;
  cut_ = 0;
  ended_ = false;
  return file_.openRegularForReading(path);
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
