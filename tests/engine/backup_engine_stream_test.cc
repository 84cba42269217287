// Files over the hold limit, read once: cut into sections while their whole
// content is hashed beside them. The limit is lowered so that files of a few
// sections take this path.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/backup_engine_fixture.h"

namespace vl {
namespace {

using namespace test;

// Files over two sections are streamed.
constexpr uint64_t kLowHoldLimit = 2 * kSection;

class OneReadTest : public TreeTest {
 protected:
  // Engine options for `folders` (under the tree) with the lowered limit.
  std::unique_ptr<EngineSetup> setupFor(std::vector<std::string> folders = {""}) {
    auto setup = std::make_unique<EngineSetup>(tree);
    setup->options.holdLimit = kLowHoldLimit;
    setup->options.folders.clear();
    for (const std::string& folder : folders) {
      setup->options.folders.push_back(folder.empty() ? tree : tree + "/" + folder);
    }
    return setup;
  }

  // A whole copy; gives the run and leaves the list in `*list`.
  EngineRun copy(EngineSetup& setup, SectionStore* store, ByteBuffer* list,
                 const ByteBuffer* previous = nullptr, CopyStatistics* stats = nullptr) {
    BackupEngine engine(setup.options);
    if (previous != nullptr) {
      EXPECT_TRUE(engine.setPreviousCopy(previous->span()));
    }
    EngineRun run = pullCopy(engine, store);
    EXPECT_TRUE(run.finished) << run.failedPath;
    *list = engine.newFileList();
    if (stats != nullptr) *stats = engine.statistics();
    return run;
  }

  const std::string large = patternBytes(3 * kSection + 500, 50);
};

TEST_F(OneReadTest, LargeFilesComeBackWhateverTheirLastSection) {
  writeFile(tree + "/large", large);
  writeFile(tree + "/whole", patternBytes(4 * kSection, 51));  // ends on a section boundary
  writeFile(tree + "/held", patternBytes(kSection + 7, 52));   // under the limit
  auto setup = setupFor();
  SectionStore store;
  ByteBuffer list;
  CopyStatistics stats;
  EngineRun run = copy(*setup, &store, &list, nullptr, &stats);
  std::map<std::string, std::string> files = filesOf(list, store);
  EXPECT_EQ(files["\\tree\\large"], large);
  EXPECT_EQ(files["\\tree\\whole"], patternBytes(4 * kSection, 51));
  EXPECT_EQ(files["\\tree\\held"], patternBytes(kSection + 7, 52));
  EXPECT_EQ(run.sentIds.size(), 4u + 4u + 2u);
  EXPECT_EQ(stats.num_new_files, 3u);
  EXPECT_EQ(stats.num_new_file_sections, 10u);
  EXPECT_EQ(stats.num_read_files, 3u);
}

TEST_F(OneReadTest, AFileChangingWhileItIsReadIsListedAsItWasRead) {
  const std::string path = tree + "/moving";
  std::string rewritten = large;
  rewritten[2 * kSection + 3] ^= 0x55;
  const std::vector<std::string> changes = {large.substr(0, kSection + 10), large + "tail",
                                            rewritten, ""};
  for (const std::string& now : changes) {
    writeFile(path, large);
    auto setup = setupFor();
    BackupEngine engine(setup->options);
    SectionStore store;
    EngineRun first = pullCopy(engine, &store, 1);
    ASSERT_EQ(first.sentIds.size(), 1u);
    writeFile(path, now);
    EngineRun rest = pullCopy(engine, &store);
    ASSERT_TRUE(rest.finished) << rest.failedPath;
    // filesOf checks every section and the content hash against the stored
    // bytes: whatever mix of old and new bytes was read, the list says so.
    std::string stored = filesOf(engine.newFileList(), store)["\\tree\\moving"];
    EXPECT_EQ(stored.substr(0, kSection), large.substr(0, kSection));
    EXPECT_LE(stored.size(), std::max(large.size(), now.size()));
  }
}

TEST_F(OneReadTest, ALargeFileEqualToOneOfThePreviousCopySendsNothing) {
  makeFolder(tree + "/a");
  writeFile(tree + "/a/large", large);
  auto setup = setupFor();
  SectionStore store;
  ByteBuffer previous;
  copy(*setup, &store, &previous);

  // Moved: not found by name, only by content, known at its last section.
  ASSERT_EQ(::rename((tree + "/a").c_str(), (tree + "/b").c_str()), 0);
  ByteBuffer list;
  CopyStatistics stats;
  EngineRun run = copy(*setup, &store, &list, &previous, &stats);
  EXPECT_TRUE(run.sentIds.empty());
  EXPECT_EQ(stats.num_reuse_prev_copy, 1u);
  EXPECT_EQ(stats.num_new_files, 0u);
  EXPECT_EQ(filesOf(list, store)["\\tree\\b\\large"], large);
}

TEST_F(OneReadTest, TwinLargeFilesInOneRunAreSentOnce) {
  makeFolder(tree + "/a");
  makeFolder(tree + "/b");
  writeFile(tree + "/a/large", large);
  writeFile(tree + "/b/large", large);
  auto setup = setupFor({"a", "b"});
  SectionStore store;
  ByteBuffer list;
  CopyStatistics stats;
  EngineRun run = copy(*setup, &store, &list, nullptr, &stats);
  EXPECT_EQ(run.sentIds.size(), 4u);
  EXPECT_EQ(stats.num_file_reuse_dedup_restart, 1u);
  std::map<std::string, std::string> files = filesOf(list, store);
  EXPECT_EQ(files["\\a\\large"], large);
  EXPECT_EQ(files["\\b\\large"], large);
}

TEST_F(OneReadTest, SectionsOfZerosAreHashedAndReusedLikeAnyOther) {
  // A disk image: whole sections of zeros, one that is zero but for its
  // last byte, and a short zero tail.
  std::string image(4 * kSection + 100, '\0');
  image[3 * kSection - 1] = 1;
  image[kSection / 2] = 7;
  writeFile(tree + "/image", image);
  auto setup = setupFor();
  SectionStore store;
  ByteBuffer previous;
  EngineRun first = copy(*setup, &store, &previous);
  EXPECT_EQ(first.sentIds.size(), 5u);
  EXPECT_EQ(filesOf(previous, store)["\\tree\\image"], image);

  // Changed in one section: the others, zeros included, are found stored.
  image[kSection / 2] = 8;
  writeFile(tree + "/image", image);
  setWriteTime(tree + "/image", 1600000000);
  ByteBuffer list;
  CopyStatistics stats;
  EngineRun second = copy(*setup, &store, &list, &previous, &stats);
  EXPECT_EQ(second.sentIds.size(), 1u);
  EXPECT_EQ(stats.num_section_reuse, 4u);
  EXPECT_EQ(filesOf(list, store)["\\tree\\image"], image);
}

class OneReadResumeTest : public OneReadTest {
 protected:
  void SetUp() override {
    OneReadTest::SetUp();
    makeFolder(tree + "/a");
    makeFolder(tree + "/b");
    writeFile(tree + "/a/large", large);
    setWriteTime(tree + "/a/large", 1600000000);
    writeFile(tree + "/b/small1", patternBytes(3000, 60));
    writeFile(tree + "/b/small2", patternBytes(3000, 61));
  }

