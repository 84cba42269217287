#include "model/list_cache.h"

#include <charconv>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/folders.h"

namespace vl {

namespace {

constexpr std::string_view kListPrefix = "list_data_";
constexpr std::string_view kListSuffix = ".bin";

std::string inFolder(const std::string& folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  return folder + "/" + std::string(name);
}

// The number of a list file's name, written as this program writes it (plain
// decimal, no sign or leading zeros); -1 for any other name.
int64_t listNumberOf(std::string_view name) {
  if (name.size() <= kListPrefix.size() + kListSuffix.size() || !name.starts_with(kListPrefix) ||
      !name.ends_with(kListSuffix)) {
    return -1;
  }
  std::string_view digits =
      name.substr(kListPrefix.size(), name.size() - kListPrefix.size() - kListSuffix.size());
  if (digits.size() > 1 && digits[0] == '0') return -1;
  uint32_t number = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return -1;
  return number;
}

}  // namespace

std::string cachedListPath(uint32_t n, const std::string& folder) {
  return inFolder(folder, std::string(kListPrefix) + std::to_string(n) + std::string(kListSuffix));
}

bool writeCachedList(uint32_t n, std::span<const uint8_t> record, const std::string& folder) {
  ByteBuffer file;
  file.appendCounted(record.data(), record.size());
  return file.saveToFile(cachedListPath(n, folder));
}

bool writeCachedListCount(uint32_t count, const std::string& folder) {
  ByteBuffer file;
  file.appendU32(count);
  return file.saveToFile(inFolder(folder, kListCountFile));
}

ByteBuffer readCachedList(uint32_t n, const std::string& folder) {
  ByteBuffer file;
  if (!file.loadFromFile(cachedListPath(n, folder))) return {};
  return file.readCounted();
}

uint32_t cachedListCount(const std::string& folder) {
  ByteBuffer file;
  if (!file.loadFromFile(inFolder(folder, kListCountFile))) return 0;
  return file.readU32();
}

bool clearListCache(const std::string& folder) {
  uint32_t count = cachedListCount(folder);
  // The folder is listed rather than every number below the count tried, so
  // a damaged count of billions costs no more than the files really there.
  std::vector<std::string> doomed;
  FolderListing listing;
  bool ok = true;
  if (count > 0) {
    ok = listing.open(folder.empty() ? "." : folder);
    FolderEntry entry;
    while (ok) {
      FolderListing::Next next = listing.next(&entry);
      if (next == FolderListing::Next::kEnd) break;
      if (next == FolderListing::Next::kError) {
        ok = false;
        break;
      }
      int64_t number = listNumberOf(entry.name);
      if (number >= 0 && number < count) doomed.push_back(inFolder(folder, entry.name));
    }
    listing.close();
  }
  for (const std::string& path : doomed) ok = deleteFile(path) && ok;
  return writeCachedListCount(0, folder) && ok;
}

}  // namespace vl
