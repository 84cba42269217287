// What the engine asks about files and folders it cannot copy, and what the
// answers do. Unreadable entries need a user without root's rights, so those
// runs happen in an unprivileged child process that reports back in text.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>

#include "engine/backup_engine.h"
#include "engine/backup_engine_test_util.h"
#include "engine/unprivileged.h"
#include "engine/working_folder.h"

namespace vl {
namespace {

using test::EngineSetup;
using test::makeFolder;
using test::pullCopy;
using test::SectionStore;
using test::writeFile;

// Answers from a script and writes down every question.
class ScriptedAnswers : public BackupMainAction {
 public:
  uint32_t askQuestion(std::string_view swedish, std::string_view english,
                       uint32_t three_way) override {
    log += "Q" + std::to_string(three_way) + "[" + std::string(swedish) + "|" +
           std::string(english) + "]";
    uint32_t answer = questions.empty() ? kContinue : questions.front();
    if (!questions.empty()) questions.pop_front();
    return answer;
  }
  bool askYesNo(std::string_view swedish, std::string_view, bool) override {
    log += "Y[" + std::string(swedish) + "]";
    bool answer = !yesNo.empty() && yesNo.front();
    if (!yesNo.empty()) yesNo.pop_front();
    return answer;
  }

  std::deque<uint32_t> questions;
  std::deque<bool> yesNo;
  std::string log;
};

std::string summary(BackupEngine& engine, const test::EngineRun& run, ScriptedAnswers* answers,
                    const std::atomic<uint8_t>& cancel) {
  CopyStatistics stats = engine.statistics();
  std::string text = run.finished ? "finished" : "stopped";
  text += " cancel=" + std::to_string(cancel.load());
  text += " files=" + std::to_string(stats.num_files);
  text += " errors=" + std::to_string(stats.num_read_errors);
  text += " reused=" + std::to_string(stats.num_read_error_reuse);
  text += " skipped=" + std::to_string(stats.num_read_error_skipped);
  text += " excluded=" + std::to_string(engine.excludedPaths().size());
  std::vector<CopyLogRecord> records;
  loadLog(&records);
  text += " logged=" + std::to_string(records.size());
  if (answers != nullptr) text += " asked=" + answers->log;
  return text;
}

class UnreadableFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree = work.file("tree");
    makeFolder(tree);
    writeFile(tree + "/fine", "fine");
    writeFile(tree + "/locked1", "secret one");
    writeFile(tree + "/locked2", "secret two");
    test::openToEveryone(work.path());
    ::chmod((tree + "/locked1").c_str(), 0);
    ::chmod((tree + "/locked2").c_str(), 0);
  }

  // Runs a copy as an ordinary user and describes it.
  std::string copyAsUser(bool automatic, ScriptedAnswers* answers,
                         const ByteBuffer* previous = nullptr) {
    std::optional<std::string> text = test::runUnprivileged([&] {
      EngineSetup setup(tree, answers);
      setup.options.automatic = automatic;
      // Every file is read, also those the previous copy holds unchanged.
      setup.options.quickCompare = false;
      BackupEngine engine(setup.options);
      if (previous != nullptr && !engine.setPreviousCopy(previous->span())) return std::string();
      SectionStore store;
      test::EngineRun run = pullCopy(engine, &store);
      return summary(engine, run, answers, setup.cancel);
    });
    return text.value_or("could not run unprivileged");
  }

  test::WorkingFolder work;
  std::string tree;
};

TEST_F(UnreadableFileTest, AutomaticRunsNeverAskAndLogTheFilesLeftOut) {
  ScriptedAnswers answers;
  EXPECT_EQ(copyAsUser(true, &answers),
            "finished cancel=0 files=1 errors=2 reused=0 skipped=2 excluded=2 logged=2 asked=");
  // Without a callback object nothing is asked either.
  EXPECT_EQ(copyAsUser(false, nullptr),
            "finished cancel=0 files=1 errors=2 reused=0 skipped=2 excluded=2 logged=4");
}

