// Section packs as the store reads them back: after the run that wrote them,
// after a crash that tore their tail, and beside records of the older
// one-file-per-section layout.
#include "server/store/section_pack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "server/store/copy_store.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

namespace fs = std::filesystem;

ByteBuffer bytes(std::string_view text) { return ByteBuffer(text); }

std::vector<std::string> packsIn(const std::string& folder) {
  std::vector<std::string> packs;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".pack") packs.push_back(entry.path().string());
  }
  std::sort(packs.begin(), packs.end());
  return packs;
}

TEST(SectionPackTest, LaterRunsReplaceAndDropWhatEarlierRunsStored) {
  test::TempDir dir;
  {
    std::optional<CopyStore> first = CopyStore::open(dir.path());
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->putSectionUnsynced(1, bytes("one")));
    ASSERT_TRUE(first->putSectionUnsynced(2, bytes("two")));
    ASSERT_TRUE(first->putSectionUnsynced(3, bytes("three")));
    ASSERT_TRUE(first->syncSections());
  }
  {
    std::optional<CopyStore> second = CopyStore::open(dir.path());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->sectionNumbers(), (std::vector<uint32_t>{1, 2, 3}));
    ASSERT_TRUE(second->putSection(2, bytes("two, resent")));
    EXPECT_EQ(second->commitCopy(bytes("list"), {3}), 1u);
    EXPECT_FALSE(second->hasSection(3));
  }
  // Each run wrote its own pack; the newer entries win when read again.
  EXPECT_EQ(packsIn(dir.file("sections")).size(), 2u);
  std::optional<CopyStore> third = CopyStore::open(dir.path());
  ASSERT_TRUE(third);
  EXPECT_EQ(third->sectionNumbers(), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(*third->getSection(1), bytes("one"));
  EXPECT_EQ(*third->getSection(2), bytes("two, resent"));
  EXPECT_FALSE(third->getSection(3));
  // A dropped number stored again comes back.
  ASSERT_TRUE(third->putSection(3, bytes("three again")));
  EXPECT_EQ(*CopyStore::open(dir.path())->getSection(3), bytes("three again"));
}

TEST(SectionPackTest, ATornTailEndsThePackAndEarlierRecordsStayReadable) {
  test::TempDir dir;
  {
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->putSection(1, bytes("kept")));
    ASSERT_TRUE(store->putSectionUnsynced(2, ByteBuffer(std::string(100, 'x'))));
  }
  const std::string pack = packsIn(dir.file("sections")).at(0);
  const std::string whole = test::readFile(pack);

  // What a crash can leave: the last record cut short, a tail of zeros (the
  // size reached the disk, the bytes did not), or a header cut short.
  const std::string torn[] = {
      whole.substr(0, whole.size() - 1),
      std::string(whole).append(4096, '\0'),
      whole.substr(0, whole.size() - 100 - 5),
      std::string(whole).append("\x03\x00\x00\x00\xff\x00\x00\x00\x01\x02\x03\x04zz", 14),
  };
  for (const std::string& damaged : torn) {
    test::writeFile(pack, damaged);
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    EXPECT_EQ(*store->getSection(1), bytes("kept"));
    const std::vector<uint32_t> numbers = store->sectionNumbers();
    EXPECT_TRUE(numbers == std::vector<uint32_t>{1} || numbers == (std::vector<uint32_t>{1, 2}));
    EXPECT_FALSE(store->hasSection(3));
    // The next run writes a pack of its own and is read after the torn one.
    ASSERT_TRUE(store->putSection(2, bytes("resent")));
    EXPECT_EQ(*CopyStore::open(dir.path())->getSection(2), bytes("resent"));
    for (const std::string& other : packsIn(dir.file("sections"))) {
      if (other != pack) fs::remove(other);
    }
  }

  // Not a pack at all: nothing is taken from it.
  test::writeFile(pack, "VLPACK\x02" + std::string(40, '\x01'));
  std::optional<CopyStore> store = CopyStore::open(dir.path());
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->sectionNumbers().empty());
}

TEST(SectionPackTest, RecordsOfTheOlderLayoutAreReadAndDropped) {
  test::TempDir dir;
  ASSERT_TRUE(CopyStore::open(dir.path()));
  test::writeFile(dir.file("sections/4.rec"), "four, single file");
  test::writeFile(dir.file("sections/5.rec"), "five, single file");
  std::optional<CopyStore> store = CopyStore::open(dir.path());
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->putSection(5, bytes("five, packed")));
  ASSERT_TRUE(store->putSection(6, bytes("six")));
  EXPECT_EQ(store->sectionNumbers(), (std::vector<uint32_t>{4, 5, 6}));
  EXPECT_EQ(*store->getSection(4), bytes("four, single file"));
  EXPECT_EQ(*store->getSection(5), bytes("five, packed"));
  ASSERT_TRUE(store->dropSection(4));
  ASSERT_TRUE(store->dropSection(5));
  EXPECT_FALSE(fs::exists(dir.file("sections/4.rec")));
  std::optional<CopyStore> again = CopyStore::open(dir.path());
  EXPECT_EQ(again->sectionNumbers(), (std::vector<uint32_t>{6}));
}

}  // namespace
}  // namespace vl
