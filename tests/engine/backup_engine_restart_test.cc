// Resuming an interrupted copy, and files that change while they are copied.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "engine/backup_engine_fixture.h"

namespace vl {
namespace {

using namespace test;

std::vector<uint32_t> sorted(std::vector<uint32_t> ids) {
  std::sort(ids.begin(), ids.end());
  return ids;
}

class ResumeTest : public TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    for (int i = 0; i < 8; ++i) {
      std::string name = tree + "/f" + std::to_string(i);
      writeFile(name, patternBytes(3000 + i, 10 + i));
      setWriteTime(name, 1600000000);
    }
  }

  // Interrupts a first attempt after `sections` stored sections and gives
  // the restart state it left.
  RestartState interruptedAttempt(size_t sections, SectionStore* store) {
    EngineSetup setup(tree);
    BackupEngine engine(setup.options);
    EXPECT_TRUE(pullCopy(engine, store, sections).ok);
    RestartState saved;
    EXPECT_EQ(loadRestartState(&saved), RestartLoad::kLoaded);
    return saved;
  }
};

TEST_F(ResumeTest, CompletedFilesAreNotReadAgain) {
  SectionStore store;
  RestartState saved = interruptedAttempt(5, &store);
  // Each call saves the files completed before it: the fifth file's section
  // was stored, but the file is recorded only by the call after it.
  ASSERT_EQ(saved.size(), 4u);
  EXPECT_EQ(saved.nextSectionId, 5u);

  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  ASSERT_EQ(engine.loadRestart(), RestartLoad::kLoaded);
  test::EngineRun run = pullCopy(engine, &store);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(filesOf(engine.newFileList(), store).size(), 8u);
  CopyStatistics stats = engine.statistics();
  EXPECT_EQ(stats.num_restarted_name_reuse_files, 4u);
  EXPECT_EQ(stats.num_read_files, 4u);
  EXPECT_EQ(sorted(run.sentIds), (std::vector<uint32_t>{5, 6, 7, 8}));
  EXPECT_EQ(idsOf(engine.orphanedRestartSections()).size(), 0u);
  EXPECT_EQ(sorted(idsOf(engine.usedSections())), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(ResumeTest, ChangedFilesAreReadAgainAndTheirOldSectionsDropped) {
  SectionStore store;
  RestartState saved = interruptedAttempt(3, &store);
  ASSERT_EQ(saved.size(), 2u);
  const std::string changed = *utf16ToUtf8(saved.record(0).fullPath);
  const std::string touched = *utf16ToUtf8(saved.record(1).fullPath);
  writeFile(changed, "new content");
  setWriteTime(touched, 1600000500);  // same bytes, another time

  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  ASSERT_EQ(engine.loadRestart(), RestartLoad::kLoaded);
  ASSERT_TRUE(pullCopy(engine, &store).finished);
  std::map<std::string, std::string> files = filesOf(engine.newFileList(), store);
  EXPECT_EQ(files["\\tree\\" + changed.substr(changed.rfind('/') + 1)], "new content");
  CopyStatistics stats = engine.statistics();
  EXPECT_EQ(stats.num_restarted_name_reuse_files, 0u);
  EXPECT_EQ(stats.num_file_reuse_dedup_restart, 1u);
  EXPECT_EQ(stats.num_read_files, 8u);
  EXPECT_EQ(idsOf(engine.orphanedRestartSections()),
            std::vector<uint32_t>{saved.record(0).sections[0].number});
}

TEST_F(ResumeTest, ANewSectionIdNeverNamesOneTheRestartStateUses) {
  SectionStore store;
  RestartState saved = interruptedAttempt(3, &store);
  ASSERT_EQ(saved.size(), 2u);
  // Its counter lags behind an id that one of its records names.
  saved.nextSectionId = 1;
  uint32_t& moved = saved.record(1).sections[0].number;
  store[40] = store[moved];
  moved = 40;
  ASSERT_TRUE(saved.save());

  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  ASSERT_EQ(engine.loadRestart(), RestartLoad::kLoaded);
  test::EngineRun run = pullCopy(engine, &store);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(sorted(run.sentIds).front(), 41u);
  EXPECT_EQ(filesOf(engine.newFileList(), store).size(), 8u);
}

TEST_F(ResumeTest, DamagedRestartStateStartsAFreshCopy) {
  test::writeFile("restart.bin", std::string("\x10\0\0\0\x09\0\0\0\0\0\0\0", 12));
  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  EXPECT_EQ(engine.loadRestart(), RestartLoad::kDamaged);
  SectionStore store;
  test::EngineRun run = pullCopy(engine, &store);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(sorted(run.sentIds).front(), 1u);
  EXPECT_EQ(engine.statistics().num_read_files, 8u);
}

// A section the interrupted attempt reused from the previous copy belongs to
// that copy: dropping it with the attempt's unused record would damage it.
class ResumeAgainstPreviousCopyTest : public TreeTest {};

TEST_F(ResumeAgainstPreviousCopyTest, OrphanedSectionsNeverIncludeStoredCopiesSections) {
  std::string big = patternBytes(kSection + 100, 20);
  writeFile(tree + "/big", big);
  SectionStore store;
  ByteBuffer previous = firstCopy(tree, &store);
  const uint32_t headId = parseList(previous.span())->entry(1).sections[0].number;

  // The tail changes; the attempt sends only the new tail and is cut off
  // after the file was recorded.
  big[kSection + 5] ^= 1;
  writeFile(tree + "/big", big);
  setWriteTime(tree + "/big", 1600000100);
  writeFile(tree + "/later", "later");
  RestartState saved;
  {
    EngineSetup setup(tree);
    BackupEngine engine(setup.options);
    ASSERT_TRUE(engine.setPreviousCopy(previous.span()));
    test::EngineRun run = pullCopy(engine, &store);
    ASSERT_TRUE(run.finished);
    ASSERT_TRUE(engine.saveRestart(false));
    ASSERT_EQ(loadRestartState(&saved), RestartLoad::kLoaded);
  }
  ASSERT_EQ(saved.size(), 2u);

  // Before the resume the file changes again, in its tail only.
  big[kSection + 6] ^= 1;
  writeFile(tree + "/big", big);
  setWriteTime(tree + "/big", 1600000200);
  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  ASSERT_TRUE(engine.setPreviousCopy(previous.span()));
  ASSERT_EQ(engine.loadRestart(), RestartLoad::kLoaded);
  ASSERT_TRUE(pullCopy(engine, &store).finished);
  std::vector<uint32_t> orphaned = idsOf(engine.orphanedRestartSections());
  EXPECT_EQ(std::count(orphaned.begin(), orphaned.end(), headId), 0);
  ASSERT_EQ(orphaned.size(), 1u);
  for (uint32_t id : orphaned) store.erase(id);
  EXPECT_EQ(filesOf(engine.newFileList(), store)["\\tree\\big"], big);
  EXPECT_EQ(filesOf(previous, store).size(), 1u);
}

// What the list says of a file that changes between its hashing pass and
// its section pass is what was stored.
class ChangedWhileCopiedTest : public TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    path = tree + "/moving";
    writeFile(path, original);
  }

  std::string copyWith(const std::function<void(const std::string&)>& change) {
    writeFile(path, original);
    EngineSetup setup(tree);
    BackupEngine engine(setup.options);
    engine.setBetweenPassesHook(change);
    SectionStore store;
    EXPECT_TRUE(pullCopy(engine, &store).finished);
    std::map<std::string, std::string> files = filesOf(engine.newFileList(), store);
    return files["\\tree\\moving"];
  }

  std::string path;
  const std::string original = patternBytes(kSection + kSection / 2, 30);
};

