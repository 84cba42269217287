// The small vardlok commands that need no server, run as processes: the
// folder selection, the settings by name, the usage figures with their
// warning, and the copy log.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/backup_settings.h"
#include "core/folders_file.h"
#include "core/usage_files.h"
#include "engine/copy_log.h"
#include "support/temp_dir.h"
#include "vardlok_process.h"

namespace vl {
namespace {

using test::Computer;

constexpr char kQuotaWarning[] = "Varning! Mer än 80% av det reserverade utrymmet på servern används.";

class VardlokCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(computer.workingFile("")); }

  // Runs vardlok; stdout and stderr are kept in `out` and `err`.
  int run(const std::vector<std::string>& args) { return computer.vardlok(args, &err, &out); }

  Computer computer;
  std::string out, err;
};

TEST_F(VardlokCommandsTest, FoldersAreAddedOnceRemovedAndListedAbsolute) {
  const std::string docs = computer.home.file("Docs");
  const std::string pics = computer.home.file("Pics");
  std::filesystem::create_directories(docs);
  std::filesystem::create_directories(pics);

  EXPECT_EQ(run({"folders", "add", docs, pics + "/", docs + "/../Docs"}), 0) << err;
  EXPECT_EQ(run({"folders", "list"}), 0);
  EXPECT_EQ(out, docs + "\n" + pics + "\n");
  EXPECT_EQ(readFolderSelection(computer.workingFile(kFoldersFile)),
            (std::vector<std::string>{docs, pics}));

  // A folder that is not there, or not selected, changes nothing.
  EXPECT_EQ(run({"folders", "add", computer.home.file("Missing")}), 1);
  EXPECT_NE(err.find("Fel: Mappen finns inte: "), std::string::npos) << err;
  EXPECT_EQ(run({"folders", "remove", pics, computer.home.file("Other")}), 1);
  EXPECT_NE(err.find("Fel: Mappen är inte vald: "), std::string::npos) << err;
  EXPECT_EQ(readFolderCount(computer.workingFile(kFoldersFile)), 2u);

  EXPECT_EQ(run({"folders", "remove", docs}), 0) << err;
  EXPECT_EQ(readFolderSelection(computer.workingFile(kFoldersFile)),
            (std::vector<std::string>{pics}));
  EXPECT_EQ(run({"folders", "move", docs}), 2);
  EXPECT_EQ(run({"folders", "add"}), 2);
}

TEST_F(VardlokCommandsTest, SettingsAreReadAndWrittenByName) {
  EXPECT_EQ(run({"settings"}), 0) << err;
  EXPECT_NE(out.find("transport-encryption on\n"), std::string::npos) << out;
  EXPECT_NE(out.find("interval 14400\n"), std::string::npos) << out;

  EXPECT_EQ(run({"settings", "transport-encryption", "off"}), 0) << err;
  EXPECT_EQ(run({"settings", "content-comparison", "on"}), 0) << err;
  EXPECT_EQ(run({"settings", "exclusion-warning", "off"}), 0) << err;
  EXPECT_EQ(run({"settings", "interval", "manual"}), 0) << err;
  EXPECT_EQ(run({"settings", "archive-every", "10"}), 0) << err;
  EXPECT_EQ(run({"settings", "retention-days", "90"}), 0) << err;
  EXPECT_EQ(run({"settings", "include-hidden", "on"}), 0) << err;
  BackupSettings expected;
  expected.transport_encryption = 0;
  expected.quick_compare = 0;
  expected.no_exclusion_warning = 1;
  expected.interval = kManualBackupsOnly;
  expected.archive_every = 10;
  expected.retention_days = 90;
  expected.include_hidden = 1;
  EXPECT_EQ(loadSettings(computer.workingFile(kSettingsFile)), expected);
  // Stored inverted: 1 means transport encryption off.
  ByteBuffer stored;
  ASSERT_TRUE(stored.loadFromFile(computer.workingFile(kSettingsFile)));
  ASSERT_EQ(stored.size(), 15u);
  EXPECT_EQ(stored[6], 1);

  EXPECT_EQ(run({"settings", "transport-encryption"}), 0);
  EXPECT_EQ(out, "off\n");
  EXPECT_EQ(run({"settings", "interval"}), 0);
  EXPECT_EQ(out, "manual\n");

  // Unknown names and values the program never runs with are refused and
  // leave the file as it was.
  const std::string before = test::readFile(computer.workingFile(kSettingsFile));
  EXPECT_EQ(run({"settings", "transport-encryptio", "on"}), 2);
  EXPECT_NE(err.find("Fel: Okänd inställning 'transport-encryptio'"), std::string::npos) << err;
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string>>{{"transport-encryption", "yes"},
                                                        {"interval", "0"},
                                                        {"interval", "3600"},
                                                        {"archive-every", "7"},
                                                        {"retention-days", "31"},
                                                        {"copy-count", "0"},
                                                        {"copy-count", "65536"},
                                                        {"copy-count", "-1"}}) {
    EXPECT_EQ(run({"settings", name, value}), 2) << name << " " << value;
    EXPECT_NE(err.find("Fel: Felaktigt värde '" + value + "'"), std::string::npos) << err;
  }
  EXPECT_TRUE(test::readFile(computer.workingFile(kSettingsFile)) == before);
  EXPECT_EQ(run({"settings", "compress", "on", "extra"}), 2);
}

