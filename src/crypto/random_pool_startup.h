// The random pool's part of starting and ending a run of the client.
//
// The system object calls startRandomPool while it is constructed and
// finishRandomPool when it is destroyed; the seed file keeps the pool's
// credit from one run to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "crypto/random_pool.h"

namespace vl {

// The seed file in the working directory.
inline constexpr const char* kRandomSeedFile = "rand.bin";
// The system object's failure code when the operating system's generator fails.
inline constexpr uint32_t kRandomSourceFailureCode = 4;

// The start-up sequence, in this order: a new pool (filled from the C
// generator, not yet seeded at that point); mouse collection on; the seed
// file, credited when it holds exactly 1024 bytes; 32 bytes from the
// operating system's generator, uncredited; addEvent with the seconds since
// 1970 (low, high 16 bits, time 0); the same with the millisecond clock;
// last, the C generator is seeded with the current time.
// When the operating system's generator fails, returns null and sets
// `failureCode` to 4; the caller fails its construction with that code.
std::unique_ptr<RandomPool> startRandomPool(const std::string& seedPath, uint32_t& failureCode);

// The end of a run: writes the seed file (only when the pool is credited)
// and then wipes the pool. Returns whether the seed file was written.
bool finishRandomPool(RandomPool& pool, const std::string& seedPath);

}  // namespace vl
