#include "server/storage/backup_store.h"

#include "core/strict_reader.h"

namespace vl {
namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kDefaultCurrentCopies = 20;

}  // namespace

std::optional<std::vector<uint32_t>> readSectionSet(std::span<const uint8_t> bytes) {
  StrictReader reader(bytes);
  uint32_t count = 0;
  if (!reader.readU32(&count) || reader.remaining() / 4 != count || reader.remaining() % 4 != 0) {
    return std::nullopt;
  }
  std::vector<uint32_t> numbers(count);
  for (uint32_t& number : numbers) {
    if (!reader.readU32(&number)) return std::nullopt;
  }
  return numbers;
}

bool isProtected(const CopySummary& copy, uint32_t protectDays, uint32_t now) {
  return protectDays != 0 &&
         uint64_t{copy.receivedAt} + uint64_t{protectDays} * kSecondsPerDay > now;
}

uint32_t currentCopies(const std::vector<CopySummary>& newestFirst) {
  if (newestFirst.empty() || newestFirst.front().copyCount == 0) return kDefaultCurrentCopies;
  return newestFirst.front().copyCount;
}

}  // namespace vl
