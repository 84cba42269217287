// vl_client as the scheduled task runs it: "vl_client backup" in a home
// folder of its own, judged by its exit code and what it left in the copy
// log of its working directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "core/folders_file.h"
#include "core/state_files.h"
#include "engine/copy_log.h"
#include "platform/exclusive_file.h"
#include "support/temp_dir.h"

extern char** environ;

namespace vl {
namespace {

class VlClientTest : public ::testing::Test {
 protected:
  std::string workingDirectory() const { return home_.path() + "/.local/share/VL_wd"; }
  std::string stateFile(const std::string& name) const { return workingDirectory() + "/" + name; }

  // Runs vl_client with `args` and this test's home folder; the exit code.
  // Standard error goes to `stderr_text`.
  int run(const std::vector<std::string>& args, const std::string& data_home = "") {
    std::vector<std::string> env_text = {"HOME=" + home_.path(), "PATH=/usr/bin:/bin"};
    if (!data_home.empty()) env_text.push_back("XDG_DATA_HOME=" + data_home);
    // Sanitizer settings of the test run carry over to the program.
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("ASAN_", 0) == 0 || std::string(*e).rfind("UBSAN_", 0) == 0) {
        env_text.push_back(*e);
      }
    }
    std::vector<char*> argv = {const_cast<char*>(VL_CLIENT_PATH)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : env_text) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const std::string errors = home_.file("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t child = 0;
    int spawned = ::posix_spawn(&child, VL_CLIENT_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    ::waitpid(child, &status, 0);
    stderr_text = test::readFile(errors);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The texts of the copy log, oldest first.
  std::vector<std::string> logTexts() {
    ByteBuffer stored;
    std::vector<CopyLogRecord> records;
    std::vector<std::string> texts;
    if (!stored.loadFromFile(stateFile("logg.bin"))) return texts;
    EXPECT_TRUE(parseCopyLog(stored, &records));
    for (const auto& record : records) {
      EXPECT_EQ(record.kind, kLogMessage);
      texts.emplace_back(record.textView());
    }
    return texts;
  }

  void prepareAccount() {
    ASSERT_EQ(::mkdir((home_.path() + "/.local").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((home_.path() + "/.local/share").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(workingDirectory().c_str(), 0700), 0);
    ASSERT_TRUE(ByteBuffer(std::string_view("key material")).saveToFile(stateFile("local_key.bin")));
  }

  std::string makeFolder(const std::string& name) {
    std::string path = home_.file(name);
    EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
    return path;
  }

  // `count` empty files in `folder`, in sub-folders of 1000.
  static void makeEmptyFiles(const std::string& folder, uint32_t count, const std::string& tag) {
    std::string sub;
    for (uint32_t i = 0; i < count; ++i) {
      if (i % 1000 == 0) {
        sub = folder + "/" + tag + std::to_string(i / 1000);
        ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
      }
      int fd = ::open((sub + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
  }

  test::TempDir home_;
  std::string stderr_text;
};

TEST_F(VlClientTest, NoAccountWritesTheDefaultSelectionAndEnds102) {
  // Only the known folders that exist are selected: this system has no
  // Documents folder.
  const std::string music = makeFolder("Music");
  const std::string pictures = makeFolder("Pictures");
  const std::string desktop = makeFolder("Desktop");
  EXPECT_EQ(run({"backup"}), 102);
  EXPECT_EQ(readFolderSelection(stateFile("folders.bin")),
            (std::vector<std::string>{music, pictures, desktop}));
  EXPECT_EQ(logTexts(),
            std::vector<std::string>{"Fel: Hittade ingen användare/krypteringsnyckel på systemet."});
  // Shutdown left the lock free and the record saying that nobody runs.
  EXPECT_EQ(readGuiOn(stateFile("gui_on.bin")), 0u);
  EXPECT_TRUE(ExclusiveFile().create(stateFile("file_mutex")));
  struct stat info {};
  ASSERT_EQ(::stat(workingDirectory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u) << "the working directory holds key material";
}

TEST_F(VlClientTest, EmptySelectionEnds107) {
  prepareAccount();
  ASSERT_TRUE(writeFolderSelection({}, stateFile("folders.bin")));
  EXPECT_EQ(run({"backup"}), 107);
  EXPECT_EQ(logTexts(), std::vector<std::string>{"Fel: Inga mappar valda för säkerhetskopiering."});

  // A missing "folders.bin" is no selection either.
  ::unlink(stateFile("folders.bin").c_str());
  EXPECT_EQ(run({"backup"}), 107);
  EXPECT_EQ(logTexts().size(), 2u);
}

TEST_F(VlClientTest, MeasuredSelectionWithoutABackupOperationEnds111) {
  prepareAccount();
  std::string photos = makeFolder("Foton");
  test::writeFile(photos + "/a.jpg", "jpeg");
  // A folder that no longer exists is skipped, not a reason to stop.
  ASSERT_TRUE(writeFolderSelection({photos, home_.file("gone")}, stateFile("folders.bin")));
  EXPECT_EQ(run({"backup"}), 111);
  EXPECT_EQ(logTexts(), std::vector<std::string>{"Fel: Kunde inte starta kopieringen."});
}

TEST_F(VlClientTest, MoreThan250000FilesEnds110) {
  // Exactly 250 000 files are allowed; one more, in another selected folder,
  // is too many. The files live in memory when the machine offers a tmpfs:
  // on a busy disk creating them takes minutes.
  prepareAccount();
  std::string root = home_.file("many");
  if (::access("/dev/shm", W_OK) == 0) {
    root = "/dev/shm/vl_client_test." + std::to_string(::getpid());
    std::filesystem::remove_all(root);
  }
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  struct RemoveTree {
    std::string path;
    ~RemoveTree() { std::filesystem::remove_all(path); }
  } remove_tree{root};
  std::string big = root + "/big";
  std::string small = root + "/small";
  ASSERT_EQ(::mkdir(big.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
  makeEmptyFiles(big, 250000, "d");
  ASSERT_TRUE(writeFolderSelection({big, small}, stateFile("folders.bin")));
  EXPECT_EQ(run({"backup"}), 111);
  test::writeFile(small + "/one-more", "");
  EXPECT_EQ(run({"backup"}), 110);
  EXPECT_EQ(logTexts(),
            (std::vector<std::string>{
                "Fel: Kunde inte starta kopieringen.",
                "Fel: Maximalt antal filer i säkerhetskopian (250 000 st) har överskridits."}));
}

TEST_F(VlClientTest, SecondRunIsRefusedWhileTheLockIsHeld) {
  prepareAccount();
  ExclusiveFile other;
  ASSERT_TRUE(other.create(stateFile("file_mutex")));

  ASSERT_TRUE(writeGuiOn(0, stateFile("gui_on.bin")));  // another background run
  EXPECT_EQ(run({"backup"}), 101);
  EXPECT_TRUE(logTexts().empty());

  ASSERT_TRUE(writeGuiOn(1, stateFile("gui_on.bin")));  // the interactive program
  EXPECT_EQ(run({"backup"}), 101);
  EXPECT_EQ(logTexts(), std::vector<std::string>{
                            "Fel: Kunde inte starta kopiering eftersom programmet redan kör."});
  EXPECT_EQ(readGuiOn(stateFile("gui_on.bin")), 1u) << "the holder's record was overwritten";

  other.close();
  EXPECT_EQ(run({"backup"}), 107);
}

// A lock file that cannot be used is no other instance: the run says why in
// the copy log and ends with its own code, instead of ending silently.
TEST_F(VlClientTest, UnusableLockFileEnds114WithTheReasonInTheLog) {
  prepareAccount();
  ASSERT_EQ(::mkdir(stateFile("file_mutex").c_str(), 0700), 0);  // stops root too
  EXPECT_EQ(run({"backup"}), 114);
  EXPECT_EQ(logTexts(), std::vector<std::string>{"Fel: Kunde inte låsa filen \"file_mutex\" i "
                                                 "arbetsmappen (" +
                                                 std::string(std::strerror(EISDIR)) + ")."});
}

// A working directory that an older version (or the user) left open to
// others is closed at start, and the key material written into it is
// owner-only under the usual umask; what a crash left of a save is removed.
TEST_F(VlClientTest, TheWorkingDirectoryAndItsFilesAreOwnerOnly) {
  ASSERT_EQ(::mkdir((home_.path() + "/.local").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((home_.path() + "/.local/share").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(workingDirectory().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(workingDirectory().c_str(), 0755), 0);
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  const std::string leftover = stateFile("local_key.bin.tmp" + std::to_string(dead) + "_0");
  test::writeFile(leftover, "private key");

  const mode_t previous = ::umask(022);
  EXPECT_EQ(run({"backup"}), 102);
  ::umask(previous);

  struct stat info {};
  ASSERT_EQ(::stat(workingDirectory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_NE(::access(leftover.c_str(), F_OK), 0) << "the crash leftover is still there";
  // Every state file; the lock files hold nothing.
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(workingDirectory())) {
    const std::string name = entry.path().filename().string();
    if (name == "file_mutex" || name == "logg.lock") continue;
    ASSERT_EQ(::stat(entry.path().c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    ++checked;
  }
  EXPECT_GE(checked, 3);  // folders.bin, gui_on.bin, logg.bin at least
}

TEST_F(VlClientTest, OnlyTheWholeCommandLineChoosesTheMode) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"backup", "now"}, {"-backup"}, {"backup "}, {"bAckup"}, {}}) {
    EXPECT_EQ(run(args), 0);
    EXPECT_NE(stderr_text.find("interactive program"), std::string::npos) << stderr_text;
  }
  EXPECT_TRUE(logTexts().empty());
  EXPECT_EQ(run({"BACKUP"}), 102);
  EXPECT_EQ(run({"Backup"}), 102);
}

TEST_F(VlClientTest, UnusableWorkingDirectoryEnds112) {
  test::writeFile(home_.file("not-a-folder"), "");
  EXPECT_EQ(run({"backup"}, home_.file("not-a-folder/data")), 112);
  EXPECT_NE(stderr_text.find("Kunde inte initiera BackupSystem! Kod: 1"), std::string::npos)
      << stderr_text;
}

}  // namespace
}  // namespace vl
