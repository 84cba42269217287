#include "engine/copy_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/remote_log_file.h"
#include "engine/unprivileged.h"
#include "engine/working_folder.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::readFile;
using test::WorkingFolder;
using test::writeFile;

std::string le32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

std::string le16(uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; }

// A whole buffer file: length, then the bytes.
std::string bufferFile(const std::string& bytes) {
  return le32(static_cast<uint32_t>(bytes.size())) + bytes;
}

std::vector<std::string> filesStartingWith(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> found;
  DIR* dir = ::opendir(folder.c_str());
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.rfind(prefix, 0) == 0) found.push_back(name);
  }
  ::closedir(dir);
  return found;
}

TEST(CopyLog, FirstAppendWritesOneRecordInSingleByteForm) {
  WorkingFolder wd;
  const uint64_t five_gib = 5ull << 30;
  appendLog(kLogCompletion, 0x01020304, 7, five_gib, "Fel: användare");
  const std::string text = "Fel: anv\xE4ndare";
  const std::string expected = le32(1) + le16(0) + le32(0x01020304) + le32(7) + le32(1) +
                               le32(static_cast<uint32_t>(five_gib)) +
                               le32(static_cast<uint32_t>(text.size())) + text;
  EXPECT_EQ(readFile(wd.file("logg.bin")), bufferFile(expected));

  std::vector<CopyLogRecord> records;
  ASSERT_TRUE(loadLog(&records));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].kind, kLogCompletion);
  EXPECT_EQ(records[0].time, 0x01020304u);
  EXPECT_EQ(records[0].count, 7u);
  EXPECT_EQ(records[0].size, five_gib);
  EXPECT_EQ(records[0].textView(), "Fel: användare");
}

TEST(CopyLog, CharactersWithoutASingleByteFormBecomeQuestionMarks) {
  WorkingFolder wd;
  // Å is Latin-1; the CJK character, the emoji and a stray byte are not.
  appendLog(kLogMessage, 1, 0, 0, "Å \xE6\x96\x87 \xF0\x9F\x98\x80 \xFF.");
  std::vector<CopyLogRecord> records;
  ASSERT_TRUE(loadLog(&records));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].textView(), "Å ? ? ?.");
}

TEST(CopyLog, MessagesExclusionsAndCompletionsInEitherLanguage) {
  WorkingFolder wd;
  const LogContext swedish{0};
  const LogContext english{1};
  logInLanguage(swedish, "Fel: Kunde inte starta kopieringen.", "Error: Could not start backup process.");
  logExclusion(english, "/home/a/b.txt", kExcludedUnreadableFile);
  logExclusion(swedish, "/home/a/sub", kExcludedUnopenableFolder);
  logExclusion(english, "/home/a/long", kExcludedNameTooLong);
  logExclusion(swedish, "/home/a/x", kExcludedUncheckable);
  logExclusion(swedish, "/home/a/y", 4);  // no such cause: nothing
  logCopyFinished(swedish, 12, 3456);
  logRestoreFinished(english, 3, 9);

  std::vector<CopyLogRecord> records;
  ASSERT_TRUE(loadLog(&records));
  ASSERT_EQ(records.size(), 7u);
  const std::vector<std::string> texts = {
      "Fel: Kunde inte starta kopieringen.",
      "File excluded from copy: /home/a/b.txt",
      "Underliggande mapp utesluten vid kopiering: /home/a/sub",
      "File excluded from copy because file name is to long: /home/a/long",
      "Fil eller mapp utesluten vid kopiering. Kunde inte kontrollera status för fil/mapp, kanske "
      "saknas sökrättigheter för mappen: /home/a/x",
      "Kopiering slutförd utan fel.",
      "Restore finished without errors.",
  };
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(records[i].textView(), texts[i]) << i;
  EXPECT_EQ(records[0].kind, kLogMessage);
  EXPECT_EQ(records[0].count, 0u);
  for (size_t i = 1; i <= 4; ++i) {
    EXPECT_EQ(records[i].kind, kLogExclusion);
    EXPECT_EQ(records[i].count, 1u);
    EXPECT_EQ(records[i].size, 0u);
  }
  EXPECT_EQ(records[5].kind, kLogCompletion);
  EXPECT_EQ(records[5].count, 12u);
  EXPECT_EQ(records[5].size, 3456u);
  EXPECT_EQ(records[6].count, 3u);
  EXPECT_NE(records[6].time, 0u);

  ASSERT_TRUE(clearLog());
  EXPECT_EQ(readFile(wd.file("logg.bin")), bufferFile(le32(0)));
  ASSERT_TRUE(loadLog(&records));
  EXPECT_TRUE(records.empty());
}

