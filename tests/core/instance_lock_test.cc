// The single-instance check as a second start meets it: who holds the lock
// decides between bringing a window forward, waiting for a background copy,
// logging, and refusing silently.
#include "core/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/state_files.h"
#include "platform/exclusive_file.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

// Runs each test inside a fresh folder, as the client runs inside its
// working directory.
class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char here[4096];
    ASSERT_NE(::getcwd(here, sizeof here), nullptr);
    previous_ = here;
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { (void)!::chdir(previous_.c_str()); }

  std::vector<std::string> logTexts() {
    std::vector<CopyLogRecord> records;
    EXPECT_TRUE(loadLog(&records));
    std::vector<std::string> texts;
    for (const auto& record : records) texts.emplace_back(record.textView());
    return texts;
  }

  test::TempDir dir_;
  std::string previous_;
};

class FakeWindows : public InstanceWindows, public MessageBoxUi {
 public:
  MessageBoxUi& messageBoxes() override { return *this; }
  void show(std::string_view, std::string_view text, MessageBoxIcon) override {
    shown.emplace_back(text);
  }
  int waitForBackgroundCopy() override {
    ++waits;
    if (on_wait) on_wait();
    return wait_answer;
  }
  void bringWindowForward(uint32_t handle) override { brought.push_back(handle); }

  std::vector<std::string> shown;
  std::vector<uint32_t> brought;
  int waits = 0;
  int wait_answer = 0;
  std::function<void()> on_wait;
};

TEST_F(InstanceLockTest, FirstStartRecordsItsMode) {
  InstanceLock background;
  ASSERT_EQ(background.acquire(nullptr, LogContext{}), InstanceStart::kTaken);
  EXPECT_EQ(readGuiOn(), 0u);
  background.release();

  FakeWindows windows;
  InstanceLock interactive;
  ASSERT_EQ(interactive.acquire(&windows, LogContext{}), InstanceStart::kTaken);
  EXPECT_EQ(readGuiOn(), 1u);
  interactive.release();
  EXPECT_EQ(readGuiOn(), 0u);
  EXPECT_TRUE(ExclusiveFile().create(kInstanceLockFile));
  EXPECT_TRUE(windows.shown.empty());
}

TEST_F(InstanceLockTest, BackgroundRunMeetingAnotherInstance) {
  ExclusiveFile other;
  ASSERT_TRUE(other.create(kInstanceLockFile));

  InstanceLock lock;
  EXPECT_EQ(lock.acquire(nullptr, LogContext{}), InstanceStart::kRefused);  // gui_on.bin missing
  writeGuiOn(0);
  // Another background run: refused silently.
  EXPECT_EQ(lock.acquire(nullptr, LogContext{}), InstanceStart::kRefused);
  writeGuiOn(1);
  // The interactive program: logged, in English.
  EXPECT_EQ(lock.acquire(nullptr, LogContext{1}), InstanceStart::kRefused);
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"Fel: Kunde inte läsa fil för gui_on-flagga.",
                                                  "Error: Copy process is already running."}));
  EXPECT_EQ(readGuiOn(), 1u) << "a refused start must not touch the holder's record";
}

TEST_F(InstanceLockTest, InteractiveStartMeetingTheInteractiveProgram) {
  ExclusiveFile other;
  ASSERT_TRUE(other.create(kInstanceLockFile));
  writeGuiOn(1);
  FakeWindows windows;
  InstanceLock lock;
  EXPECT_EQ(lock.acquire(&windows, LogContext{}), InstanceStart::kRefused);
  EXPECT_EQ(windows.shown, std::vector<std::string>{"Fel: Kunde inte läsa global fönster-fil."});

  writeWindowHandle(0x00c0ffee);
  EXPECT_EQ(lock.acquire(&windows, LogContext{}), InstanceStart::kRefused);
  EXPECT_EQ(windows.brought, std::vector<uint32_t>{0x00c0ffee});
  writeWindowHandle(0);
  EXPECT_EQ(lock.acquire(&windows, LogContext{}), InstanceStart::kRefused);
  EXPECT_EQ(windows.brought.size(), 1u) << "a zero handle names no window";
  EXPECT_EQ(windows.waits, 0);
}

