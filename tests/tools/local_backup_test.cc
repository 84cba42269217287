// vltool local backup end to end: real folders, a store and account keys in
// temporary folders, and every stored file opened again with the keys.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "crypto/account_keys.h"
#include "crypto/key_files.h"
#include "crypto/rsa_key.h"
#include "crypto/sha256.h"
#include "engine/backup_engine.h"
#include "model/list_payload.h"
#include "model/list_record.h"
#include "model/section_record.h"
#include "model/utf16.h"
#include "platform/os_random.h"
#include "server/store/copy_store.h"
#include "support/temp_dir.h"
#include "tests/tools/vltool_path.h"

namespace vl {
namespace {

using test::TempDir;
using test::writeFile;

constexpr size_t kSection = 2097152;

using test::vltoolPath;

std::string bytesFrom(uint32_t seed, size_t length) {
  std::string bytes(length, '\0');
  uint32_t x = seed | 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  return bytes;
}

std::unique_ptr<RandomPool> creditedPool() {
  auto pool = std::make_unique<RandomPool>();
  uint8_t seed[RandomPool::kSeedSize];
  if (!osRandomBytes(seed, sizeof seed)) return nullptr;
  pool->addBytes(std::span<const uint8_t>(seed, sizeof seed), true);
  return pool;
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

class LocalBackupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new TempDir();
    std::unique_ptr<RandomPool> pool = creditedPool();
    AccountKeys account;
    ASSERT_TRUE(pool && makeAccountKeys(pool.get(), &account));
    ASSERT_TRUE(writeLocalKey(keys_->file(kLocalKeyFile), 1, account.localKey,
                              account.encryptionKey, account.signingKey));
    localKey_ = new ByteBuffer(account.localKey);
    privateKey_ = new RsaKey();
    ASSERT_TRUE(privateKey_->load(account.encryptionKey.span(), true, RsaKey::kBits,
                                  RsaKeyKind::kEncryption, pool.get()));
  }
  static void TearDownTestSuite() {
    delete keys_;
    delete localKey_;
    delete privateKey_;
  }

  void SetUp() override {
    ASSERT_TRUE(test::vltoolBuilt());
    tree = dir.file("tree");
    store = dir.file("store");
    work = dir.file("wd");
    std::filesystem::create_directories(tree);
    std::filesystem::create_directories(work);
  }

  ToolRun backup(const std::string& options = "") {
    ToolRun run;
    const std::string command = "cd '" + work + "' && '" + vltoolPath() + "' local backup --store '" +
                                store + "' --keys '" + keys_->path() + "' " + options + " '" +
                                tree + "' >'" + dir.file("out") + "' 2>'" + dir.file("err") + "'";
    int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = test::readFile(dir.file("out"));
    run.err = test::readFile(dir.file("err"));
    return run;
  }

  // Every file of the latest copy, opened from the store with the keys.
  std::map<std::string, std::string> latestCopy() {
    std::map<std::string, std::string> files;
    std::optional<CopyStore> opened = CopyStore::openForReading(store);
    std::optional<ByteBuffer> record = opened->getList(*opened->latestCopy());
    EXPECT_TRUE(record);
    if (!record) return files;
    std::optional<ByteBuffer> payload = openList(record->span(), localKey_->span());
    EXPECT_TRUE(payload);
    std::optional<FileList> list = parseList(payload->span());
    EXPECT_TRUE(list);
    if (!list) return files;
    for (const FileListEntry& entry : list->entries()) {
      if (entry.isFolder) continue;
      std::string content;
      for (const ListSection& section : entry.sections) {
        std::optional<ByteBuffer> sealed = opened->getSection(section.number);
        std::optional<ByteBuffer> plain;
        if (sealed) plain = openSection(sealed->span(), localKey_->span(), *privateKey_);
        EXPECT_TRUE(plain) << "section " << section.number;
        if (plain) content.append(reinterpret_cast<const char*>(plain->data()), plain->size());
      }
      ByteBuffer hash = sha256(std::span<const uint8_t>(
          reinterpret_cast<const uint8_t*>(content.data()), content.size()));
      EXPECT_TRUE(std::equal(hash.span().begin(), hash.span().end(),
                             entry.contentHash.bytes().begin(), entry.contentHash.bytes().end()));
      files[*utf16ToUtf8(entry.name)] = content;
    }
    return files;
  }

