// vltool local restore as a user runs it: copies made with vltool local
// backup come back bit for bit, wholly or in part; damaged stores and lists
// that would write outside the target stop the restore with a clear message.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "core/byte_buffer.h"
#include "crypto/key_files.h"
#include "crypto/random_pool.h"
#include "model/file_list.h"
#include "model/list_payload.h"
#include "model/list_record.h"
#include "platform/file_info.h"
#include "server/store/copy_store.h"
#include "engine/deep_tree.h"
#include "support/temp_dir.h"
#include "tests/tools/vltool_path.h"

namespace vl {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

struct ToolRun {
  int status;
  std::string output;
  std::string error;
};

// The account's key folder as `vltool keys generate` writes it, made once
// for all tests: key generation takes a while.
class KeyFolder {
 public:
  KeyFolder() {
    const std::string keys = dir_.file("keys");
    std::filesystem::create_directory(keys);
    int raw = std::system((std::string(VLTOOL_PATH) + " keys generate '" + keys + "' >/dev/null").c_str());
    LocalKeyRecord local;
    ok_ = WIFEXITED(raw) && WEXITSTATUS(raw) == 0 && readLocalKey(keys + "/" + kLocalKeyFile, &local);
    localKey_ = local.localKey;
  }
  bool ok() const { return ok_; }
  std::string path() const { return dir_.file("keys"); }
  const ByteBuffer& localKey() const { return localKey_; }

 private:
  test::TempDir dir_;
  bool ok_ = false;
  ByteBuffer localKey_;
};

KeyFolder* keyFolder = nullptr;

class LocalRestoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { keyFolder = new KeyFolder(); }
  static void TearDownTestSuite() {
    delete keyFolder;
    keyFolder = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(test::vltoolBuilt());
    ASSERT_TRUE(keyFolder->ok());
    fs::create_directories(source());
  }

  std::string source() const { return dir.file("home/src"); }
  std::string store() const { return dir.file("store"); }
  std::string target() const { return dir.file("target"); }

  // Runs vltool in the working folder `work` (or in `where`), as the client
  // runs in its own.
  ToolRun vltool(const std::string& arguments, std::string where = "") {
    const std::string work = where.empty() ? dir.file("work") : where;
    fs::create_directories(work);
    const std::string out = dir.file("stdout"), err = dir.file("stderr");
    int raw = std::system(("cd '" + work + "' && " + shellPrefix + VLTOOL_PATH " " + arguments + " >'" + out +
                           "' 2>'" + err + "'")
                              .c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(out), readFile(err)};
  }

  // A copy of `folder` (the source unless given), as named from `where`.
  ToolRun backup(const std::string& folder = "", const std::string& where = "") {
    return vltool("local backup --store '" + store() + "' --keys '" + keyFolder->path() + "' '" +
                      (folder.empty() ? source() : folder) + "'",
                  where);
  }

  ToolRun restore(const std::string& extra = "") {
    return vltool("local restore --store '" + store() + "' --keys '" + keyFolder->path() +
                  "' --to '" + target() + "' " + extra);
  }

  bool tempFolderLeft() const {
    for (const auto& entry : fs::directory_iterator(dir.file("work"))) {
      if (entry.path().filename().string().rfind("file_data_", 0) == 0) return true;
    }
    return false;
  }

  test::TempDir dir;
  // Put before vltool in the shell command ("ulimit -n 256 && ", say).
  std::string shellPrefix;
};

std::string bytesOf(size_t length, int seed) {
  std::string bytes(length, '\0');
  uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

// Every file below `root` by relative path, with its content, and every
// folder with an empty marker.
std::map<std::string, std::string> treeOf(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string relative = fs::relative(entry.path(), root).string();
    tree[relative] = entry.is_directory() ? "<folder>" : readFile(entry.path().string());
  }
  return tree;
}

FileTime mtimeOf(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return fileTimeFromUnix(info.st_mtim.tv_sec, static_cast<uint32_t>(info.st_mtim.tv_nsec));
}