TEST(CopyLog, MissingLogIsEmptyButABrokenOneIsNeverDestroyed) {
  WorkingFolder wd;
  std::vector<CopyLogRecord> records;
  EXPECT_TRUE(loadLog(&records));
  EXPECT_TRUE(records.empty());

  const std::vector<std::string> broken = {
      "xy",                                       // shorter than its length field
      bufferFile(le32(2) + std::string(22, 0)),   // announces two records, holds one
      bufferFile(le32(0) + "trailing"),           // bytes after the last record
      bufferFile(le32(0xFFFFFFFF)),               // a count no file could hold
      le32(50) + le32(0),                         // a length longer than the file
      bufferFile(le32(1) + std::string(18, 0) + le32(100) + "short"),  // text cut off
  };
  for (size_t i = 0; i < broken.size(); ++i) {
    writeFile(wd.file("logg.bin"), broken[i]);
    EXPECT_FALSE(loadLog(&records)) << i;
    EXPECT_TRUE(records.empty());
    appendLog(kLogMessage, 100 + static_cast<uint32_t>(i), 0, 0, "new");
    ASSERT_TRUE(loadLog(&records)) << i;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].time, 100 + i);
  }
  // Every broken log is still there, byte for byte, under its own name.
  std::vector<std::string> kept = filesStartingWith(wd.path(), "logg_unreadable_");
  ASSERT_EQ(kept.size(), broken.size());
  std::vector<std::string> contents;
  for (const std::string& name : kept) contents.push_back(readFile(wd.file(name)));
  for (const std::string& original : broken) {
    EXPECT_NE(std::find(contents.begin(), contents.end(), original), contents.end());
  }
}

TEST(CopyLog, TwoProcessesAppendingAtOnceLoseNothing) {
  WorkingFolder wd;
  constexpr uint32_t kEach = 150;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  const uint32_t who = child == 0 ? 2 : 1;
  if (child == 0) {
    char c;
    if (::read(go[0], &c, 1) != 1) ::_exit(1);
  } else {
    ASSERT_EQ(::write(go[1], "g", 1), 1);
  }
  for (uint32_t i = 0; i < kEach; ++i) {
    appendLog(kLogMessage, who, i, 0, who == 1 ? "interactive" : "background");
  }
  if (child == 0) ::_exit(0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(go[0]);
  ::close(go[1]);

  std::vector<CopyLogRecord> records;
  ASSERT_TRUE(loadLog(&records));
  ASSERT_EQ(records.size(), 2 * kEach);
  uint32_t next[3] = {0, 0, 0};
  for (const CopyLogRecord& record : records) {
    ASSERT_TRUE(record.time == 1 || record.time == 2);
    // Each writer's records appear in the order it wrote them.
    EXPECT_EQ(record.count, next[record.time]++);
  }
  EXPECT_EQ(next[1], kEach);
  EXPECT_EQ(next[2], kEach);
}

// One message record as the file holds it.
std::string messageRecord(uint32_t time, const std::string& text) {
  return le16(kLogMessage) + le32(time) + le32(0) + le32(0) + le32(0) +
         le32(static_cast<uint32_t>(text.size())) + text;
}

ino_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Descriptors used up for as long as it lives, all but `spare` of them.
class DescriptorsUsedUp {
 public:
  explicit DescriptorsUsedUp(int spare) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    struct rlimit low = saved_;
    low.rlim_cur = 64;  // quick to exhaust
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
    for (int i = 0; i < spare && !taken_.empty(); ++i) {
      ::close(taken_.back());
      taken_.pop_back();
    }
  }
  ~DescriptorsUsedUp() {
    for (int fd : taken_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  struct rlimit saved_ {};
  std::vector<int> taken_;
};

// No descriptor left (none at all, or one for the lock and none for the log
// itself) says nothing about the log: it stays as it is, the append reports
// the failure, and the record goes out with the next write that works.
TEST(CopyLog, ALogThatCannotBeOpenedNowIsKeptAndTheAppendFails) {
  WorkingFolder wd;
  ASSERT_TRUE(appendLog(kLogMessage, 1, 0, 0, "history"));
  const std::string before = readFile(wd.file("logg.bin"));
  for (int spare : {0, 1}) {
    bool appended = true;
    {
      DescriptorsUsedUp used_up(spare);
      appended = appendLog(kLogMessage, 10 + static_cast<uint32_t>(spare), 0, 0, "during");
    }
    EXPECT_FALSE(appended) << spare;
    EXPECT_EQ(readFile(wd.file("logg.bin")), before) << spare;
    EXPECT_TRUE(filesStartingWith(wd.path(), "logg_unreadable_").empty()) << spare;
  }
  std::vector<CopyLogRecord> records;
  ASSERT_TRUE(loadLog(&records));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].textView(), "history");
  EXPECT_EQ(records[1].time, 10u);
  EXPECT_EQ(records[2].time, 11u);
}