  static TempDir* keys_;
  static ByteBuffer* localKey_;
  static RsaKey* privateKey_;
  TempDir dir;
  std::string tree, store, work;
};

TempDir* LocalBackupTest::keys_ = nullptr;
ByteBuffer* LocalBackupTest::localKey_ = nullptr;
RsaKey* LocalBackupTest::privateKey_ = nullptr;

TEST_F(LocalBackupTest, CopiesATreeAndReusesItTheNextTime) {
  std::filesystem::create_directories(tree + "/a/b/c");
  std::filesystem::create_directories(tree + "/tom");
  writeFile(tree + "/a/b/c/djup.txt", std::string(3000, 'x'));
  writeFile(tree + "/tomt", "");
  writeFile(tree + "/a/exakt", bytesFrom(1, kSection));
  writeFile(tree + "/a/över", bytesFrom(2, kSection + 1));
  writeFile(tree + "/tvilling1", bytesFrom(3, 9000));
  writeFile(tree + "/a/tvilling2", bytesFrom(3, 9000));
  writeFile(tree + "/ångström ☃", "unicode");

  ToolRun first = backup();
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("num_new_files = 5\n"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("num_file_reuse_dedup_restart = 1\n"), std::string::npos);
  EXPECT_NE(first.out.find("copy 1: 7 files"), std::string::npos) << first.out;
  std::map<std::string, std::string> files = latestCopy();
  EXPECT_EQ(files.size(), 7u);
  EXPECT_EQ(files["\\tree\\a\\över"], bytesFrom(2, kSection + 1));
  EXPECT_EQ(files["\\tree\\a\\exakt"], bytesFrom(1, kSection));
  EXPECT_EQ(files["\\tree\\a\\tvilling2"], bytesFrom(3, 9000));
  EXPECT_EQ(files["\\tree\\ångström ☃"], "unicode");
  EXPECT_EQ(files["\\tree\\tomt"], "");
  EXPECT_EQ(test::readFile(work + "/stats.txt").substr(0, 10), "Statistik ");

  ToolRun unchanged = backup();
  ASSERT_EQ(unchanged.status, 0) << unchanged.err;
  EXPECT_NE(unchanged.out.find("num_name_reuse_files = 7\n"), std::string::npos) << unchanged.out;
  EXPECT_NE(unchanged.out.find("copy 2: 7 files, 4215312 bytes, 0 sections stored"),
            std::string::npos)
      << unchanged.out;

  std::string changed = bytesFrom(2, kSection + 1);
  changed[kSection] ^= 1;
  writeFile(tree + "/a/över", changed);
  ToolRun third = backup("--content-compare");
  ASSERT_EQ(third.status, 0) << third.err;
  EXPECT_NE(third.out.find("num_reuse_prev_copy = 5\n"), std::string::npos) << third.out;
  EXPECT_NE(third.out.find("num_section_reuse = 1\n"), std::string::npos);
  EXPECT_NE(third.out.find("num_section_write = 1\n"), std::string::npos);
  EXPECT_EQ(latestCopy()["\\tree\\a\\över"], changed);
}

TEST_F(LocalBackupTest, ResumesTheCopyAnInterruptedRunLeft) {
  for (int i = 0; i < 6; ++i) writeFile(tree + "/f" + std::to_string(i), bytesFrom(10 + i, 5000));
  {
    // An attempt that stored three sections and then stopped.
    std::optional<CopyStore> opened = CopyStore::open(store);
    std::unique_ptr<RandomPool> pool = creditedPool();
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(work);
    struct Back {
      std::filesystem::path to;
      ~Back() { std::filesystem::current_path(to); }
    } back{before};
    std::atomic<uint8_t> cancel{0};
    BackupEngineOptions options;
    options.folders = {tree};
    options.cancel = &cancel;
    options.restartSaveSeconds = 0;
    BackupEngine engine(options);
    for (int i = 0; i < 3; ++i) {
      ByteBuffer section;
      uint32_t id = 0;
      bool finished = false;
      std::string path;
      ASSERT_TRUE(engine.nextSection(&section, &id, &finished, &path));
      SectionStats stats;
      ASSERT_TRUE(opened->putSection(
          id, sealSection(section.span(), localKey_->span(), *privateKey_, true, *pool, &stats)));
    }
  }
  ToolRun resumed = backup();
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find("resuming"), std::string::npos) << resumed.err;
  EXPECT_NE(resumed.out.find("num_restarted_name_reuse_files = 2\n"), std::string::npos)
      << resumed.out;
  EXPECT_NE(resumed.out.find("num_read_files = 4\n"), std::string::npos);
  EXPECT_EQ(latestCopy().size(), 6u);
  RestartState after;
  EXPECT_EQ(loadRestartState(&after, work + "/restart.bin"), RestartLoad::kNothing);
}

TEST_F(LocalBackupTest, RestartStateNamingSectionsTheStoreLacksIsNotResumed) {
  writeFile(tree + "/only", "content");
  RestartState foreign;
  foreign.nextSectionId = 500;
  RestartRecord record;
  record.fullPath = *utf8ToUtf16(tree + "/only");
  ByteBuffer hash = sha256(ByteBuffer(std::string_view("content")));
  record.contentHash = *ListHash::from(hash.span());
  record.sections.push_back({499, record.contentHash});
  ASSERT_TRUE(foreign.add(std::move(record)));
  ASSERT_TRUE(foreign.save(work + "/restart.bin"));

  ToolRun run = backup();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("making a fresh copy"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("num_restarted_name_reuse_files = 0\n"), std::string::npos);
  EXPECT_EQ(latestCopy()["\\tree\\only"], "content");
}

TEST_F(LocalBackupTest, ASecondWriterOfTheStoreIsRefusedWithAClearMessage) {
  writeFile(tree + "/f", "x");
  {
    // Another backup (or the server) has the store open for writing.
    std::optional<CopyStore> holder = CopyStore::open(store);
    ASSERT_TRUE(holder);
    ToolRun refused = backup();
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("is in use by another backup"), std::string::npos) << refused.err;
    EXPECT_EQ(holder->latestCopy(), 0u);
  }
  ToolRun run = backup();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(latestCopy()["\\tree\\f"], "x");
}

TEST_F(LocalBackupTest, RefusesWhatItCannotUse) {
  writeFile(tree + "/f", "x");
  EXPECT_EQ(backup("--bogus").status, 2);
  ToolRun notAFolder = backup("'" + tree + "/f'");
  EXPECT_EQ(notAFolder.status, 1);
  EXPECT_NE(notAFolder.err.find("is not a folder"), std::string::npos);
}

}  // namespace
}  // namespace vl