TEST_F(InstanceLockTest, InteractiveStartWaitingForABackgroundCopy) {
  auto other = std::make_unique<ExclusiveFile>();
  ASSERT_TRUE(other->create(kInstanceLockFile));
  writeGuiOn(0);
  FakeWindows windows;
  InstanceLock lock;

  // The user gave up waiting.
  EXPECT_EQ(lock.acquire(&windows, LogContext{}), InstanceStart::kRefused);
  EXPECT_EQ(windows.waits, 1);
  EXPECT_TRUE(windows.shown.empty());

  windows.wait_answer = 1;  // finished, but the background run still holds the lock
  EXPECT_EQ(lock.acquire(&windows, LogContext{}), InstanceStart::kRefused);
  ASSERT_EQ(windows.shown.size(), 1u);
  EXPECT_EQ(windows.shown[0].rfind("Fel: Kunde inte starta programmet eftersom", 0), 0u);

  windows.on_wait = [&] { other.reset(); };  // the background run ends while we wait
  EXPECT_EQ(lock.acquire(&windows, LogContext{}), InstanceStart::kTaken);
  EXPECT_EQ(readGuiOn(), 1u);
}

// A "file_mutex" that cannot be used (here a folder in its place, which
// stops root too; a file left by a sudo run is another such case) is not
// another instance: the start fails with a message, logged when unattended.
TEST_F(InstanceLockTest, ALockFileThatCannotBeUsedIsAnErrorNotAnotherInstance) {
  ASSERT_EQ(::mkdir(kInstanceLockFile, 0700), 0);
  writeGuiOn(0);  // as a background run would have left it

  InstanceLock background;
  EXPECT_EQ(background.acquire(nullptr, LogContext{}), InstanceStart::kFailed);
  EXPECT_EQ(background.acquire(nullptr, LogContext{1}), InstanceStart::kFailed);
  EXPECT_FALSE(background.held());
  const std::string reason = " (" + std::string(std::strerror(EISDIR)) + ").";
  EXPECT_EQ(logTexts(), (std::vector<std::string>{
                            "Fel: Kunde inte låsa filen \"file_mutex\" i arbetsmappen" + reason,
                            "Error: Could not lock the file \"file_mutex\" in the working "
                            "directory" + reason}));

  FakeWindows windows;
  InstanceLock interactive;
  EXPECT_EQ(interactive.acquire(&windows, LogContext{}), InstanceStart::kFailed);
  EXPECT_EQ(windows.shown, std::vector<std::string>{
                               "Fel: Kunde inte låsa filen \"file_mutex\" i arbetsmappen" + reason});
  EXPECT_EQ(windows.waits, 0) << "nobody to wait for";
  EXPECT_EQ(logTexts().size(), 2u) << "an interactive failure is shown, not logged";
}

TEST_F(InstanceLockTest, TheNextHolderNeverSeesItsRecordOverwritten) {
  // A second process waits for the lock and, the moment it has it, reads
  // what the first holder left in "gui_on.bin": always 0, because the
  // first holder records that nobody runs before it lets go.
  // The waiter is forked before the lock is taken: a child would otherwise
  // share the holder's open file, and with it the lock.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t waiter = ::fork();
  if (waiter == 0) {
    char byte;
    (void)!::read(go[0], &byte, 1);
    ExclusiveFile lock;
    while (!lock.create(kInstanceLockFile)) {
    }
    ::_exit(static_cast<int>(readGuiOn().value_or(7)));
  }
  InstanceLock first;
  ASSERT_EQ(first.acquire(nullptr, LogContext{}), InstanceStart::kTaken);
  writeGuiOn(1);  // as if the interactive program held it
  (void)!::write(go[1], "g", 1);
  ::usleep(20000);
  first.release();
  ::close(go[0]);
  ::close(go[1]);
  int status = 0;
  ::waitpid(waiter, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vl
