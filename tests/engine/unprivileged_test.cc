#include "engine/unprivileged.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

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

void failOnAnotherThread() {
  lastText = test::runInChild([] { return true; },
                              [] {
                                std::thread worker(
                                    [] { EXPECT_EQ(1, 2) << "checked on a thread of the piece"; });
                                worker.join();
                                return std::string("text");
                              });
}

void dieBySignal() {
  lastText = test::runInChild([] { return true; }, [] {
    ::raise(SIGKILL);
    return std::string("never");
  });
}

int exitCode = 0;

void exitEarly() {
  lastText = test::runInChild([] { return true; }, [] {
    ::_exit(exitCode);
    return std::string("never");
  });
}

// Checks on the piece's own threads are handed back too.
TEST(Unprivileged, ChecksThatFailOnAThreadOfThePieceFailTheTest) {
  EXPECT_NONFATAL_FAILURE(failOnAnotherThread(), "checked on a thread of the piece");
  EXPECT_EQ(lastText, "text");
}

// A child that never hands back its answer fails the test, whatever the
// caller makes of the missing text.
TEST(Unprivileged, AChildThatDiesOrExitsEarlyFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(dieBySignal(), "ended by signal 9");
  EXPECT_FALSE(lastText);
  exitCode = 0;
  EXPECT_NONFATAL_FAILURE(exitEarly(), "broken answer");
  EXPECT_FALSE(lastText);
  exitCode = 5;
  EXPECT_NONFATAL_FAILURE(exitEarly(), "exited with code 5");
  EXPECT_FALSE(lastText);
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