TEST_F(ChangedWhileCopiedTest, ChangedBytesAreListedAsTheyWereStored) {
  std::string changed = original;
  changed[kSection + 1] ^= 0x55;
  EXPECT_EQ(copyWith([&](const std::string& p) { writeFile(p, changed); }), changed);
}

TEST_F(ChangedWhileCopiedTest, AFileThatShrankIsListedAtItsNewLength) {
  const std::string shorter = original.substr(0, kSection + 10);
  EXPECT_EQ(copyWith([&](const std::string& p) { writeFile(p, shorter); }), shorter);
  // Down to one section: the single-section rule must still hold.
  const std::string small = original.substr(0, 1000);
  EXPECT_EQ(copyWith([&](const std::string& p) { writeFile(p, small); }), small);
  EXPECT_EQ(copyWith([&](const std::string& p) { writeFile(p, ""); }), "");
}

TEST_F(ChangedWhileCopiedTest, BytesAddedAfterHashingAreNotPartOfTheCopy) {
  EXPECT_EQ(copyWith([&](const std::string& p) { writeFile(p, original + "tail"); }), original);
}

}  // namespace
}  // namespace vl

namespace vl {
namespace {

class StatusRecorder : public BackupMainAction {
 public:
  void showStatus(std::string_view swedish, std::string_view english) override {
    shown.push_back(std::string(swedish) + "|" + std::string(english));
  }
  std::vector<std::string> shown;
};

TEST_F(ResumeTest, StatusSaysRestartingUntilTheInterruptedAttemptIsPassed) {
  SectionStore store;
  RestartState saved = interruptedAttempt(5, &store);
  ASSERT_GT(saved.filesPassed, 0u);
  StatusRecorder status;
  EngineSetup setup(tree, &status);
  BackupEngine engine(setup.options);
  ASSERT_EQ(engine.loadRestart(), RestartLoad::kLoaded);
  ASSERT_TRUE(pullCopy(engine, &store).finished);
  EXPECT_EQ(status.shown, (std::vector<std::string>{"Återstartar...|Restarting...",
                                                    "Säkerhetskopierar mappar...|Backing upp folders..."}));
}

class LongReadTest : public TreeTest {};

TEST_F(LongReadTest, AFileOver100MiBIsAnnouncedWhileItIsRead) {
  // Sparse: reads fast, and its sections are all alike.
  test::writeFile(tree + "/huge", "");
  ASSERT_EQ(::truncate((tree + "/huge").c_str(), 104857601), 0);
  StatusRecorder status;
  EngineSetup setup(tree, &status);
  BackupEngine engine(setup.options);
  size_t sections = 0;
  for (;;) {
    ByteBuffer section;
    uint32_t id = 0;
    bool finished = false;
    std::string path;
    ASSERT_TRUE(engine.nextSection(&section, &id, &finished, &path));
    if (finished) break;
    ++sections;
  }
  EXPECT_EQ(sections, 51u);
  EXPECT_EQ(status.shown, (std::vector<std::string>{
                              "Läser fildata...|Reading file...",
                              "Säkerhetskopierar mappar...|Backing upp folders..."}));
}

}  // namespace
}  // namespace vl