  // Stops an attempt after `sections` stored sections; gives its state.
  RestartState interrupted(std::vector<std::string> folders, size_t sections,
                           SectionStore* store) {
    auto setup = setupFor(std::move(folders));
    BackupEngine engine(setup->options);
    EXPECT_TRUE(pullCopy(engine, store, sections).ok);
    RestartState saved;
    EXPECT_EQ(loadRestartState(&saved), RestartLoad::kLoaded);
    return saved;
  }

  // Resumes that attempt to the end; checks the large file and that the
  // attempt leaves no section behind; gives what was sent and the counters.
  EngineRun resume(std::vector<std::string> folders, SectionStore* store, CopyStatistics* stats) {
    auto setup = setupFor(std::move(folders));
    BackupEngine engine(setup->options);
    EXPECT_EQ(engine.loadRestart(), RestartLoad::kLoaded);
    EngineRun run = pullCopy(engine, store);
    EXPECT_TRUE(run.finished) << run.failedPath;
    EXPECT_EQ(filesOf(engine.newFileList(), *store)["\\a\\large"], large);
    EXPECT_TRUE(idsOf(engine.orphanedRestartSections()).empty());
    *stats = engine.statistics();
    return run;
  }
};

TEST_F(OneReadResumeTest, AnAttemptCutOffInsideALargeFileNamesNoneOfItsSections) {
  SectionStore store;
  // small1, small2 (in either order), then two sections of the large file.
  RestartState saved = interrupted({"b", "a"}, 4, &store);
  ASSERT_EQ(saved.size(), 2u);
  for (uint32_t i = 0; i < saved.size(); ++i) {
    EXPECT_EQ(saved.record(i).sections.size(), 1u);
    EXPECT_EQ(store.count(saved.record(i).sections[0].number), 1u);
  }

  CopyStatistics stats;
  EXPECT_EQ(resume({"b", "a"}, &store, &stats).sentIds.size(), 4u);
  EXPECT_EQ(stats.num_restarted_name_reuse_files, 2u);
}

TEST_F(OneReadResumeTest, ALargeFileEqualToOneTheAttemptStoredSendsNothing) {
  SectionStore store;
  // The large file's four sections, then small1 or small2.
  RestartState saved = interrupted({"a", "b"}, 5, &store);
  ASSERT_EQ(saved.size(), 1u);
  // Touched since: not reused by name, only by content.
  setWriteTime(tree + "/a/large", 1600000100);

  CopyStatistics stats;
  EXPECT_EQ(resume({"a", "b"}, &store, &stats).sentIds.size(), 2u);
  EXPECT_EQ(stats.num_file_reuse_dedup_restart, 1u);
}

TEST_F(OneReadTest, ACancelInsideALargeFileStopsTheRun) {
  writeFile(tree + "/large", large);
  auto setup = setupFor();
  BackupEngine engine(setup->options);
  SectionStore store;
  ASSERT_EQ(pullCopy(engine, &store, 1).sentIds.size(), 1u);
  setup->cancel.store(1);
  EngineRun rest = pullCopy(engine, &store);
  EXPECT_FALSE(rest.ok);
  EXPECT_EQ(rest.failedPath, tree + "/large");
}

}  // namespace
}  // namespace vl