TEST_F(UnreadableFileTest, TryAgainThenSkipTheRest) {
  ScriptedAnswers answers;
  answers.questions = {BackupMainAction::kTryAgain, BackupMainAction::kContinue};
  answers.yesNo = {true};  // skip the rest
  std::string text = copyAsUser(false, &answers);
  EXPECT_NE(text.find("finished cancel=0 files=1 errors=2 reused=0 skipped=2 excluded=2"),
            std::string::npos)
      << text;
  // Asked twice about the first file, then only whether to skip the rest.
  EXPECT_EQ(text.find("Q1[Kunde inte läsa filen \"" + tree + "/locked"), text.find("Q1["));
  EXPECT_NE(text.find("\". Vill du fortsätta utan denna filen?|Could not read file \""),
            std::string::npos);
  size_t questions = 0;
  for (size_t at = text.find("Q1["); at != std::string::npos; at = text.find("Q1[", at + 1)) {
    ++questions;
  }
  EXPECT_EQ(questions, 2u);
  EXPECT_NE(text.find("Y[Vill du hoppa över resterande filer som inte heller"), std::string::npos);
}

TEST_F(UnreadableFileTest, CancelAndAbortStopsTheRunAsACancel) {
  ScriptedAnswers answers;
  answers.questions = {BackupMainAction::kCancel, BackupMainAction::kCancel};
  answers.yesNo = {false, true};  // not yet; then abort
  std::string text = copyAsUser(false, &answers);
  EXPECT_EQ(text.rfind("stopped cancel=1 ", 0), 0u) << text;
  EXPECT_NE(text.find("excluded=1 logged=1"), std::string::npos) << text;
}

TEST_F(UnreadableFileTest, ThePreviousCopysEntryStandsInForAnUnreadableFile) {
  ::chmod((tree + "/locked1").c_str(), 0644);
  ::chmod((tree + "/locked2").c_str(), 0644);
  ASSERT_EQ(::rename((tree + "/locked2").c_str(), work.file("aside").c_str()), 0);
  ByteBuffer previous;
  {
    EngineSetup setup(tree);
    BackupEngine engine(setup.options);
    SectionStore store;
    ASSERT_TRUE(pullCopy(engine, &store).finished);
    previous = engine.newFileList();
  }
  ASSERT_EQ(::rename(work.file("aside").c_str(), (tree + "/locked2").c_str()), 0);
  ::chmod((tree + "/locked1").c_str(), 0);
  ::chmod((tree + "/locked2").c_str(), 0);
  std::string text = copyAsUser(true, nullptr, &previous);
  // locked1 keeps its stored entry; locked2 (never stored) is left out.
  EXPECT_EQ(text.rfind("finished cancel=0 files=2 errors=2 reused=1 skipped=1 excluded=2", 0), 0u)
      << text;
}

