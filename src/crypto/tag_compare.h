// tagsMatch: the one comparison for authentication tags and MACs.
//
// Every byte pair is looked at whatever the earlier ones held, so the time
// taken tells an attacker nothing about how much of a forged tag was right;
// only the lengths (which are public) decide anything early. An empty tag
// never matches: HmacSha256 gives an empty tag for a refused key, and that
// must not let an empty received tag through.
#pragma once

#include <cstdint>
#include <span>

namespace vl {

[[nodiscard]] bool tagsMatch(std::span<const uint8_t> expected, std::span<const uint8_t> received);

}  // namespace vl
