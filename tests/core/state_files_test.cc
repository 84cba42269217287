// The typed state files: what each reads when the file is missing or cut
// short, that values round-trip, and that a failed write never damages the
// file that was there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/backup_settings.h"
#include "core/byte_buffer.h"
#include "core/copy_progress_file.h"
#include "core/folders_file.h"
#include "core/schedule_file.h"
#include "core/state_files.h"
#include "core/usage_files.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

// A buffer file holding `bytes`.
void writeBufferFile(const std::string& path, const std::string& bytes) {
  ASSERT_TRUE(ByteBuffer(std::string_view(bytes)).saveToFile(path));
}

TEST(SettingsFileTest, ShortFileKeepsDefaultsForMissingFields) {
  test::TempDir dir;
  // include hidden 1, interval 7200, then nothing.
  writeBufferFile(dir.file("conf.bin"), std::string("\x01\x20\x1c\x00\x00", 5));
  BackupSettings settings = loadSettings(dir.file("conf.bin"));
  BackupSettings expected;
  expected.include_hidden = 1;
  expected.interval = 7200;
  EXPECT_EQ(settings, expected);

  // A field cut in half is missing too: 6 bytes end inside nothing, 8 bytes
  // end inside the copy count.
  writeBufferFile(dir.file("conf.bin"), std::string("\x00\x01\x00\x00\x00\x01\x01\x05", 8));
  settings = loadSettings(dir.file("conf.bin"));
  EXPECT_EQ(settings.interval, 1u);
  EXPECT_EQ(settings.compress, 0);
  EXPECT_EQ(settings.transport_encryption, 0);
  EXPECT_EQ(settings.copy_count_parameter, 20);
  EXPECT_EQ(settings.retention_days, 30);

  EXPECT_EQ(loadSettings(dir.file("missing.bin")), BackupSettings());
}

TEST(SettingsFileTest, StoredLayoutWithInvertedFields) {
  test::TempDir dir;
  BackupSettings settings;
  settings.include_hidden = 1;
  settings.interval = 86400;
  settings.compress = 0;
  settings.transport_encryption = 1;
  settings.copy_count_parameter = 20;
  settings.archive_every = 10;
  settings.quick_compare = 0;
  settings.retention_days = 90;
  settings.no_exclusion_warning = 1;
  ASSERT_TRUE(saveSettings(settings, dir.file("conf.bin")));
  const std::string expected("\x0f\x00\x00\x00"  // buffer length 15
                             "\x01\x80\x51\x01\x00\x01\x00\x14\x00\x0a\x00\x01\x5a\x00\x01",
                             19);
  EXPECT_EQ(test::readFile(dir.file("conf.bin")), expected);
  EXPECT_EQ(loadSettings(dir.file("conf.bin")), settings);

  // A stored copy count of 0 reads as 20.
  ByteBuffer stored = encodeSettings(settings);
  stored[7] = 0;
  stored[8] = 0;
  BackupSettings decoded;
  decodeSettings(stored, decoded);
  EXPECT_EQ(decoded.copy_count_parameter, 20);
}

TEST(SettingsFileTest, OptionsCarryTheSettings) {
  BackupSettings settings;
  settings.compress = 0;
  settings.retention_days = 60;
  BackupOptions options = optionsFrom(settings, false, true);
  EXPECT_EQ(options.automatic, 0);
  EXPECT_EQ(options.resume, 1);
  EXPECT_EQ(options.compress, 0);
  EXPECT_EQ(options.retention_days, 60);
  EXPECT_EQ(options.copy_count_parameter, 20);
}

TEST(FoldersFileTest, Latin1PathsRoundTripInTheSingleByteForm) {
  test::TempDir dir;
  std::vector<std::string> paths = {"/home/åsa/Musik", "/data/Bilder", "/x/\xc3\xbf"};
  ASSERT_TRUE(writeFolderSelection(paths, dir.file("folders.bin")));
  // "å" is stored as the one byte 0xE5, followed by the counted zero byte.
  const std::string raw = test::readFile(dir.file("folders.bin"));
  const std::string first("\x10\x00\x00\x00/home/\xe5sa/Musik\x00", 20);
  EXPECT_EQ(raw.substr(8, first.size()), first);
  EXPECT_EQ(readFolderSelection(dir.file("folders.bin")), paths);
  EXPECT_EQ(readFolderCount(dir.file("folders.bin")), 3u);
}

TEST(FoldersFileTest, PathsWithoutASingleByteFormAreRefusedNotMangled) {
  test::TempDir dir;
  ASSERT_TRUE(writeFolderSelection({"/kept"}, dir.file("folders.bin")));
  for (const std::string& bad : {std::string("/home/\xe2\x82\xac"),  // euro sign, U+20AC
                                 std::string("/raw/\xe5sa"),         // Latin-1 byte, not UTF-8
                                 std::string("/over/\xc0\xaf"),      // overlong "/"
                                 std::string("/cut/\xc3")}) {
    EXPECT_FALSE(canStoreFolderPath(bad)) << bad;
    size_t refused = 99;
    EXPECT_FALSE(writeFolderSelection({"/fine", bad}, dir.file("folders.bin"), &refused));
    EXPECT_EQ(refused, 1u);
  }
  EXPECT_EQ(readFolderSelection(dir.file("folders.bin")), std::vector<std::string>{"/kept"});
}

