// Start-up before the run mode: the refusal of old systems, told in the copy
// log or in a message box, and the system object's working directory.
#include "core/startup.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "core/exit_codes.h"
#include "engine/copy_log.h"
#include "platform/os_version_testing.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

class RecordingFrontEnd : public InteractiveFrontEnd, public MessageBoxUi {
 public:
  explicit RecordingFrontEnd(std::vector<std::string>* shown) : shown_(shown) {}
  MessageBoxUi& messageBoxes() override { return *this; }
  void show(std::string_view caption, std::string_view text, MessageBoxIcon) override {
    shown_->push_back(std::string(caption) + "|" + std::string(text));
  }
  int waitForBackgroundCopy() override { return 0; }
  void bringWindowForward(uint32_t) override {}
  int run(BackupSystem&, bool hidden) override { return hidden ? 42 : 41; }

 private:
  std::vector<std::string>* shown_;
};

// Start-up changes the current directory and the process-wide system
// pointer, so each run happens in a child with its own home folder. The
// child reports the exit code; messages shown are written to `shown_file`.
int startInChild(const std::string& home, const std::string& command_line,
                 std::optional<OsVersion> version, const std::string& shown_file) {
  pid_t child = ::fork();
  if (child == 0) {
    ::setenv("HOME", home.c_str(), 1);
    overrideOsVersionForTesting(version);
    std::vector<std::string> shown;
    int code = runClient(command_line, [&] { return std::make_unique<RecordingFrontEnd>(&shown); });
    std::string all;
    for (const auto& line : shown) all += line + "\n";
    test::writeFile(shown_file, all);
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> logTexts(const std::string& path) {
  ByteBuffer stored;
  std::vector<CopyLogRecord> records;
  std::vector<std::string> texts;
  if (stored.loadFromFile(path) && parseCopyLog(stored, &records)) {
    for (const auto& record : records) texts.emplace_back(record.textView());
  }
  return texts;
}

TEST(StartupTest, CommandLineFlagsNeedTheWholeString) {
  for (const char* hidden : {"hidden", "HIDDEN", "Hidden"}) {
    EXPECT_TRUE(parseCommandLine(hidden).hidden);
    EXPECT_FALSE(parseCommandLine(hidden).unattended);
  }
  for (const char* backup : {"backup", "BACKUP", "Backup"}) {
    EXPECT_TRUE(parseCommandLine(backup).unattended);
    EXPECT_FALSE(parseCommandLine(backup).hidden);
  }
  for (const char* other : {"hidden ", " backup", "-backup", "hIdden", "backup hidden", ""}) {
    EXPECT_FALSE(parseCommandLine(other).hidden) << other;
    EXPECT_FALSE(parseCommandLine(other).unattended) << other;
  }
}

TEST(StartupTest, OldSystemsAreRefusedInTheCopyLogOrAMessageBox) {
  test::TempDir home;
  const std::string log = home.path() + "/.local/share/VL_wd/logg.bin";
  const std::string shown = home.file("shown.txt");
  const std::string swedish_log =
      "Fel: För att köra programmet krävs Windows XP eller senare operativsystem!";

  EXPECT_EQ(startInChild(home.path(), "backup", OsVersion{4, 90}, shown), kExitSystemTooOld);
  EXPECT_EQ(startInChild(home.path(), "backup", OsVersion{5, 0}, shown), kExitSystemIs50);
  EXPECT_EQ(logTexts(log), (std::vector<std::string>{swedish_log, swedish_log}));
  EXPECT_EQ(test::readFile(shown), "");

  EXPECT_EQ(startInChild(home.path(), "", OsVersion{5, 0}, shown), kExitSystemIs50);
  EXPECT_EQ(test::readFile(shown),
            "Vardlok|För att köra programmet krävs Windows XP eller senare operativsystem!\n");
  EXPECT_EQ(logTexts(log).size(), 2u) << "an interactive refusal is not logged";

  // 5.1 and later run; the interactive front end decides the exit code.
  EXPECT_EQ(startInChild(home.path(), "Hidden", OsVersion{5, 1}, shown), 42);
  EXPECT_EQ(startInChild(home.path(), "hidden ", OsVersion{6, 1}, shown), 41);
  EXPECT_EQ(test::readFile(shown), "");
}

TEST(StartupTest, SystemFailureIsShownWithItsCode) {
  test::TempDir home;
  test::writeFile(home.file(".local"), "a file where a folder belongs");
  const std::string shown = home.file("shown.txt");
  EXPECT_EQ(startInChild(home.path(), "hidden", std::nullopt, shown), kExitSystemFailed);
  EXPECT_EQ(test::readFile(shown), "Vardlok|Kunde inte initiera BackupSystem! Kod: 1\n");
}

}  // namespace
}  // namespace vl
