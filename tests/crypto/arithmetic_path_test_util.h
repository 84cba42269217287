// A parameterised fixture that runs a test once on every arithmetic path
// (portable, MULX/ADX, IFMA), skipping the paths this processor lacks. Keys
// and moduli set up inside the test take the path under test.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "crypto/bignum_montgomery.h"

namespace vl::test {

class ArithmeticPathTest : public ::testing::TestWithParam<ArithmeticPath> {
 protected:
  void SetUp() override {
    if (!arithmeticPathAvailable(GetParam())) GTEST_SKIP() << "not on this processor";
    forceArithmeticPath(GetParam());
  }
  void TearDown() override { forceArithmeticPath(std::nullopt); }
};

inline std::string arithmeticPathName(const ::testing::TestParamInfo<ArithmeticPath>& info) {
  switch (info.param) {
    case ArithmeticPath::kPortable:
      return "Portable";
    case ArithmeticPath::kAdx:
      return "Adx";
    case ArithmeticPath::kIfma:
      return "Ifma";
  }
  return "Unknown";
}

inline auto everyArithmeticPath() {
  return ::testing::Values(ArithmeticPath::kPortable, ArithmeticPath::kAdx, ArithmeticPath::kIfma);
}

}  // namespace vl::test
