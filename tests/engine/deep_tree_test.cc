// A tree 3 000 levels deep, walked by a process that may hold only 256 file
// descriptors: the measuring scan and the backup walk go all the way (as far
// as a copy can keep) while holding few descriptors, so every other file the
// run opens still opens.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/backup_walk.h"
#include "engine/deep_tree.h"
#include "engine/folder_scan.h"
#include "engine/folder_stack.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

constexpr rlim_t kDescriptorLimit = 256;

// One tree for all tests: making it takes a while.
class DeepTreeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new test::TempDir();
    root = new std::string(dir->file("r"));
    made = test::makeDeepTree(*root);
  }
  static void TearDownTestSuite() {
    test::removeDeepTree(*root);
    delete root;
    delete dir;
  }
  void SetUp() override { ASSERT_TRUE(made); }

  static inline test::TempDir* dir = nullptr;
  static inline std::string* root = nullptr;
  static inline bool made = false;
};

// Counts what the scan reports and the most descriptors open while it runs.
class CountingScan : public FolderMainAction {
 public:
  bool folderUnreadable(std::string_view, std::string_view, std::string_view path,
                        uint32_t) override {
    unreadable.emplace_back(path);
    return true;
  }
  void readingFolder(std::string_view) override {
    if (++folders % 50 == 0) most_open = std::max(most_open, test::openDescriptors());
  }

  std::vector<std::string> unreadable;
  int folders = 0;
  int most_open = 0;
};

TEST_F(DeepTreeTest, TheMeasuringScanCountsEveryLevelWithFewDescriptors) {
  auto text = test::runWithDescriptorLimit(kDescriptorLimit, [&] {
    CountingScan callback;
    ScanRequest request;
    request.path = *root;
    ScanTotals totals;
    const bool scanned = measureFolder(request, callback, &totals);
    const bool other_opens_work = ::access("/dev/null", R_OK) == 0 && test::openDescriptors() > 0;
    return std::to_string(scanned) + " files " + std::to_string(totals.files) + " bytes " +
           std::to_string(totals.bytes) + " folders " + std::to_string(callback.folders) +
           " unreadable " + std::to_string(callback.unreadable.size()) + " others " +
           std::to_string(other_opens_work) + " most " + std::to_string(callback.most_open);
  });
  ASSERT_TRUE(text.has_value());
  // Levels 1-9 hold one byte each, 10-99 two, 100-999 three, 1000-3000 four.
  const std::string expected = "1 files 3000 bytes " + std::to_string(9 + 90 * 2 + 900 * 3 + 2001 * 4) +
                               " folders 3000 unreadable 0 others 1 most ";
  ASSERT_EQ(text->substr(0, expected.size()), expected) << *text;
  const int most = std::stoi(text->substr(expected.size()));
  EXPECT_LE(most, static_cast<int>(FolderStack::kOpenLevels) + 8) << *text;
}

TEST_F(DeepTreeTest, TheBackupWalkGoesAsDeepAsACopyCanKeepWithFewDescriptors) {
  auto text = test::runWithDescriptorLimit(kDescriptorLimit, [&] {
    BackupWalk::Options options;
    options.cancel_file = dir->file("cf.bin");
    BackupWalk walk(walkRoots({*root}), options, nullptr, nullptr, nullptr);
    std::string log;
    int most_open = 0;
    WalkEntry entry;
    for (WalkStep step; (step = walk.next(&entry)) != WalkStep::kFinished;) {
      most_open = std::max(most_open, test::openDescriptors());
      if (step == WalkStep::kFailed) return log + "failed";
      log += std::to_string(static_cast<int>(step)) + " " + std::to_string(entry.full_path.size()) +
             " " + entry.relative_path + "\n";
    }
    return log + "most " + std::to_string(most_open);
  });
  ASSERT_TRUE(text.has_value());
  // Every file whose full path is short enough is handed out, level after
  // level; the first file or folder that is too long is reported and
  // nothing below it is entered.
  std::string expected;
  std::string relative = "\\r";
  size_t level_length = root->size();
  int level = 0;
  while (level_length + 2 < kMaxFullPathUnits) {
    ++level;
    level_length += 2;
    relative += "\\d";
    if (level_length + 2 < kMaxFullPathUnits) {
      expected += "0 " + std::to_string(level_length + 2) + " " + relative + "\\f\n";
    }
  }
  ASSERT_NE(text->rfind("most "), std::string::npos) << *text;
  const std::string log = text->substr(0, text->rfind("most "));
  std::string handed;
  int too_long = 0;
  for (size_t start = 0; start < log.size();) {
    const size_t end = log.find('\n', start);
    const std::string line = log.substr(start, end - start);
    start = end + 1;
    if (line.starts_with("0 ")) {
      handed += line + "\n";
    } else {
      ASSERT_TRUE(line.starts_with("3 ")) << line;
      EXPECT_GE(std::stoul(line.substr(2)), kMaxFullPathUnits) << line;
      ++too_long;
    }
  }
  EXPECT_EQ(handed, expected);
  EXPECT_GE(too_long, 1);
  EXPECT_LE(too_long, 2);
  EXPECT_LE(std::stoi(text->substr(text->rfind("most ") + 5)),
            static_cast<int>(FolderStack::kOpenLevels) + 8);
}

}  // namespace
}  // namespace vl
