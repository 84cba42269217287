// Whole restores through the two passes with worker threads: the files that
// come out, what is fetched and opened, and how damaged or missing records,
// wrong bytes and a cancel request end the restore.
#include "engine/restore_driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "core/state_files.h"
#include "engine/copy_log.h"
#include "engine/restore_fixture.h"
#include "engine/unprivileged.h"
#include "engine/working_folder.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

namespace fs = std::filesystem;
using test::HandMadeCopy;
using test::readFile;

struct Outcomes : RestoreMainAction {
  void restoreFailed(std::string_view, std::string_view english) override { failed = english; }
  void restoreCancelled() override { cancelled = true; }
  void restoreFinished() override { finished = true; }
  std::string failed;
  bool cancelled = false;
  bool finished = false;
};

// A piece of `length` bytes that differs for every `seed`.
std::string piece(int seed, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((seed * 131 + i * 7) >> 3);
  return bytes;
}

// The number of the first section of the file `name`; 0 when there is no
// such file with sections.
uint32_t firstSectionOf(const HandMadeCopy& copy, std::u16string_view name) {
  for (uint32_t i = 0; i < copy.list.entryCount(); ++i) {
    const FileListEntry& entry = copy.list.entry(i);
    if (entry.name == name && !entry.sections.empty()) return entry.sections[0].number;
  }
  return 0;
}

// Folders with many small files, some of several sections, some shared.
HandMadeCopy busyCopy() {
  HandMadeCopy copy;
  copy.folderStart(u"\\Top");
  for (int folder = 0; folder < 4; ++folder) {
    std::u16string name = u"\\Top\\f" + std::u16string(1, static_cast<char16_t>(u'0' + folder));
    copy.folderStart(name);
    for (int file = 0; file < 30; ++file) {
      std::u16string fileName = name + u"\\" + std::u16string(1, static_cast<char16_t>(u'a' + file));
      const int seed = folder * 100 + file;
      if (file % 7 == 3) {
        copy.file(fileName, {piece(seed, 3000), piece(seed + 1, 3000), piece(seed + 2, 17)});
      } else {
        copy.file(fileName, {piece(seed, 10 + file * 13)});
      }
    }
    copy.folderEnd(name, test::timesAt(1200000000));
  }
  copy.folderEnd(u"\\Top", test::timesAt(1300000000));
  return copy;
}

class RestoreDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::creditPool(pool);
    target = work.file("target");
    fs::create_directory(target);
  }

  RestoreOutcome run(HandMadeCopy& copy, unsigned workers = 2) {
    RestoreWriterOptions writerOptions;
    writerOptions.progress = &outcomes;
    RestoreWriter writer(pool, writerOptions);
    RestoreRunOptions runOptions;
    runOptions.workers = workers;
    runOptions.log.language = 1;
    ByteBuffer payload = copy.payload();
    auto fetch = [&](uint32_t number) { return copy.fetch(number); };
    if (onShelf && !twoSteps) {
      return runRestore(writer, payload.span(), target, shelf(copy),
                        [&](std::span<const std::span<const uint8_t>> records) {
                          opens += static_cast<int>(records.size());
                          std::vector<std::optional<ByteBuffer>> plain;
                          for (std::span<const uint8_t> record : records)
                            plain.push_back(test::openForTest(record));
                          return plain;
                        },
                        runOptions);
    }
    if (twoSteps) {
      // The first step only refuses records too short for a header and
      // hands on a marker; the second opens.
      SectionUnsealer unsealer;
      unsealer.unwrap = [&](std::span<const std::span<const uint8_t>> records) {
        noteBatch(records.size());
        std::vector<std::optional<ByteBuffer>> marks;
        for (std::span<const uint8_t> record : records) {
          if (record.size() < 6) {
            marks.emplace_back();
          } else {
            marks.emplace_back(ByteBuffer(record.first(6)));
          }
        }
        return marks;
      };
      unsealer.finish = [&](ByteBuffer& record, ByteBuffer& mark) {
        ++opens;
        if (!(mark == ByteBuffer(record.span().first(6)))) return std::optional<ByteBuffer>();
        return test::openForTest(record.span());
      };
      if (onShelf) {
        return runRestore(writer, payload.span(), target, shelf(copy), unsealer, runOptions);
      }
      return runRestore(writer, payload.span(), target, fetch, unsealer, runOptions);
    }
    if (batches) {
      return runRestore(
          writer, payload.span(), target, fetch,
          [&](std::span<const std::span<const uint8_t>> records) {
            opens += static_cast<int>(records.size());
            noteBatch(records.size());
            std::vector<std::optional<ByteBuffer>> plain;
            for (std::span<const uint8_t> record : records)
              plain.push_back(test::openForTest(record));
            return plain;
          },
          runOptions);
    }
    return runRestore(
        writer, payload.span(), target, fetch,
        [&](std::span<const uint8_t> record) {
          ++opens;
          return test::openForTest(record);
        },
        runOptions);
  }

  // The records of `copy` in place, counting reads and watching for a
  // temporary folder.
  SectionShelf shelf(HandMadeCopy& copy) {
    SectionShelf shelf;
    shelf.holds = [&copy](uint32_t number) { return copy.records.count(number) != 0; };
    shelf.read = [this, &copy](uint32_t number) -> std::optional<ByteBuffer> {
      ++shelfReads;
      if (tempFolderLeft()) sawTempFolder = true;
      auto found = copy.records.find(number);
      if (found == copy.records.end()) return std::nullopt;
      return found->second;
    };
    return shelf;
  }

  void noteBatch(size_t count) {
    int size = static_cast<int>(count);
    for (int seen = largestBatch.load(); seen < size;) {
      if (largestBatch.compare_exchange_weak(seen, size)) break;
    }
  }

  bool tempFolderLeft() const {
    for (const auto& entry : fs::directory_iterator(work.path())) {
      if (entry.path().filename().string().rfind("file_data_", 0) == 0) return true;
    }
    return false;
  }

  std::string lastLogText() const {
    std::vector<CopyLogRecord> records;
    if (!loadLog(&records) || records.empty()) return "";
    return std::string(records.back().textView());
  }

  test::WorkingFolder work;
  RandomPool pool;
  Outcomes outcomes;
  std::string target;
  std::atomic<int> opens{0};
  // Whether records are opened through a batch opener, and the most it got.
  bool batches = false;
  std::atomic<int> largestBatch{0};
  // Whether records are opened in two steps (the first in batches).
  bool twoSteps = false;
  // Whether records are read in place from a shelf, how often, and whether
  // a temporary folder existed meanwhile.
  bool onShelf = false;
  std::atomic<int> shelfReads{0};
  std::atomic<bool> sawTempFolder{false};
};

TEST_F(RestoreDriverTest, RestoresTheSameTreeWithAnyNumberOfWorkersAndAnyOpener) {
  enum Opener { kSingle, kBatch, kTwoSteps, kTwoStepsFromShelf };
  for (Opener opener : {kSingle, kBatch, kTwoSteps, kTwoStepsFromShelf}) {
    batches = opener == kBatch;
    twoSteps = opener == kTwoSteps || opener == kTwoStepsFromShelf;
    onShelf = opener == kTwoStepsFromShelf;
    const bool batched = opener != kSingle;
    for (unsigned workers : {1u, 2u, 6u}) {
      fs::remove_all(target);
      fs::create_directory(target);
      HandMadeCopy copy = busyCopy();
      largestBatch = 0;
      RestoreOutcome outcome = run(copy, workers);
      ASSERT_TRUE(outcome.finished()) << workers << ": " << outcome.message.english;
      if (batched) {
        // Batches form, and never exceed their size.
        EXPECT_GT(largestBatch.load(), 1) << workers;
        EXPECT_LE(largestBatch.load(), static_cast<int>(kSectionBatchSize)) << workers;
      }
      EXPECT_EQ(copy.fetches, onShelf ? 0 : static_cast<int>(copy.records.size()));
      EXPECT_EQ(readFile(target + "/Top/f2/d"),
                piece(203, 3000) + piece(204, 3000) + piece(205, 17));
      EXPECT_EQ(readFile(target + "/Top/f3/z"), piece(325, 10 + 25 * 13));
      size_t files = 0;
      for (const auto& entry : fs::recursive_directory_iterator(target))
        files += entry.is_regular_file();
      EXPECT_EQ(files, 120u);
      EXPECT_FALSE(tempFolderLeft());
      EXPECT_TRUE(outcomes.finished);
      EXPECT_EQ(lastLogText(), "Restore finished without errors.");
    }
  }
}

