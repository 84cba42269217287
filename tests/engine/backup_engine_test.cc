#include "engine/backup_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "core/copy_progress_file.h"
#include "engine/backup_engine_fixture.h"

namespace vl {
namespace {

using namespace test;

// The first copy of a tree with nested and empty folders, empty files,
// files at the section boundary, twins and non-ASCII names.
class FirstCopyTest : public TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    makeFolder(tree + "/a");
    makeFolder(tree + "/a/b");
    makeFolder(tree + "/a/b/c");
    makeFolder(tree + "/tomt");
    writeFile(tree + "/a/b/c/deep.txt", "deep");
    writeFile(tree + "/empty", "");
    writeFile(tree + "/a/exact", patternBytes(kSection, 1));
    writeFile(tree + "/a/over", patternBytes(kSection + 1, 2));
    writeFile(tree + "/twin1", patternBytes(5000, 3));
    writeFile(tree + "/a/b/twin2", patternBytes(5000, 3));
    writeFile(tree + "/räksmörgås ☃.txt", "smörgås");
  }
};

TEST_F(FirstCopyTest, EveryFileComesBackAndTwinsAreSentOnce) {
  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  SectionStore store;
  test::EngineRun run = pullCopy(engine, &store);
  ASSERT_TRUE(run.finished) << run.failedPath;

  std::map<std::string, std::string> files = filesOf(engine.newFileList(), store);
  EXPECT_EQ(files.size(), 7u);
  EXPECT_EQ(files["\\tree\\a\\b\\c\\deep.txt"], "deep");
  EXPECT_EQ(files["\\tree\\empty"], "");
  EXPECT_EQ(files["\\tree\\a\\exact"], patternBytes(kSection, 1));
  EXPECT_EQ(files["\\tree\\a\\over"], patternBytes(kSection + 1, 2));
  EXPECT_EQ(files["\\tree\\a\\b\\twin2"], patternBytes(5000, 3));
  EXPECT_EQ(files["\\tree\\räksmörgås ☃.txt"], "smörgås");

  // deep, exact, over (two), one twin, the non-ASCII file.
  EXPECT_EQ(run.sentIds.size(), 6u);
  std::vector<uint32_t> expectedIds = {1, 2, 3, 4, 5, 6};
  std::vector<uint32_t> sent = run.sentIds;
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, expectedIds);
  EXPECT_EQ(store.count(0), 0u);

  std::optional<FileList> list = parseList(engine.newFileList().span());
  ASSERT_TRUE(list);
  EXPECT_EQ(list->version, 3);
  EXPECT_EQ(list->nextSectionNumber, 7u);
  bool sawEmptyFolder = false;
  for (uint32_t i = 0; i + 1 < list->entryCount(); ++i) {
    const FileListEntry& entry = list->entry(i);
    if (entry.isFolderStart() && entry.name == u"\\tree\\tomt") {
      sawEmptyFolder = list->entry(i + 1).isFolderEnd && list->entry(i + 1).name == u"\\tree\\tomt";
    }
    if (entry.isFile() && entry.name == u"\\tree\\a\\over") {
      ASSERT_EQ(entry.sections.size(), 2u);
      EXPECT_EQ(store[entry.sections[1].number].size(), 1u);
    }
    if (entry.isFile() && entry.name == u"\\tree\\a\\exact") {
      EXPECT_EQ(entry.sections.size(), 1u);
    }
  }
  EXPECT_TRUE(sawEmptyFolder);

  CopyStatistics stats = engine.statistics();
  EXPECT_EQ(stats.num_files, 7u);
  EXPECT_EQ(stats.num_dir, 5u);
  EXPECT_EQ(stats.num_read_files, 7u);
  EXPECT_EQ(stats.num_empty_files, 1u);
  EXPECT_EQ(stats.num_file_reuse_dedup_restart, 1u);
  EXPECT_EQ(stats.num_new_files, 5u);
  EXPECT_EQ(stats.num_new_file_sections, 6u);
  EXPECT_EQ(stats.num_single_sections, 4u);
  EXPECT_EQ(stats.num_section_write, 2u);
  EXPECT_EQ(stats.num_section_reuse, 0u);

  EXPECT_EQ(idsOf(engine.unusedPreviousSections()).size(), 0u);
  std::vector<uint32_t> used = idsOf(engine.usedSections());
  std::sort(used.begin(), used.end());
  EXPECT_EQ(used, expectedIds);
  EXPECT_EQ(idsOf(engine.orphanedRestartSections()).size(), 0u);

  // Once finished, the engine stays finished.
  ByteBuffer section;
  uint32_t id = 0;
  bool finished = false;
  std::string path;
  EXPECT_TRUE(engine.nextSection(&section, &id, &finished, &path));
  EXPECT_TRUE(finished);
}

TEST_F(FirstCopyTest, AFreshCopyClearsAnOlderRestartStateAndDiscardClearsItsOwn) {
  RestartState stale;
  stale.nextSectionId = 99;
  ASSERT_TRUE(stale.save());
  {
    EngineSetup setup(tree);
    BackupEngine engine(setup.options);
    SectionStore store;
    ASSERT_TRUE(pullCopy(engine, &store, 2).ok);
    RestartState saved;
    ASSERT_EQ(loadRestartState(&saved), RestartLoad::kLoaded);
    EXPECT_LT(saved.nextSectionId, 99u);
    EXPECT_TRUE(engine.discardRestart());
  }
  RestartState after;
  EXPECT_EQ(loadRestartState(&after), RestartLoad::kNothing);
  EXPECT_EQ(test::readFile("current.bin").size(), 12u);
}