TEST_F(LocalRestoreTest, AWholeCopyComesBackBitForBit) {
  fs::create_directories(source() + "/nested/deeper/deepest");
  fs::create_directories(source() + "/empty folder");
  writeFile(source() + "/empty.txt", "");
  writeFile(source() + "/nested/exact.bin", bytesOf(2097152, 1));
  writeFile(source() + "/nested/one-more.bin", bytesOf(2097153, 2));
  writeFile(source() + "/nested/deeper/twin-a.txt", bytesOf(5000, 3));
  writeFile(source() + "/nested/deeper/twin-b.txt", bytesOf(5000, 3));
  writeFile(source() + "/nested/deeper/deepest/R\xC3\xA4kning \xE6\x97\xA5\xE6\x9C\xAC.txt", "kr");
  writeFile(source() + "/zeros.bin", std::string(3 * 2097152 + 10, '\0'));
  fs::permissions(source() + "/nested/deeper/twin-b.txt", fs::perms::owner_read);
  ASSERT_EQ(backup().status, 0);

  // Records read in place from the store, or copied through the temporary
  // folder first: the same tree either way.
  for (const std::string mode : {"", "--temp-folder"}) {
    fs::remove_all(target());
    ToolRun run = restore(mode);
    ASSERT_EQ(run.status, 0) << mode << run.error;
    EXPECT_NE(run.output.find("7 files"), std::string::npos) << run.output;
    EXPECT_EQ(treeOf(target() + "/src"), treeOf(source())) << mode;
    EXPECT_EQ(mtimeOf(target() + "/src/nested/one-more.bin"),
              mtimeOf(source() + "/nested/one-more.bin"));
    EXPECT_EQ(mtimeOf(target() + "/src/nested/deeper"), mtimeOf(source() + "/nested/deeper"));
    EXPECT_EQ(fs::status(target() + "/src/nested/deeper/twin-b.txt").permissions() &
                  fs::perms::owner_write,
              fs::perms::none);
    EXPECT_FALSE(tempFolderLeft());
  }

  // A second restore into the same folder never replaces what is there.
  ToolRun again = restore();
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.error.find("Could not create restore-folder"), std::string::npos) << again.error;
}

TEST_F(LocalRestoreTest, ACopyOfADottedFolderNameRestoresUnderTheFoldersOwnName) {
  fs::create_directories(source() + "/sub");
  writeFile(source() + "/a.txt", "alpha");
  writeFile(source() + "/sub/b.txt", "beta");
  // vltool keeps its state files where it runs; when that is inside the
  // folder being copied they are in the copy too, with whatever they held
  // when read, so they are left out of the comparison.
  auto userFiles = [](std::map<std::string, std::string> tree) {
    std::erase_if(tree, [](const auto& item) {
      const std::string name = fs::path(item.first).filename().string();
      return name.ends_with(".bin") || name.ends_with(".lock") || name == "stats.txt";
    });
    return tree;
  };
  const std::map<std::string, std::string> expected = userFiles(treeOf(source()));
  struct Selected {
    std::string where;
    std::string folder;
  };
  const std::string home = dir.file("home");
  for (const Selected& selected : {Selected{source(), "."}, Selected{source() + "/sub", ".."},
                                   Selected{home, "src/."}, Selected{home, "src/../src"}}) {
    fs::remove_all(store());
    fs::remove_all(target());
    ToolRun made = backup(selected.folder, selected.where);
    ASSERT_EQ(made.status, 0) << selected.folder << made.error;
    ToolRun run = restore();
    ASSERT_EQ(run.status, 0) << selected.folder << run.error;
    EXPECT_EQ(userFiles(treeOf(target() + "/src")), expected) << selected.folder;
    for (const auto& entry : fs::directory_iterator(target())) {
      EXPECT_EQ(entry.path().filename(), "src") << selected.folder;
    }
  }
}

TEST_F(LocalRestoreTest, ACopyOfATreeDeeperThanAnyPathRestoresWhatACopyCanKeep) {
  // 3 000 levels, backed up by a vltool that may open only 256 files.
  const std::string deep = source() + "/deep";
  ASSERT_TRUE(test::makeDeepTree(deep));
  shellPrefix = "ulimit -n 256 && ";
  ToolRun made = backup();
  shellPrefix.clear();
  test::removeDeepTree(deep);
  ASSERT_EQ(made.status, 0) << made.error;
  EXPECT_NE(made.error.find("left out: " + deep + "/d/d"), std::string::npos) << made.error;
  ToolRun run = restore();
  ASSERT_EQ(run.status, 0) << run.error;

  // Every level whose file had a full path short enough is back, and
  // nothing deeper.
  std::string source_path = deep;
  std::string restored = target() + "/src/deep";
  int kept = 0;
  for (int level = 1; level <= test::kDeepTreeLevels; ++level) {
    source_path += "/d";
    restored += "/d";
    const bool fits = source_path.size() + 2 < 242;
    ASSERT_EQ(fs::exists(restored + "/f"), fits) << level;
    if (!fits) break;
    EXPECT_EQ(readFile(restored + "/f"), std::to_string(level));
    ++kept;
  }
  EXPECT_GT(kept, 50);
}