TEST_F(VardlokCommandsTest, UsageWarnsFromExactlyEightyPercentOfTheReservedSpace) {
  EXPECT_EQ(run({"usage"}), 0);
  EXPECT_NE(out.find("Diskanvändning: Okänt"), std::string::npos) << out;
  EXPECT_EQ(err.find(kQuotaWarning), std::string::npos) << err;

  const uint64_t reserved = uint64_t{40} << 30;
  const uint64_t threshold = reserved * 4 / 5;
  const std::string usage = computer.workingFile(kServerUsageFile);
  ASSERT_TRUE(writeServerUsage(ServerUsage{threshold - 1, 6, 40}, usage));
  EXPECT_EQ(run({"usage"}), 0) << err;
  EXPECT_NE(out.find("Antal lagrade kopior: 6\n"), std::string::npos) << out;
  EXPECT_NE(out.find("(" + std::to_string(threshold - 1) + " byte)"), std::string::npos) << out;
  EXPECT_NE(out.find("Reserverat utrymme: 40.0 GiB"), std::string::npos) << out;
  EXPECT_EQ(err.find(kQuotaWarning), std::string::npos) << err;

  ASSERT_TRUE(writeServerUsage(ServerUsage{threshold, 6, 40}, usage));
  EXPECT_EQ(run({"usage"}), 0) << err;
  EXPECT_NE(err.find(kQuotaWarning), std::string::npos) << err;

  // An interrupted copy's upload is shown; the warning stays the server's.
  ASSERT_TRUE(writeServerUsage(ServerUsage{threshold - 1, 6, 40}, usage));
  ASSERT_TRUE(writeCurrentUpload(4096, computer.workingFile(kCurrentUploadFile)));
  EXPECT_EQ(run({"usage"}), 0) << err;
  EXPECT_NE(out.find("Användning denna dator: 4.0 KiB"), std::string::npos) << out;
  EXPECT_EQ(err.find(kQuotaWarning), std::string::npos) << err;
}

TEST_F(VardlokCommandsTest, LogShowsEveryRecordAndHistoryTheFinishedOnes) {
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(computer.workingFile(""));
  ASSERT_TRUE(appendLog(kLogCompletion, 1700000000, 12, 5u << 20, "Kopiering slutförd utan fel."));
  ASSERT_TRUE(appendLog(kLogMessage, 1700000100, 0, 0, "Fel: Fick ingen kontakt med servern!"));
  ASSERT_TRUE(appendLog(kLogExclusion, 1700000200, 1, 0, "Fil utesluten vid kopiering: /a/b"));
  ASSERT_TRUE(flushCopyLog());
  std::filesystem::current_path(here);

  EXPECT_EQ(run({"log"}), 0) << err;
  EXPECT_NE(out.find("\tOK\t12\t5242880\tKopiering slutförd utan fel.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\t*** FEL ***\t\t\tFel: Fick ingen kontakt med servern!\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\tVarning\t\t\tFil utesluten vid kopiering: /a/b\n"), std::string::npos)
      << out;
  EXPECT_EQ(run({"log", "--english"}), 0) << err;
  EXPECT_NE(out.find("\t*** ERROR ***\t"), std::string::npos) << out;
  EXPECT_NE(out.find("\tWarning\t"), std::string::npos) << out;

  EXPECT_EQ(run({"history"}), 0) << err;
  EXPECT_NE(out.find("\t12\t5242880\tKopiering slutförd utan fel.\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Fel:"), std::string::npos) << out;

  // A log that does not read is a failure, not an empty history.
  test::writeFile(computer.workingFile(kCopyLogFile), std::string("\x08\0\0\0\x05\0\0\0\1\0\0\0", 12));
  EXPECT_EQ(run({"history"}), 1);
  EXPECT_NE(err.find("Kunde inte läsa historiken."), std::string::npos) << err;
  EXPECT_EQ(run({"log", "extra"}), 2);
}

TEST_F(VardlokCommandsTest, HelpListsEveryCommand) {
  EXPECT_EQ(run({"help"}), 0);
  for (const char* usage :
       {"vardlok folders add FOLDER...", "vardlok copies RECOVERY-FILE", "vardlok archive list",
        "vardlok archive delete NUMBER...", "vardlok usage", "vardlok log [--english]",
        "vardlok history", "vardlok settings [NAME [VALUE]]"}) {
    EXPECT_NE(err.find(usage), std::string::npos) << usage;
  }
  // Commands of the server that fail before any exchange: no account, no
  // recovery file, a number that is no number.
  EXPECT_EQ(run({"archive", "list"}), 1);
  EXPECT_NE(err.find("Fel: Det finns inget konto på den här datorn."), std::string::npos) << err;
  EXPECT_EQ(run({"archive", "delete", "x1"}), 2);
  EXPECT_EQ(run({"archive", "delete"}), 2);
  EXPECT_EQ(run({"copies", computer.home.file("missing.drf")}), 1);
  EXPECT_NE(err.find("Fel: Kunde inte läsa återställningsfil."), std::string::npos) << err;
}

}  // namespace
}  // namespace vl