TEST_F(RestoreDriverTest, SharedSectionsAreFetchedOnceAndOpenedOncePerNeighbourhood) {
  HandMadeCopy copy;
  const uint32_t zeros = copy.section(std::string(4096, '\0'));
  copy.fileOfSections(u"\\zeros.bin", std::vector<uint32_t>(40, zeros));
  copy.fileOfSections(u"\\zeros-again.bin", std::vector<uint32_t>(3, zeros));
  RestoreOutcome outcome = run(copy);
  ASSERT_TRUE(outcome.finished()) << outcome.message.english;
  EXPECT_EQ(copy.fetches, 1);
  EXPECT_EQ(opens.load(), 1);
  EXPECT_EQ(readFile(target + "/zeros.bin"), std::string(40 * 4096, '\0'));
  EXPECT_EQ(readFile(target + "/zeros-again.bin"), std::string(3 * 4096, '\0'));
  EXPECT_FALSE(tempFolderLeft());
}

TEST_F(RestoreDriverTest, ADamagedOrShortRecordStopsTheRestoreAndKeepsWhatWasWritten) {
  enum Damage { kFlippedByte, kCutShort, kMissing };
  for (Damage damage : {kFlippedByte, kCutShort, kMissing}) {
    fs::remove_all(target);
    fs::create_directory(target);
    HandMadeCopy copy;
    copy.file(u"\\before.txt", {"written first"});
    copy.file(u"\\broken.bin", {piece(1, 5000), piece(2, 5000)});
    copy.file(u"\\after.txt", {"never reached"});
    const uint32_t broken = copy.list.entry(1).sections[1].number;
    ByteBuffer& record = copy.records.at(broken);
    if (damage == kFlippedByte) record[100] ^= 0x01;
    if (damage == kCutShort) record.resize(record.size() / 2);
    if (damage == kMissing) copy.records.erase(broken);

    RestoreOutcome outcome = run(copy);
    ASSERT_EQ(outcome.end, RestoreEnd::kFailed);
    if (damage == kMissing) {
      EXPECT_EQ(outcome.message.english, "Error: Could not fetch the file data of the copy.");
      EXPECT_FALSE(fs::exists(target + "/before.txt"));
    } else {
      EXPECT_EQ(outcome.message.english, "Error: Could not start decryption.");
      EXPECT_EQ(readFile(target + "/before.txt"), "written first");
      EXPECT_EQ(readFile(target + "/broken.bin"), piece(1, 5000));
    }
    EXPECT_EQ(outcome.detail, "\\broken.bin, section " + std::to_string(broken));
    EXPECT_FALSE(fs::exists(target + "/after.txt"));
    EXPECT_FALSE(tempFolderLeft());
    // Shown and logged with what it concerns.
    EXPECT_EQ(outcomes.failed, outcome.message.english + " (" + outcome.detail + ")");
    EXPECT_EQ(lastLogText(), outcomes.failed);
  }
}

TEST_F(RestoreDriverTest, RecordsThatOpenToOtherBytesFailTheHashCheck) {
  HandMadeCopy copy;
  copy.file(u"\\a.bin", {piece(1, 3000), piece(2, 3000)});
  copy.file(u"\\b.bin", {piece(3, 3000)});
  std::swap(copy.records.at(1), copy.records.at(3));
  RestoreOutcome outcome = run(copy);
  ASSERT_EQ(outcome.end, RestoreEnd::kFailed);
  EXPECT_EQ(outcome.message.english, "Internal error (10).");
  EXPECT_EQ(outcome.detail,
            "\\a.bin: the restored content does not match its hash, the copy may be damaged");
  EXPECT_FALSE(fs::exists(target + "/b.bin"));
}

TEST_F(RestoreDriverTest, ACancelRequestStopsTheRestoreAndRemovesTheTemporaryFolder) {
  HandMadeCopy copy = busyCopy();
  const size_t sections = copy.records.size();
  RestoreWriter writer(pool, RestoreWriterOptions{".", &outcomes});
  ByteBuffer payload = copy.payload();
  RestoreRunOptions options;
  RestoreOutcome outcome = runRestore(
      writer, payload.span(), target,
      [&](uint32_t number) {
        // The user cancels while the last section is fetched.
        if (static_cast<size_t>(copy.fetches) + 1 == sections) writeCancelRequest(true);
        return copy.fetch(number);
      },
      test::openForTest, options);
  EXPECT_EQ(outcome.end, RestoreEnd::kCancelled);
  EXPECT_TRUE(outcomes.cancelled);
  EXPECT_FALSE(fs::exists(target + "/Top"));
  EXPECT_FALSE(tempFolderLeft());
}