TEST(UnreadableFolderTest, SubFolderQuestionAndSelectedFolderMessage) {
  test::WorkingFolder work;
  const std::string tree = work.file("tree");
  makeFolder(tree);
  makeFolder(tree + "/closed");
  writeFile(tree + "/closed/inside", "x");
  writeFile(tree + "/open", "y");
  test::openToEveryone(work.path());
  ::chmod((tree + "/closed").c_str(), 0);

  std::optional<std::string> text = test::runUnprivileged([&] {
    ScriptedAnswers answers;
    answers.questions = {BackupMainAction::kTryAgain, BackupMainAction::kContinue};
    EngineSetup setup(tree, &answers);
    BackupEngine engine(setup.options);
    SectionStore store;
    test::EngineRun run = pullCopy(engine, &store);
    std::string result = summary(engine, run, &answers, setup.cancel);

    // A selected folder that cannot be read stops the run, logged, not a cancel.
    EngineSetup closed(tree + "/closed", &answers);
    BackupEngine stopped(closed.options);
    test::EngineRun failed = pullCopy(stopped, &store);
    std::vector<CopyLogRecord> records;
    loadLog(&records);
    result += "\n" + summary(stopped, failed, nullptr, closed.cancel) + " path=" +
              failed.failedPath + " last=" + std::string(records.back().textView());
    return result;
  });
  ASSERT_TRUE(text);
  const std::string question = "Kan inte öppna den underliggande mappen \"" + tree +
                               "/closed\". Vill du fortsätta utan denna mapp och de filer eller "
                               "mappar som finns i den?";
  EXPECT_EQ(*text, "finished cancel=0 files=1 errors=0 reused=0 skipped=0 excluded=1 logged=1 "
                   "asked=Q1[" + question + "|" + question + "]Q1[" + question + "|" + question +
                   "]\nstopped cancel=0 files=0 errors=0 reused=0 skipped=0 excluded=0 logged=2 "
                   "path=" + tree + "/closed last=Fel: Kunde inte läsa mappen \"" + tree +
                   "/closed\" som är vald för kopiering.");
}

// Cancel at the sub-folder question stops the run as a failed read of that
// folder: the cancel flag stays clear (the exchange would otherwise say the
// user cancelled) and the failed path is the folder's.
TEST(UnreadableFolderTest, CancelAtTheSubFolderQuestionIsAReadErrorOfThatFolder) {
  test::WorkingFolder work;
  const std::string tree = work.file("tree");
  makeFolder(tree);
  makeFolder(tree + "/closed");
  writeFile(tree + "/open", "y");
  test::openToEveryone(work.path());
  ::chmod((tree + "/closed").c_str(), 0);

  std::optional<std::string> text = test::runUnprivileged([&] {
    ScriptedAnswers answers;
    answers.questions = {BackupMainAction::kCancel};
    EngineSetup setup(tree, &answers);
    BackupEngine engine(setup.options);
    SectionStore store;
    test::EngineRun run = pullCopy(engine, &store);
    return summary(engine, run, nullptr, setup.cancel) + " path=" + run.failedPath;
  });
  ASSERT_TRUE(text);
  EXPECT_EQ(text->rfind("stopped cancel=0 ", 0), 0u) << *text;
  EXPECT_NE(text->find(" excluded=1 "), std::string::npos) << *text;
  EXPECT_EQ(text->substr(text->find(" path=") + 6), tree + "/closed") << *text;
}

TEST(NameTooLongTest, LeftOutWithoutAskingWhenAutomaticAndAskedOtherwise) {
  test::WorkingFolder work;
  std::string folder = work.file("tree");
  makeFolder(folder);
  const std::string tree = folder;
  while (folder.size() < 200) {
    folder += "/" + std::string(40, 'd');
    makeFolder(folder);
  }
  writeFile(folder + "/" + std::string(241 - folder.size() - 1, 'k'), "fits");
  writeFile(folder + "/" + std::string(242 - folder.size() - 1, 'l'), "too long");

  for (bool automatic : {true, false}) {
    ScriptedAnswers answers;
    answers.questions = {BackupMainAction::kCancel, BackupMainAction::kContinue};
    answers.yesNo = {false, false};
    EngineSetup setup(tree, &answers);
    setup.options.automatic = automatic;
    BackupEngine engine(setup.options);
    SectionStore store;
    ASSERT_TRUE(pullCopy(engine, &store).finished);
    EXPECT_EQ(engine.statistics().num_files, 1u);
    ASSERT_EQ(engine.excludedPaths().size(), 1u);
    EXPECT_EQ(engine.excludedPaths()[0].size(), 242u);
    EXPECT_EQ(answers.log.empty(), automatic) << answers.log;
    if (!automatic) {
      EXPECT_EQ(answers.log.find("Q0[En fil har ett namn som är för långt"), 0u);
      EXPECT_NE(answers.log.find("Y[Vill du avbryta kopieringen?]"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace vl
