// Runs the built vltool as a user would: exit status, output file and the
// one-line error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"
#include "tests/tools/vltool_path.h"

namespace vl {
namespace {

using test::vltoolPath;

struct ToolRun {
  int status;
  std::string error;
};

ToolRun vltool(const test::TempDir& dir, const std::string& arguments) {
  std::string errors = dir.file("stderr");
  int raw = std::system((vltoolPath() + " " + arguments + " 2>" + errors).c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::readFile(errors)};
}

class CodecCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::vltoolBuilt());
  }
  test::TempDir dir_;
};

TEST_F(CodecCommandTest, StagesWorkOnFiles) {
  test::writeFile(dir_.file("five"), "AAAAA");
  ASSERT_EQ(vltool(dir_, "codec rle-encode " + dir_.file("five") + " " + dir_.file("rle")).status,
            0);
  EXPECT_EQ(test::readFile(dir_.file("rle")), std::string("\xff\xff\x41\x01"));

  std::string text;
  for (int i = 0; i < 5000; ++i) text += "section " + std::to_string(i % 97) + " of the copy\n";
  test::writeFile(dir_.file("text"), text);
  const std::pair<const char*, const char*> pairs[] = {{"compress-section", "decompress 4"},
                                                       {"table-encode", "table-decode"}};
  for (auto [encode, decode] : pairs) {
    ASSERT_EQ(vltool(dir_, std::string("codec ") + encode + " " + dir_.file("text") + " " +
                               dir_.file("coded"))
                  .status,
              0);
    EXPECT_LT(test::readFile(dir_.file("coded")).size(), text.size() + 20) << encode;
    ASSERT_EQ(vltool(dir_, std::string("codec ") + decode + " " + dir_.file("coded") + " " +
                               dir_.file("back"))
                  .status,
              0);
    EXPECT_EQ(test::readFile(dir_.file("back")), text) << decode;
  }
  // An empty section stays empty; kind 0 copies.
  test::writeFile(dir_.file("empty"), "");
  EXPECT_EQ(
      vltool(dir_, "codec compress-section " + dir_.file("empty") + " " + dir_.file("e4")).status,
      0);
  EXPECT_EQ(test::readFile(dir_.file("e4")), "");
  EXPECT_EQ(
      vltool(dir_, "codec decompress 0 " + dir_.file("text") + " " + dir_.file("copy")).status, 0);
  EXPECT_EQ(test::readFile(dir_.file("copy")), text);
}

TEST_F(CodecCommandTest, FailuresExitNonZeroWithOneLineAndNoOutput) {
  test::writeFile(dir_.file("junk"), "not a stream at all, just words");
  const std::string out = dir_.file("out");
  const std::string cases[] = {
      "codec tree-decode " + dir_.file("junk") + " " + out,
      "codec table-decode " + dir_.file("junk") + " " + out,
      "codec decompress 4 " + dir_.file("junk") + " " + out,
      "codec decompress 5 " + dir_.file("junk") + " " + out,
      "codec decompress x " + dir_.file("junk") + " " + out,
      "codec rle-encode " + dir_.file("missing") + " " + out,
      "codec rle-encode " + dir_.file("junk") + " " + dir_.file("no/such/folder"),
  };
  for (const std::string& arguments : cases) {
    ToolRun run = vltool(dir_, arguments);
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_EQ(run.error.rfind("vltool: ", 0), 0u) << run.error;
    EXPECT_EQ(run.error.find('\n'), run.error.size() - 1) << run.error;
    EXPECT_FALSE(std::filesystem::exists(out)) << arguments;
  }
  EXPECT_EQ(vltool(dir_, "codec rle-encode " + dir_.file("junk")).status, 2);
  EXPECT_EQ(vltool(dir_, "codec frobnicate a b").status, 2);
}

}  // namespace
}  // namespace vl
