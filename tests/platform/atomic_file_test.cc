// Whole-file saves: who may read what they leave on disk, during the write,
// after it and after a crash in the middle of it.
#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vl {
namespace {

mode_t accessOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 07777;
  return st.st_mode & 07777;
}

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Sets the umask for as long as it lives.
class Umask {
 public:
  explicit Umask(mode_t mask) : previous_(::umask(mask)) {}
  ~Umask() { ::umask(previous_); }

 private:
  mode_t previous_;
};

bool save(const std::string& path, const std::string& bytes) {
  AtomicFileWriter writer;
  return writer.open(path) && writer.write(bytes.data(), bytes.size()) && writer.commit();
}

// The files hold keys (the recovery file goes wherever the user saves it),
// so neither the temporary nor the file it becomes may be read by others,
// whatever the umask and whatever the replaced file allowed.
TEST(AtomicFileWriter, TemporaryAndResultAreOwnerOnlyUnderUmask022) {
  Umask umask(022);
  test::TempDir dir;
  const std::string target = dir.file("recovery.drf");

  AtomicFileWriter writer;
  ASSERT_TRUE(writer.open(target));
  ASSERT_TRUE(writer.write("secret", 6));
  const std::vector<std::string> during = namesIn(dir.path());
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(accessOf(dir.file(during[0])), 0600u) << during[0];
  ASSERT_TRUE(writer.commit());
  EXPECT_EQ(accessOf(target), 0600u);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"recovery.drf"});

  // Saving over a file the user had opened up does not keep it open.
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  ASSERT_TRUE(save(target, "new secret"));
  EXPECT_EQ(accessOf(target), 0600u);
  EXPECT_EQ(test::readFile(target), "new secret");
}

// A dead process id: a child that has already been waited for.
pid_t deadProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

TEST(AtomicFileWriter, StaleTemporariesOfDeadWritersAreRemoved) {
  test::TempDir dir;
  const std::string dead = std::to_string(deadProcess());
  const std::string alive = std::to_string(::getpid());
  const std::vector<std::string> removed = {"rand.bin.tmp" + dead + "_0",
                                            "local_key.bin.tmp" + dead + "_17"};
  const std::vector<std::string> kept = {
      "conf.bin.tmp" + alive + "_3",  // a save that is going on right now
      "notes.tmp",                    // not one of ours
      "a.tmp" + dead + "_x",
      "b.tmp" + dead,
      ".tmp" + dead + "_1",
      "logg.bin",
  };
  for (const auto& name : removed) test::writeFile(dir.file(name), "key");
  for (const auto& name : kept) test::writeFile(dir.file(name), "keep");
  ASSERT_EQ(::mkdir(dir.file("folder.tmp" + dead + "_2").c_str(), 0700), 0);

  EXPECT_EQ(removeStaleTemporaries(dir.path()), 2);
  std::vector<std::string> expected = kept;
  expected.push_back("folder.tmp" + dead + "_2");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(namesIn(dir.path()), expected);
  EXPECT_EQ(removeStaleTemporaries(dir.file("no such folder")), 0);
}

}  // namespace
}  // namespace vl
