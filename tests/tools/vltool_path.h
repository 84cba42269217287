// Where the tools' tests find the vltool of their build: the path CMake
// hands them. The build that made the tests made vltool too, so a test that
// cannot find it fails instead of skipping.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifndef VLTOOL_PATH
#error "the tools' tests are built with VLTOOL_PATH, the path of vltool"
#endif

namespace vl::test {

inline std::string vltoolPath() { return VLTOOL_PATH; }

// For SetUp: ASSERT_TRUE(test::vltoolBuilt()).
inline ::testing::AssertionResult vltoolBuilt() {
  if (std::filesystem::exists(VLTOOL_PATH)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "vltool is not at " << VLTOOL_PATH;
}

}  // namespace vl::test