// An append writes its records after the last one and then the head that
// takes them in, so the file is never rewritten. Bytes past the buffer are
// what a crash between the two left: not part of the log, and overwritten.
TEST(CopyLog, AppendsGoInPlaceOverWhatAnUnfinishedAppendLeft) {
  WorkingFolder wd;
  const std::string path = wd.file("logg.bin");
  ASSERT_TRUE(appendLog(kLogMessage, 1, 0, 0, "one"));
  const ino_t inode = inodeOf(path);
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    const std::string torn(300, 'x');
    ASSERT_EQ(::write(fd, torn.data(), torn.size()), static_cast<ssize_t>(torn.size()));
    ::close(fd);
  }
  std::vector<CopyLogRecord> records;
  ASSERT_TRUE(loadLog(&records));
  EXPECT_EQ(records.size(), 1u) << "the unfinished append is not part of the log";

  ASSERT_TRUE(appendLog(kLogMessage, 2, 0, 0, "two"));
  EXPECT_EQ(inodeOf(path), inode) << "the whole log was rewritten";
  EXPECT_EQ(readFile(path),
            bufferFile(le32(2) + messageRecord(1, "one") + messageRecord(2, "two")));
  EXPECT_TRUE(filesStartingWith(wd.path(), "logg_unreadable_").empty());
}

// Exclusions may be gathered, but never past a record that is not one, nor
// past the normal end of the process.
TEST(CopyLog, ExclusionsAreWrittenBeforeTheNextMessageAndAtExit) {
  WorkingFolder wd;
  const LogContext english{1};
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    logExclusion(english, "/a", kExcludedUnreadableFile);
    logExclusion(english, "/b", kExcludedUnreadableFile);
    std::exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  logExclusion(english, "/c", kExcludedUnreadableFile);
  ASSERT_TRUE(logInLanguage(english, "Fel: x", "Error: x"));
  // Read behind the writer's back: everything is in the file already.
  ByteBuffer stored;
  ASSERT_TRUE(stored.loadFromFile(wd.file("logg.bin")));
  std::vector<CopyLogRecord> records;
  ASSERT_TRUE(parseCopyLog(stored, &records));
  std::vector<std::string> texts;
  for (const auto& record : records) texts.emplace_back(record.textView());
  EXPECT_EQ(texts, (std::vector<std::string>{"File excluded from copy: /a",
                                             "File excluded from copy: /b",
                                             "File excluded from copy: /c", "Error: x"}));
}

// A log left by a run as another user, that we may read but not write, is
// still appended to, by replacing it as a whole.
TEST(CopyLog, ALogWeMayNotWriteIsReplacedWhole) {
  WorkingFolder wd;
  test::writeFile(wd.file("logg.bin"), bufferFile(le32(1) + messageRecord(1, "one")));
  test::openToEveryone(wd.path());
  ASSERT_EQ(::chmod(wd.file("logg.bin").c_str(), 0444), 0);
  auto appended = test::runUnprivileged(
      [] { return appendLog(kLogMessage, 2, 0, 0, "two") ? std::string("yes") : "no"; });
  ASSERT_TRUE(appended.has_value());
  EXPECT_EQ(*appended, "yes");
  EXPECT_EQ(readFile(wd.file("logg.bin")),
            bufferFile(le32(2) + messageRecord(1, "one") + messageRecord(2, "two")));
}

TEST(RemoteLogFile, BuiltFromTheKeyFiles) {
  WorkingFolder wd;
  const std::string key(32, '\x5A');
  writeFile(wd.file("logg_key.bin"), bufferFile(le32(32) + key));
  // A local key record: type 101, version 0, user number, then the rest.
  writeFile(wd.file("local_key.bin"), bufferFile(le16(101) + le16(0) + le32(4711) + "rest"));
  const mode_t previous = ::umask(022);
  ASSERT_TRUE(saveRemoteLogFile(wd.file("out.rlf")));
  ::umask(previous);
  EXPECT_EQ(readFile(wd.file("out.rlf")), bufferFile(le16(0) + le32(4711) + le32(32) + key));
  struct stat st {};
  ASSERT_EQ(::stat(wd.file("out.rlf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds the log key";

  // Wrong record type or version, or no log key: nothing is written.
  writeFile(wd.file("local_key.bin"), bufferFile(le16(101) + le16(1) + le32(4711)));
  EXPECT_FALSE(saveRemoteLogFile(wd.file("bad.rlf")));
  writeFile(wd.file("local_key.bin"), bufferFile(le16(102) + le16(0) + le32(4711)));
  EXPECT_FALSE(saveRemoteLogFile(wd.file("bad.rlf")));
  writeFile(wd.file("local_key.bin"), bufferFile(le16(101) + le16(0) + le32(4711)));
  ASSERT_EQ(::unlink(wd.file("logg_key.bin").c_str()), 0);
  EXPECT_FALSE(saveRemoteLogFile(wd.file("bad.rlf")));
  EXPECT_EQ(::access(wd.file("bad.rlf").c_str(), F_OK), -1);
}

}  // namespace
}  // namespace vl