TEST_F(LocalRestoreTest, NamedEntriesComeBackWithTheFoldersThatHoldThem) {
  fs::create_directories(source() + "/a/b");
  fs::create_directories(source() + "/c");
  writeFile(source() + "/top.txt", "top");
  writeFile(source() + "/a/one.txt", "one");
  writeFile(source() + "/a/b/two.txt", "two");
  writeFile(source() + "/c/three.txt", "three");
  ASSERT_EQ(backup().status, 0);
  writeFile(source() + "/a/b/two.txt", "two, changed");
  ASSERT_EQ(backup().status, 0);

  ToolRun run = restore("--copy 1 '\\src\\a\\b' src/top.txt");
  ASSERT_EQ(run.status, 0) << run.error;
  EXPECT_EQ(treeOf(target()), (std::map<std::string, std::string>{
                                  {"src", "<folder>"},
                                  {"src/top.txt", "top"},
                                  {"src/a", "<folder>"},
                                  {"src/a/b", "<folder>"},
                                  {"src/a/b/two.txt", "two"}}));

  ToolRun missing = restore("'\\src\\nothing here'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.error.find("no entry named '\\src\\nothing here'"), std::string::npos)
      << missing.error;
}

TEST_F(LocalRestoreTest, DamagedRecordsStopTheRestoreWithAClearMessage) {
  writeFile(source() + "/a.txt", bytesOf(1000, 1));
  writeFile(source() + "/b.txt", bytesOf(1000, 2));
  writeFile(source() + "/c.txt", bytesOf(1000, 3));
  ASSERT_EQ(backup().status, 0);
  std::optional<CopyStore> copies = CopyStore::open(store());
  ASSERT_TRUE(copies.has_value());
  std::vector<uint32_t> sections = copies->sectionNumbers();
  ASSERT_EQ(sections.size(), 3u);

  // Which file a section belongs to is in the list; the second one is damaged.
  std::optional<ByteBuffer> payload =
      openList(copies->getList(*copies->latestCopy())->span(), keyFolder->localKey().span());
  ASSERT_TRUE(payload.has_value());
  std::optional<FileList> list = parseList(payload->span());
  ASSERT_TRUE(list.has_value());
  std::vector<std::string> files;
  uint32_t second = 0;
  for (const FileListEntry& entry : list->entries()) {
    if (!entry.isFile()) continue;
    if (files.size() == 1) second = entry.sections[0].number;
    files.push_back(std::string(entry.name.begin() + 5, entry.name.end()));  // after "\src\"
  }
  ASSERT_EQ(files.size(), 3u);
  const ByteBuffer original = *copies->getSection(second);

  for (bool truncate : {false, true}) {
    fs::remove_all(target());
    ByteBuffer damaged = original;
    if (truncate) {
      damaged.resize(damaged.size() - 40);
    } else {
      damaged[damaged.size() - 50] ^= 0x40;
    }
    ASSERT_TRUE(copies->putSection(second, damaged));
    ToolRun run = restore();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.error.find("Could not start decryption"), std::string::npos) << run.error;
    EXPECT_NE(run.error.find("section " + std::to_string(second)), std::string::npos) << run.error;
    EXPECT_EQ(readFile(target() + "/src/" + files[0]), readFile(source() + "/" + files[0]));
    EXPECT_FALSE(fs::exists(target() + "/src/" + files[2]));
    EXPECT_FALSE(tempFolderLeft());
  }
  ASSERT_TRUE(copies->putSection(second, original));

  // A damaged list record: nothing is written at all.
  fs::remove_all(target());
  ByteBuffer listRecord = *copies->getList(*copies->latestCopy());
  listRecord[listRecord.size() / 2] ^= 0x01;
  ASSERT_NE(copies->commitCopy(listRecord, {}), 0u);
  ToolRun run = restore();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.error.find("does not open"), std::string::npos) << run.error;
  EXPECT_FALSE(fs::exists(target() + "/src"));
}

TEST_F(LocalRestoreTest, AListThatPointsOutsideTheTargetIsRefused) {
  writeFile(source() + "/a.txt", "a");
  ASSERT_EQ(backup().status, 0);
  std::optional<CopyStore> copies = CopyStore::open(store());
  ASSERT_TRUE(copies.has_value());
  std::optional<ByteBuffer> payload =
      openList(copies->getList(*copies->latestCopy())->span(), keyFolder->localKey().span());
  ASSERT_TRUE(payload.has_value());
  std::optional<FileList> list = parseList(payload->span());
  ASSERT_TRUE(list.has_value());

  // The same file again under a name that climbs out of the target.
  FileList hostile = *list;
  FileListEntry escaping = list->entry(1);
  escaping.name = u"\\src\\..\\..\\escaped.txt";
  hostile.addEntry(escaping);
  RandomPool pool;
  uint8_t seed[32] = {9};
  pool.addBytes(seed, true);
  ByteBuffer hostilePayload = serializeList(hostile, 1);
  ByteBuffer record = sealList(hostilePayload.span(), keyFolder->localKey().span(), pool);
  ASSERT_NE(copies->commitCopy(record, {}), 0u);

  ToolRun run = restore();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.error.find("outside the restore folder"), std::string::npos) << run.error;
  EXPECT_NE(run.error.find("escaped.txt"), std::string::npos) << run.error;
  EXPECT_FALSE(fs::exists(dir.file("escaped.txt")));
  EXPECT_FALSE(fs::exists(target() + "/src"));
}

}  // namespace
}  // namespace vl