TEST(FoldersFileTest, AbsentAndDamagedSelections) {
  test::TempDir dir;
  EXPECT_FALSE(readFolderSelection(dir.file("missing.bin")));
  EXPECT_EQ(readFolderCount(dir.file("missing.bin")), 0u);

  // A count larger than the fields present, and a path without its zero byte.
  ByteBuffer stored;
  stored.appendU32(1000000);
  stored.appendCounted("/a\0junk", 7);
  stored.appendCounted("/b", 2);
  ASSERT_TRUE(stored.saveToFile(dir.file("folders.bin")));
  EXPECT_EQ(readFolderSelection(dir.file("folders.bin")), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(readFolderCount(dir.file("folders.bin")), 1000000u);

  // Cut right after a path's length field.
  stored.appendU32(40);
  ASSERT_TRUE(stored.saveToFile(dir.file("folders.bin")));
  EXPECT_EQ(readFolderSelection(dir.file("folders.bin")), (std::vector<std::string>{"/a", "/b"}));

  writeBufferFile(dir.file("folders.bin"), "");
  EXPECT_EQ(readFolderSelection(dir.file("folders.bin")), std::vector<std::string>{});
}

TEST(StateFilesTest, FlagsAreAbsentWhenMissingOrShort) {
  test::TempDir dir;
  auto file = [&](const char* name) { return dir.file(name); };
  EXPECT_FALSE(readGuiOn(file("gui_on.bin")));
  EXPECT_FALSE(readWindowHandle(file("wnd.bin")));
  EXPECT_FALSE(readCancelRequest(file("cf.bin")));
  EXPECT_EQ(readAutoStarted(file("auto.bin")), 0);
  EXPECT_FALSE(firstCopyAdviceShown(file("scr_msg.bin")));
  EXPECT_EQ(readQuotaError(file("quota_error.bin")), 0);
  EXPECT_EQ(readRecoveryCheckTime(file("rec_ctrl.bin")), 0u);
  EXPECT_FALSE(readAccountFlag(file("acc.bin")));

  writeBufferFile(file("gui_on.bin"), std::string("\x01\x00", 2));  // too short for a u32
  EXPECT_FALSE(readGuiOn(file("gui_on.bin")));
  writeBufferFile(file("scr_msg.bin"), "");
  EXPECT_FALSE(firstCopyAdviceShown(file("scr_msg.bin")));
  test::writeFile(file("cf.bin"), "\x01");  // not a buffer file at all
  EXPECT_FALSE(readCancelRequest(file("cf.bin")));
}

TEST(StateFilesTest, FlagsRoundTrip) {
  test::TempDir dir;
  auto file = [&](const char* name) { return dir.file(name); };
  ASSERT_TRUE(writeGuiOn(1, file("gui_on.bin")));
  EXPECT_EQ(test::readFile(file("gui_on.bin")), std::string("\x04\0\0\0\x01\0\0\0", 8));
  EXPECT_EQ(readGuiOn(file("gui_on.bin")), 1u);
  ASSERT_TRUE(writeGuiOn(0, file("gui_on.bin")));
  EXPECT_EQ(readGuiOn(file("gui_on.bin")), 0u);
  ASSERT_TRUE(writeWindowHandle(0x12345678, file("wnd.bin")));
  EXPECT_EQ(readWindowHandle(file("wnd.bin")), 0x12345678u);
  ASSERT_TRUE(writeCancelRequest(true, file("cf.bin")));
  EXPECT_TRUE(readCancelRequest(file("cf.bin")));
  ASSERT_TRUE(writeCancelRequest(false, file("cf.bin")));
  EXPECT_FALSE(readCancelRequest(file("cf.bin")));
  ASSERT_TRUE(markFirstCopyAdviceShown(file("scr_msg.bin")));
  EXPECT_TRUE(firstCopyAdviceShown(file("scr_msg.bin")));
  ASSERT_TRUE(writeRecoveryCheckTime(1700000000, file("rec_ctrl.bin")));
  EXPECT_EQ(readRecoveryCheckTime(file("rec_ctrl.bin")), 1700000000u);
  ASSERT_TRUE(writeAccountFlag(0, file("acc.bin")));
  EXPECT_EQ(readAccountFlag(file("acc.bin")), 0);
}

TEST(StateFilesTest, ProgressNeedsBothCounters) {
  test::TempDir dir;
  const std::string path = dir.file("progr.bin");
  EXPECT_FALSE(readCopyProgress(path));
  writeBufferFile(path, std::string("\x05\0\0\0\x07\0\0", 7));
  EXPECT_FALSE(readCopyProgress(path)) << "a cut total must not read as 0 (finished)";
  ASSERT_TRUE(writeCopyProgress({5, 7, 0, 1700000000}, path));
  EXPECT_EQ(test::readFile(path).size(), 4u + 13u);
  auto progress = readCopyProgress(path);
  ASSERT_TRUE(progress);
  EXPECT_EQ(progress->done, 5u);
  EXPECT_EQ(progress->total, 7u);
  EXPECT_EQ(progress->written_at, 1700000000u);
}

TEST(StateFilesTest, ScheduleDefaultsToMidnightEveryDay) {
  test::TempDir dir;
  const std::string path = dir.file("start_time.bin");
  EXPECT_EQ(readSchedule(path), WeeklySchedule());
  WeeklySchedule schedule;
  schedule.hour = 21;
  schedule.minute = 30;
  schedule.days = {true, false, true, false, true, false, false};
  ASSERT_TRUE(writeSchedule(schedule, path));
  EXPECT_EQ(test::readFile(path),
            std::string("\x0c\0\0\0\x01\x15\x00\x1e\x00\x00\x01\x00\x01\x00\x01\x01", 16));
  EXPECT_EQ(readSchedule(path), schedule);
  // Cut after the hour: the minute and every day read as 0, i.e. selected.
  writeBufferFile(path, std::string("\x01\x15\x00", 3));
  WeeklySchedule cut = readSchedule(path);
  EXPECT_EQ(cut.hour, 21);
  EXPECT_EQ(cut.minute, 0);
  EXPECT_EQ(cut.days, WeeklySchedule().days);
}

TEST(StateFilesTest, UsageFilesKeepHighHalfFirst) {
  test::TempDir dir;
  EXPECT_FALSE(readLastCopy(dir.file("last.bin")).exists());
  EXPECT_EQ(readServerUsage(dir.file("usage.bin")).used_bytes, 0u);
  EXPECT_EQ(readCurrentUpload(dir.file("current.bin")), 0u);

  ASSERT_TRUE(writeLastCopy({1700000000, 12, 5ull << 30}, dir.file("last.bin")));
  EXPECT_EQ(test::readFile(dir.file("last.bin")).substr(12),
            std::string("\x01\0\0\0\0\0\0\x40", 8));
  LastCopy last = readLastCopy(dir.file("last.bin"));
  EXPECT_TRUE(last.exists());
  EXPECT_EQ(last.files, 12u);
  EXPECT_EQ(last.bytes, 5ull << 30);

  ASSERT_TRUE(writeServerUsage({(3ull << 32) + 9, 4, 50}, dir.file("usage.bin")));
  ServerUsage usage = readServerUsage(dir.file("usage.bin"));
  EXPECT_EQ(usage.used_bytes, (3ull << 32) + 9);
  EXPECT_EQ(usage.copies, 4u);
  EXPECT_EQ(usage.reserved_gib, 50u);

  // Only the high half survived: the low half reads as 0.
  writeBufferFile(dir.file("current.bin"), std::string("\x02\0\0\0", 4));
  EXPECT_EQ(readCurrentUpload(dir.file("current.bin")), 2ull << 32);
}

TEST(StateFilesTest, FailedWriteLeavesTheOldFileIntact) {
  test::TempDir dir;
  const std::string path = dir.file("conf.bin");
  BackupSettings old;
  old.interval = 7200;
  ASSERT_TRUE(saveSettings(old, path));
  const std::string before = test::readFile(path);

  // A child whose files may not grow past 8 bytes: the write of the 19-byte
  // file fails part way, as on a full disk.
  pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{8, 8};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    BackupSettings changed;
    changed.interval = 86400;
    ::_exit(saveSettings(changed, path) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should have failed";
  EXPECT_EQ(test::readFile(path), before);
  EXPECT_EQ(loadSettings(path).interval, 7200u);
  // Nothing is left beside it either.
  std::string leftovers;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename() != "conf.bin") leftovers += entry.path().filename().string();
  }
  EXPECT_EQ(leftovers, "");
}

// The quota warning starts at exactly 4/5 of the reserved space, counted in
// 64 bits (40 GiB * 4 does not fit in 32); no usage at all counts too.
TEST(StateFilesTest, QuotaIsNearlyUsedFromExactlyFourFifths) {
  const uint64_t fourFifths = (40ull << 30) * 4 / 5;
  EXPECT_TRUE(quotaWarningDue({fourFifths, 1, 40}));
  EXPECT_FALSE(quotaWarningDue({fourFifths - 1, 1, 40}));
  EXPECT_TRUE(quotaWarningDue({0, 0, 0}));
  EXPECT_FALSE(quotaWarningDue({0, 0, 5000}));
}

}  // namespace
}  // namespace vl
