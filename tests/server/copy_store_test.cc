#include "server/store/copy_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "support/temp_dir.h"

namespace vl {
namespace {

ByteBuffer bytes(std::string_view text) { return ByteBuffer(text); }

TEST(CopyStoreTest, SectionsRoundTripAndDrop) {
  test::TempDir dir;
  auto store = CopyStore::open(dir.file("store"));
  ASSERT_TRUE(store);
  EXPECT_FALSE(store->putSection(0, bytes("zero is never a section number")));
  ASSERT_TRUE(store->putSection(7, bytes("seven")));
  ASSERT_TRUE(store->putSection(12, bytes("")));            // an empty record is still a record
  ASSERT_TRUE(store->putSection(7, bytes("seven again")));  // a resend replaces
  EXPECT_EQ(store->sectionNumbers(), (std::vector<uint32_t>{7, 12}));
  EXPECT_EQ(*store->getSection(7), bytes("seven again"));
  EXPECT_TRUE(store->getSection(12)->empty());
  EXPECT_FALSE(store->getSection(8));
  EXPECT_TRUE(store->dropSection(7));
  EXPECT_TRUE(store->dropSection(7));
  EXPECT_FALSE(store->hasSection(7));
}

TEST(CopyStoreTest, CopyIsVisibleOnlyOnceItsListIsStored) {
  test::TempDir dir;
  auto store = CopyStore::open(dir.path());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->latestCopy(), 0u);
  // A run that fails after uploading leaves its sections and no copy.
  ASSERT_TRUE(store->putSection(1, bytes("a")));
  ASSERT_TRUE(store->putSection(2, bytes("b")));
  EXPECT_EQ(store->latestCopy(), 0u);
  // The next run reuses section 1; section 2 is reported orphaned and dropped.
  ASSERT_TRUE(store->putSection(3, bytes("c")));
  EXPECT_EQ(store->commitCopy(bytes("list one"), {2}), 1u);
  EXPECT_EQ(store->sectionNumbers(), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(store->commitCopy(bytes("list two"), {}), 2u);
  EXPECT_EQ(store->copyNumbers(), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(*store->getList(*store->latestCopy()), bytes("list two"));
  // Reopening sees the same state.
  auto again = CopyStore::openForReading(dir.path());
  EXPECT_EQ(*again->getList(1), bytes("list one"));
}

TEST(CopyStoreTest, OneWriterAtATimeAndReadersBesideIt) {
  test::TempDir dir;
  std::optional<CopyStore> writer = CopyStore::open(dir.path());
  ASSERT_TRUE(writer);
  StoreOpenError why = StoreOpenError::kNone;
  EXPECT_FALSE(CopyStore::open(dir.path(), &why));
  EXPECT_EQ(why, StoreOpenError::kLocked);
  // Another process is refused alike.
  EXPECT_EXIT(
      {
        StoreOpenError other = StoreOpenError::kNone;
        const bool opened = CopyStore::open(dir.path(), &other).has_value();
        std::_Exit(!opened && other == StoreOpenError::kLocked ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");

  // A reader changes nothing, and sees no copy committed after it opened:
  // it would not know that copy's sections.
  std::optional<CopyStore> reader = CopyStore::openForReading(dir.path());
  ASSERT_TRUE(reader);
  EXPECT_FALSE(reader->putSection(1, bytes("refused")));
  EXPECT_FALSE(reader->putSectionUnsynced(1, bytes("refused")));
  EXPECT_FALSE(reader->dropSection(1));
  EXPECT_FALSE(reader->syncSections());
  EXPECT_EQ(reader->commitCopy(bytes("refused"), {}), 0u);
  ASSERT_TRUE(writer->putSection(1, bytes("one")));
  EXPECT_EQ(writer->commitCopy(bytes("list"), {}), 1u);
  EXPECT_EQ(reader->latestCopy(), 0u);
  EXPECT_EQ(reader->copyNumbers(), std::vector<uint32_t>{});
  EXPECT_FALSE(reader->getList(1));
  std::optional<CopyStore> later = CopyStore::openForReading(dir.path());
  ASSERT_TRUE(later);
  EXPECT_EQ(later->latestCopy(), 1u);
  EXPECT_EQ(*later->getList(1), bytes("list"));
  EXPECT_EQ(*later->getSection(1), bytes("one"));

  // The lock goes with the last copy of the writer.
  std::optional<CopyStore> copy = writer;
  writer.reset();
  EXPECT_FALSE(CopyStore::open(dir.path()));
  copy.reset();
  std::optional<CopyStore> next = CopyStore::open(dir.path(), &why);
  ASSERT_TRUE(next);
  EXPECT_EQ(why, StoreOpenError::kNone);
  EXPECT_EQ(*next->getSection(1), bytes("one"));
  EXPECT_FALSE(CopyStore::openForReading(dir.file("nothing here")));
}

// Only another writer makes a store "locked"; a lock that cannot be taken
// for any other reason is a failure, so that no one waits for a writer
// that does not exist.
TEST(CopyStoreTest, ALockFileThatCannotBeUsedIsAFailureNotAnotherWriter) {
  test::TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("lock").c_str(), 0700), 0);
  StoreOpenError why = StoreOpenError::kNone;
  EXPECT_FALSE(CopyStore::open(dir.path(), &why));
  EXPECT_EQ(why, StoreOpenError::kFailed);
}

TEST(CopyStoreTest, CommitsAtOnceEachGetACopyOfTheirOwn) {
  test::TempDir dir;
  std::optional<CopyStore> store = CopyStore::open(dir.path());
  ASSERT_TRUE(store);
  std::mutex mutex;
  std::map<uint32_t, std::string> committed;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const std::string list = "list " + std::to_string(t) + "." + std::to_string(i);
        const uint32_t copy = store->commitCopy(bytes(list), {});
        std::lock_guard<std::mutex> lock(mutex);
        committed[copy] = list;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(committed.size(), 80u);
  EXPECT_EQ(committed.begin()->first, 1u);
  EXPECT_EQ(committed.rbegin()->first, 80u);
  for (const auto& [copy, list] : committed) EXPECT_EQ(*store->getList(copy), bytes(list));
  EXPECT_FALSE(std::filesystem::exists(dir.file("copies/commit.tmp")));
}

TEST(CopyStoreTest, ACopiesFolderThatCannotBeListedStopsTheCommit) {
  test::TempDir dir;
  {
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    ASSERT_EQ(store->commitCopy(bytes("list one"), {}), 1u);
  }
  // Listing a folder takes the right to read it; storing a file in it does
  // not. Root may read anything, so the child gives up root first.
  EXPECT_EXIT(
      {
        if (::geteuid() == 0) {
          for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
            if (::lchown(entry.path().c_str(), 65534, 65534) != 0) std::_Exit(2);
          }
          if (::chown(dir.path().c_str(), 65534, 65534) != 0 || ::setgid(65534) != 0 ||
              ::setuid(65534) != 0) {
            std::_Exit(2);
          }
        }
        if (::chmod(dir.file("copies").c_str(), 0300) != 0) std::_Exit(2);
        std::optional<CopyStore> store = CopyStore::open(dir.path());
        if (!store || store->latestCopy() || store->copyNumbers()) std::_Exit(3);
        std::_Exit(store->commitCopy(bytes("list two"), {}) == 0 ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
  ASSERT_EQ(::chmod(dir.file("copies").c_str(), 0700), 0);
  std::optional<CopyStore> store = CopyStore::openForReading(dir.path());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->copyNumbers(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(*store->getList(1), bytes("list one"));
}

TEST(CopyStoreTest, ACommitNeverWritesThroughALeftoverTemporary) {
  test::TempDir dir;
  std::optional<CopyStore> store = CopyStore::open(dir.path());
  ASSERT_TRUE(store);
  ASSERT_EQ(store->commitCopy(ByteBuffer("first list"), {}), 1u);
  // A move by link and unlink that a crash cut in half leaves the temporary
  // as a second name of the stored copy.
  ASSERT_EQ(::link(dir.file("copies/1.rec").c_str(), dir.file("copies/commit.tmp").c_str()), 0);
  ASSERT_EQ(store->commitCopy(ByteBuffer("second list"), {}), 2u);
  EXPECT_EQ(*store->getList(1), ByteBuffer("first list"));
  EXPECT_EQ(*store->getList(2), ByteBuffer("second list"));
}

TEST(CopyStoreTest, SectionSetsAreCheckedAgainstTheirCount) {
  ByteBuffer set;
  set.appendU32(2);
  set.appendU32(5);
  set.appendU32(9);
  EXPECT_EQ(*parseSectionSet(set), (std::vector<uint32_t>{5, 9}));
  ByteBuffer lying;
  lying.appendU32(0xffffffff);
  lying.appendU32(1);
  EXPECT_FALSE(parseSectionSet(lying));
  EXPECT_FALSE(parseSectionSet(ByteBuffer()));
}

}  // namespace
}  // namespace vl
