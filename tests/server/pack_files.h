// For tests that look into a store's packs beside the store itself.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "server/store/section_pack.h"

namespace vl::test {

// The packs in a sections folder, in name order.
inline std::vector<std::string> packsIn(const std::string& folder) {
  std::vector<std::string> packs;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".pack") packs.push_back(entry.path().string());
  }
  std::sort(packs.begin(), packs.end());
  return packs;
}

// A fresh scan of the pack at `path`; an empty one when it does not open.
inline PackScan scanPackFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PackScan{};
  PackScan scan = scanPack(fd);
  ::close(fd);
  return scan;
}

}  // namespace vl::test