namespace vl {
namespace {

// Changes a file when the engine announces that it starts reading it, after
// the listing gave its size.
class ChangeOnLongRead : public BackupMainAction {
 public:
  ChangeOnLongRead(std::string path, std::string bytes)
      : path_(std::move(path)), bytes_(std::move(bytes)) {}
  void showStatus(std::string_view swedish, std::string_view) override {
    if (swedish == "Läser fildata...") test::writeFile(path_, bytes_);
  }

 private:
  std::string path_;
  std::string bytes_;
};

class ChangedAfterListingTest : public TreeTest {};

TEST_F(ChangedAfterListingTest, TheCopyHoldsTheBytesThatWereReadNotTheListedSize) {
  const std::string path = tree + "/shrinks";
  test::writeFile(path, "");
  ASSERT_EQ(::truncate(path.c_str(), 104857601), 0);
  for (const std::string& now : {patternBytes(kSection + 3, 40), patternBytes(1000, 41)}) {
    ASSERT_EQ(::truncate(path.c_str(), 104857601), 0);
    ChangeOnLongRead change(path, now);
    EngineSetup setup(tree, &change);
    BackupEngine engine(setup.options);
    SectionStore store;
    ASSERT_TRUE(pullCopy(engine, &store).finished);
    EXPECT_EQ(filesOf(engine.newFileList(), store)["\\tree\\shrinks"], now);
  }
}

}  // namespace
}  // namespace vl
