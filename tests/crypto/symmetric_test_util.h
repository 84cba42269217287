// Helpers shared by the hash and cipher tests: hex conversion, seeded random
// bytes, and a fixture parameter that runs a test once on the processor's
// instructions and once on the portable code.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/cpu_features.h"

namespace vl::test {

inline ByteBuffer hexBytes(std::string_view hex) {
  ByteBuffer out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.appendU8(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

inline std::string hexOf(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

inline std::string hexOf(const ByteBuffer& bytes) { return hexOf(bytes.data(), bytes.size()); }

inline ByteBuffer randomBytes(std::mt19937& random, size_t length) {
  ByteBuffer out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(random());
  return out;
}

// Parameter true: portable code forced; false: whatever the processor allows.
class CodePathTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { forcePortableCrypto(GetParam()); }
  void TearDown() override { forcePortableCrypto(false); }
};

inline std::string codePathName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Portable" : "Detected";
}

}  // namespace vl::test