// The same restores through a batch opener.
class BatchRestoreDriverTest : public RestoreDriverTest {
 protected:
  BatchRestoreDriverTest() { batches = true; }
};

TEST_F(BatchRestoreDriverTest, SharedSectionsAreOpenedOnce) {
  HandMadeCopy copy;
  const uint32_t zeros = copy.section(std::string(4096, '\0'));
  copy.fileOfSections(u"\\zeros.bin", std::vector<uint32_t>(40, zeros));
  copy.file(u"\\other.bin", {piece(1, 100)});
  copy.fileOfSections(u"\\zeros-again.bin", std::vector<uint32_t>(3, zeros));
  RestoreOutcome outcome = run(copy);
  ASSERT_TRUE(outcome.finished()) << outcome.message.english;
  EXPECT_EQ(opens.load(), 2);
  EXPECT_EQ(readFile(target + "/zeros.bin"), std::string(40 * 4096, '\0'));
  EXPECT_EQ(readFile(target + "/zeros-again.bin"), std::string(3 * 4096, '\0'));
}

TEST_F(BatchRestoreDriverTest, ADamagedRecordInsideABatchFailsAtItsOwnSection) {
  for (unsigned workers : {1u, 2u}) {
    fs::remove_all(target);
    fs::create_directory(target);
    HandMadeCopy copy = busyCopy();
    // f1\k is a file of one section with whole batches before and after it.
    const uint32_t number = firstSectionOf(copy, u"\\Top\\f1\\k");
    ASSERT_NE(number, 0u);
    copy.records.at(number)[40] ^= 0x10;

    RestoreOutcome outcome = run(copy, workers);
    ASSERT_EQ(outcome.end, RestoreEnd::kFailed);
    EXPECT_EQ(outcome.message.english, "Error: Could not start decryption.");
    EXPECT_EQ(outcome.detail, "\\Top\\f1\\k, section " + std::to_string(number));
    EXPECT_EQ(readFile(target + "/Top/f1/j"), piece(109, 10 + 9 * 13));
    EXPECT_EQ(readFile(target + "/Top/f1/k"), "");  // made, never written
    EXPECT_FALSE(fs::exists(target + "/Top/f1/l"));
    EXPECT_FALSE(tempFolderLeft());
    EXPECT_EQ(lastLogText(), outcome.withDetail(outcome.message.english));
  }
}

// What stays of the temporary folder when it cannot be removed is told: a
// finished restore whose folder cannot go fails with internal error 9; a
// failed one whose records cannot be deleted tells the restore-folder it
// could not erase besides its own failure. As an ordinary user, so that
// taking write permission away holds.
TEST_F(RestoreDriverTest, LeftoversThatCannotBeRemovedAreTold) {
  test::openToEveryone(work.path());
  std::optional<std::string> text = test::runUnprivileged([&] {
    std::string result;
    for (const bool damaged : {false, true}) {
      HandMadeCopy copy;
      copy.file(u"\\a.bin", {piece(1, 3000), piece(2, 3000)});
      copy.file(u"\\b.bin", {piece(3, 3000)});
      if (damaged) copy.records.at(1)[40] ^= 0x10;
      const std::string into = work.file(damaged ? "damaged" : "whole");
      fs::create_directory(into);
      Outcomes shown;
      RestoreWriterOptions writerOptions;
      writerOptions.progress = &shown;
      RestoreWriter writer(pool, writerOptions);
      RestoreRunOptions runOptions;
      runOptions.log.language = 1;
      ByteBuffer payload = copy.payload();
      // Once the records are in and the writing begins, the temporary folder
      // (or, for a whole copy, the folder that holds it) takes nothing away
      // any more.
      std::atomic<bool> locked{false};
      auto fetch = [&](uint32_t number) { return copy.fetch(number); };
      SectionOpener open = [&](std::span<const uint8_t> record) {
        if (!locked.exchange(true)) {
          ::chmod((damaged ? writer.tempFolderPath() : work.path()).c_str(), 0555);
        }
        return test::openForTest(record);
      };
      RestoreOutcome outcome = runRestore(writer, payload.span(), into, fetch, open, runOptions);
      result += outcome.message.english + " | " + shown.failed + " | " +
                (outcome.leftovers ? outcome.leftovers->english : std::string("-")) + "\n";
      ::chmod(work.path().c_str(), 0777);
      if (!writer.tempFolderPath().empty()) ::chmod(writer.tempFolderPath().c_str(), 0777);
      writer.removeTempFolder();
    }
    return result;
  });
  ASSERT_TRUE(text);
  const std::string expected =
      "Internal error (9). | Internal error (9). (./file_data_";
  EXPECT_EQ(text->rfind(expected, 0), 0u) << *text;
  EXPECT_NE(text->find("\nError: Could not start decryption. | Error: Could not start "
                       "decryption. (\\a.bin, section 1) | Error: Could not erase restore-folder.\n"),
            std::string::npos)
      << *text;
}