// "progr.bin" is written at most once a second while the copy runs, so
// without a last write it may still show an early count after the run; a
// second instance waits for done = total to see the copy end.
TEST_F(FirstCopyTest, TheProgressFileSaysDoneEqualsTotalWhenTheRunIsOver) {
  for (uint32_t measured : {20u, 2u}) {  // more than done (files went away), and fewer
    EngineSetup setup(tree);
    setup.options.totalSections = measured;
    BackupEngine engine(setup.options);
    SectionStore store;
    ASSERT_TRUE(pullCopy(engine, &store).finished);
    ASSERT_TRUE(engine.finishProgress());
    std::optional<CopyProgress> stored = readCopyProgress();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->done, stored->total);
    EXPECT_EQ(stored->total, std::max(measured, 7u));
  }
}

class SecondCopyTest : public TreeTest {};

TEST_F(SecondCopyTest, ReusesByNameByContentAndBySection) {
  writeFile(tree + "/same", "unchanged");
  writeFile(tree + "/original", patternBytes(70000, 4));
  writeFile(tree + "/big", patternBytes(kSection + 500, 5));
  writeFile(tree + "/touched", "same bytes, new time");
  for (const char* name : {"same", "original", "big", "touched"}) {
    setWriteTime(tree + "/" + name, 1600000000);
  }
  SectionStore store;
  ByteBuffer previous = firstCopy(tree, &store);
  const uint32_t firstNext = parseList(previous.span())->nextSectionNumber;

  // A copy under a new name, a big file changed only in its tail, and a file
  // whose time moved without its content changing.
  writeFile(tree + "/copy of original", patternBytes(70000, 4));
  std::string big = patternBytes(kSection + 500, 5);
  big[kSection + 10] ^= 1;
  writeFile(tree + "/big", big);
  setWriteTime(tree + "/big", 1600000100);
  setWriteTime(tree + "/touched", 1600000200);

  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  ASSERT_TRUE(engine.setPreviousCopy(previous.span()));
  test::EngineRun run = pullCopy(engine, &store);
  ASSERT_TRUE(run.finished);

  std::map<std::string, std::string> files = filesOf(engine.newFileList(), store);
  EXPECT_EQ(files["\\tree\\big"], big);
  EXPECT_EQ(files["\\tree\\copy of original"], patternBytes(70000, 4));
  EXPECT_EQ(files["\\tree\\same"], "unchanged");

  CopyStatistics stats = engine.statistics();
  EXPECT_EQ(stats.num_name_reuse_files, 2u);  // same, original
  EXPECT_EQ(stats.num_read_files, 3u);        // copy, big, touched
  EXPECT_EQ(stats.num_reuse_prev_copy, 2u);   // copy of original, touched
  EXPECT_EQ(stats.num_new_files, 1u);
  EXPECT_EQ(stats.num_section_reuse, 1u);
  EXPECT_EQ(stats.num_section_write, 1u);
  ASSERT_EQ(run.sentIds.size(), 1u);
  // Ids keep growing across copies.
  EXPECT_EQ(run.sentIds[0], firstNext);

  // Only the big file's old tail is no longer used.
  std::optional<FileList> old = parseList(previous.span());
  uint32_t oldTail = 0;
  for (const FileListEntry& entry : old->entries()) {
    if (entry.name == u"\\tree\\big") oldTail = entry.sections[1].number;
  }
  EXPECT_EQ(idsOf(engine.unusedPreviousSections()), std::vector<uint32_t>{oldTail});
}

TEST_F(SecondCopyTest, ContentCompareReadsEveryFileAndReusesItByContent) {
  writeFile(tree + "/one", "first file");
  writeFile(tree + "/two", patternBytes(kSection * 2 + 7, 6));
  SectionStore store;
  ByteBuffer previous = firstCopy(tree, &store);

  EngineSetup setup(tree);
  setup.options.quickCompare = false;
  BackupEngine engine(setup.options);
  ASSERT_TRUE(engine.setPreviousCopy(previous.span()));
  test::EngineRun run = pullCopy(engine, &store);
  ASSERT_TRUE(run.finished);
  EXPECT_TRUE(run.sentIds.empty());
  CopyStatistics stats = engine.statistics();
  EXPECT_EQ(stats.num_name_reuse_files, 0u);
  EXPECT_EQ(stats.num_read_files, 2u);
  EXPECT_EQ(stats.num_reuse_prev_copy, 2u);
  EXPECT_EQ(idsOf(engine.unusedPreviousSections()).size(), 0u);
  EXPECT_EQ(idsOf(engine.usedSections()).size(), 4u);
}

TEST_F(SecondCopyTest, ANewSectionIdNeverNamesAStoredSection) {
  writeFile(tree + "/f", "fresh content");
  // A previous list whose counter lags behind the ids it uses.
  FileList previous;
  previous.nextSectionNumber = 3;
  ListHash hash = *ListHash::from(sha256(ByteBuffer(std::string_view("x"))).span());
  ASSERT_TRUE(previous.addFile(u"\\old\\x", {}, hash, std::vector<ListSection>{{40, hash}}));
  ByteBuffer payload = serializeList(previous, 3);

  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  ASSERT_TRUE(engine.setPreviousCopy(payload.span()));
  SectionStore store;
  test::EngineRun run = pullCopy(engine, &store);
  ASSERT_EQ(run.sentIds.size(), 1u);
  EXPECT_EQ(run.sentIds[0], 41u);
  EXPECT_EQ(idsOf(engine.unusedPreviousSections()), std::vector<uint32_t>{40});
  EXPECT_FALSE(engine.setPreviousCopy(std::span<const uint8_t>(payload.data(), 12)));
}

}  // namespace
}  // namespace vl
