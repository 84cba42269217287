#include "engine/unprivileged.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace vl {
namespace {

std::optional<std::string> lastText;

void failInsideThePiece() {
  lastText = test::runUnprivileged([] {
    EXPECT_EQ(1, 2) << "checked inside the piece";
    return std::string("text");
  });
}

// As root the piece runs in a child process: what fails there must still
// fail the test, with the child's own message.
TEST(Unprivileged, ChecksThatFailInsideThePieceFailTheTest) {
  EXPECT_NONFATAL_FAILURE(failInsideThePiece(), "checked inside the piece");
  EXPECT_EQ(lastText, "text");
}

TEST(Unprivileged, TheTextComesBackWhole) {
  const std::string expected = (::geteuid() == 0 ? std::string("65534") : std::to_string(::geteuid())) +
                               std::string(100000, 'x') + "\n3\n";
  std::optional<std::string> text = test::runUnprivileged(
      [] { return std::to_string(::geteuid()) + std::string(100000, 'x') + "\n3\n"; });
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, expected);
}

}  // namespace
}  // namespace vl