// The same restores with records opened in two steps.
class TwoStepRestoreDriverTest : public RestoreDriverTest {
 protected:
  TwoStepRestoreDriverTest() { twoSteps = true; }
};

TEST_F(TwoStepRestoreDriverTest, ARecordThatFailsEitherStepFailsAtItsOwnSection) {
  for (bool inFirstStep : {true, false}) {
    for (unsigned workers : {1u, 2u}) {
      fs::remove_all(target);
      fs::create_directory(target);
      HandMadeCopy copy = busyCopy();
      const uint32_t number = firstSectionOf(copy, u"\\Top\\f1\\k");
      ASSERT_NE(number, 0u);
      ByteBuffer& record = copy.records.at(number);
      if (inFirstStep) {
        record.resize(3);
      } else {
        record[40] ^= 0x10;
      }

      RestoreOutcome outcome = run(copy, workers);
      ASSERT_EQ(outcome.end, RestoreEnd::kFailed);
      EXPECT_EQ(outcome.message.english, "Error: Could not start decryption.");
      EXPECT_EQ(outcome.detail, "\\Top\\f1\\k, section " + std::to_string(number));
      EXPECT_EQ(readFile(target + "/Top/f1/j"), piece(109, 10 + 9 * 13));
      EXPECT_FALSE(fs::exists(target + "/Top/f1/l"));
      EXPECT_FALSE(tempFolderLeft());
    }
  }
}

// The same restores with the records read in place from a shelf.
class ShelfRestoreDriverTest : public RestoreDriverTest {
 protected:
  ShelfRestoreDriverTest() { onShelf = true; }
};

TEST_F(ShelfRestoreDriverTest, ReadsRecordsInPlaceWithoutATemporaryFolderAndLeavesThem) {
  HandMadeCopy copy = busyCopy();
  const size_t sections = copy.records.size();
  copy.fileOfSections(u"\\again.bin", {1, 1, 2});
  RestoreOutcome outcome = run(copy);
  ASSERT_TRUE(outcome.finished()) << outcome.message.english;
  EXPECT_EQ(readFile(target + "/Top/f2/d"), piece(203, 3000) + piece(204, 3000) + piece(205, 17));
  EXPECT_EQ(readFile(target + "/again.bin"), piece(0, 10) + piece(0, 10) + piece(1, 23));
  EXPECT_EQ(copy.fetches, 0);
  // Each section once, and once more for the neighbouring uses of the last file.
  EXPECT_LE(shelfReads.load(), static_cast<int>(sections) + 2);
  EXPECT_FALSE(sawTempFolder.load());
  EXPECT_FALSE(tempFolderLeft());
  EXPECT_EQ(copy.records.size(), sections);
  EXPECT_TRUE(outcomes.finished);
}

TEST_F(ShelfRestoreDriverTest, AMissingRecordFailsBeforeAnythingIsWrittenAndADamagedOneAtItsSection) {
  for (bool missing : {true, false}) {
    fs::remove_all(target);
    fs::create_directory(target);
    HandMadeCopy copy;
    copy.file(u"\\before.txt", {"written first"});
    copy.file(u"\\broken.bin", {piece(1, 5000), piece(2, 5000)});
    const uint32_t broken = copy.list.entry(1).sections[1].number;
    if (missing) {
      copy.records.erase(broken);
    } else {
      copy.records.at(broken)[100] ^= 0x01;
    }
    RestoreOutcome outcome = run(copy);
    ASSERT_EQ(outcome.end, RestoreEnd::kFailed);
    EXPECT_EQ(outcome.detail, "\\broken.bin, section " + std::to_string(broken));
    if (missing) {
      EXPECT_EQ(outcome.message.english, "Error: Could not fetch the file data of the copy.");
      EXPECT_FALSE(fs::exists(target + "/before.txt"));
    } else {
      EXPECT_EQ(outcome.message.english, "Error: Could not start decryption.");
      EXPECT_EQ(readFile(target + "/before.txt"), "written first");
    }
  }
}

}  // namespace
}  // namespace vl
