// Section packs as the store reads them back: after the run that wrote them,
// after a crash that tore their tail, and beside records of the older
// one-file-per-section layout.
#include "server/store/section_pack.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "server/pack_files.h"
#include "server/store/copy_store.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

namespace fs = std::filesystem;
using test::packsIn;
using test::scanPackFile;

ByteBuffer bytes(std::string_view text) { return ByteBuffer(text); }

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
  EXPECT_EQ(*CopyStore::openForReading(dir.path())->getSection(3), bytes("three again"));
}

// The numbers a fresh scan of `path` lists, in file order.
std::vector<uint32_t> scannedNumbers(const std::string& path) {
  std::vector<uint32_t> numbers;
  for (const PackEntry& entry : scanPackFile(path).entries) numbers.push_back(entry.number);
  return numbers;
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
  ASSERT_EQ(whole.size(), kPackHeaderSize + 2 * kPackEntryHeaderSize + 4 +  // section 1
                              kPackEntryHeaderSize +                        // its sync mark
                              100);                                         // section 2's bytes
  std::string zeroed = whole;
  std::fill(zeroed.end() - 100, zeroed.end(), '\0');

  // What a crash can leave, and what the next open must make of it.
  struct Damage {
    const char* what;
    std::string bytes;
    std::vector<uint32_t> listed;
  };
  const Damage torn[] = {
      {"the last record cut short", whole.substr(0, whole.size() - 1), {1}},
      {"a tail of zeros: the size reached the disk, the next entry did not",
       std::string(whole).append(4096, '\0'),
       {1, 2}},
      {"a header cut short", whole.substr(0, whole.size() - 100 - 5), {1}},
      {"a header that fails its check",
       std::string(whole).append(
           "\x03\x00\x00\x00\xff\x00\x00\x00\x01\x02\x03\x04\x05\x06\x07\x08zz", 18),
       {1, 2}},
      {"the last header survived, its bytes did not", zeroed, {1}},
  };
  for (const Damage& damage : torn) {
    SCOPED_TRACE(damage.what);
    test::writeFile(pack, damage.bytes);
    EXPECT_EQ(scannedNumbers(pack), damage.listed);
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    EXPECT_EQ(*store->getSection(1), bytes("kept"));
    EXPECT_EQ(store->sectionNumbers(), damage.listed);
    EXPECT_EQ(store->hasSection(2), damage.listed.size() == 2);
    EXPECT_FALSE(store->hasSection(3));
    // The next run writes a pack of its own and is read after the torn one.
    ASSERT_TRUE(store->putSection(2, bytes("resent")));
    EXPECT_EQ(*CopyStore::openForReading(dir.path())->getSection(2), bytes("resent"));
    for (const std::string& other : packsIn(dir.file("sections"))) {
      if (other != pack) fs::remove(other);
    }
  }
}

TEST(SectionPackTest, OnlyEntriesBeforeASyncMarkAreTakenWithoutReadingTheirBytes) {
  test::TempDir dir;
  {
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->putSectionUnsynced(1, bytes("synced")));
    ASSERT_TRUE(store->syncSections());
    ASSERT_TRUE(store->putSectionUnsynced(2, bytes("not synced")));
  }
  const std::string pack = packsIn(dir.file("sections")).at(0);
  const PackScan scan = scanPackFile(pack);
  ASSERT_EQ(scan.state, PackState::kSound);
  ASSERT_EQ(scan.entries.size(), 2u);
  EXPECT_TRUE(scan.entries[0].durable);
  EXPECT_FALSE(scan.entries[1].durable);

  // Bytes that rot after they were synced are not looked at when the store
  // opens, but a read finds them wrong instead of handing them out.
  std::string damaged = test::readFile(pack);
  damaged[kPackHeaderSize + kPackEntryHeaderSize] ^= 0x20;
  test::writeFile(pack, damaged);
  std::optional<CopyStore> store = CopyStore::openForReading(dir.path());
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->hasSection(1));
  EXPECT_FALSE(store->getSection(1));
  EXPECT_EQ(*store->getSection(2), bytes("not synced"));
}

// A header that changed after its sync mark was written names another
// number or length: the scan ends before it rather than filing the record
// under a number it never had.
TEST(SectionPackTest, AnEntryHeaderThatFailsItsCheckEndsThePackEvenBeforeASyncMark) {
  test::TempDir dir;
  {
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->putSectionUnsynced(1, bytes("one")));
    ASSERT_TRUE(store->putSectionUnsynced(2, bytes("two")));
    ASSERT_TRUE(store->syncSections());
  }
  const std::string pack = packsIn(dir.file("sections")).at(0);
  std::string damaged = test::readFile(pack);
  const size_t second = kPackHeaderSize + kPackEntryHeaderSize + 3;
  damaged[second] ^= 0x01;  // number 2 becomes 3
  test::writeFile(pack, damaged);
  EXPECT_EQ(scannedNumbers(pack), (std::vector<uint32_t>{1}));
  std::optional<CopyStore> store = CopyStore::openForReading(dir.path());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->sectionNumbers(), (std::vector<uint32_t>{1}));
  EXPECT_FALSE(store->getSection(3));
}

// A pack header whose generation changed holds nothing: trusting it would
// put the pack's records before or after others by a number never given.
TEST(SectionPackTest, APackHeaderThatFailsItsCheckHoldsNothing) {
  test::TempDir dir;
  {
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->putSection(1, bytes("one")));
  }
  const std::string pack = packsIn(dir.file("sections")).at(0);
  std::string damaged = test::readFile(pack);
  damaged[15] ^= 0x40;  // the generation's top byte
  test::writeFile(pack, damaged);
  EXPECT_EQ(scanPackFile(pack).state, PackState::kEmpty);
  EXPECT_TRUE(CopyStore::openForReading(dir.path())->sectionNumbers().empty());
}

// A write that failed (here: past the file size limit) ends its pack; the
// run goes on in a new one once writing works again.
TEST(SectionPackTest, AFailedWriteMovesTheRunToANewPack) {
  test::TempDir dir;
  EXPECT_EXIT(
      {
        std::signal(SIGXFSZ, SIG_IGN);
        std::optional<CopyStore> store = CopyStore::open(dir.path());
        if (!store || !store->putSection(1, bytes("one"))) std::_Exit(2);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit low = saved;
        low.rlim_cur = 4096;
        if (::setrlimit(RLIMIT_FSIZE, &low) != 0) std::_Exit(3);
        if (store->putSection(2, ByteBuffer(std::string(8192, 'x')))) std::_Exit(4);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        if (!store->putSection(3, bytes("three"))) std::_Exit(5);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  std::optional<CopyStore> store = CopyStore::openForReading(dir.path());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->sectionNumbers(), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(*store->getSection(3), bytes("three"));
}

TEST(SectionPackTest, PacksOfAnotherVersionAreRefusedAndStrayBytesTakenForNothing) {
  test::TempDir dir;
  ASSERT_TRUE(CopyStore::open(dir.path()));
  const std::string pack = dir.file("sections/1.pack");

  // What a crash before a pack's first sync can leave holds nothing.
  for (const std::string& stray :
       {std::string(), std::string("VLPA"), std::string(64, '\0'), std::string(40, '\x01')}) {
    test::writeFile(pack, stray);
    StoreOpenError why = StoreOpenError::kFailed;
    std::optional<CopyStore> store = CopyStore::open(dir.path(), &why);
    ASSERT_TRUE(store);
    EXPECT_EQ(why, StoreOpenError::kNone);
    EXPECT_TRUE(store->sectionNumbers().empty());
  }

  // A pack of the first version: entries without a check of their bytes.
  test::writeFile(pack, std::string("VLPACK\x01\x00", 8) +
                            std::string("\x01\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00one", 15));
  StoreOpenError why = StoreOpenError::kNone;
  EXPECT_FALSE(CopyStore::open(dir.path(), &why));
  EXPECT_EQ(why, StoreOpenError::kFormat);
  why = StoreOpenError::kNone;
  EXPECT_FALSE(CopyStore::openForReading(dir.path(), &why));
  EXPECT_EQ(why, StoreOpenError::kFormat);
}

TEST(SectionPackTest, ALaterGenerationWinsWhateverThePacksAreCalled) {
  test::TempDir dir;
  ASSERT_TRUE(CopyStore::open(dir.path()));
  const auto write = [&](uint32_t name, uint64_t generation, uint32_t number,
                         std::string_view record, bool dropTwo) {
    PackWriter writer;
    ASSERT_TRUE(writer.create(dir.file("sections/" + std::to_string(name) + ".pack"), generation));
    uint64_t offset = 0;
    uint32_t checksum = 0;
    ASSERT_TRUE(writer.append(number, reinterpret_cast<const uint8_t*>(record.data()),
                              static_cast<uint32_t>(record.size()), &offset, &checksum));
    if (dropTwo) {
      ASSERT_TRUE(writer.drop(2));
    }
    ASSERT_TRUE(writer.sync());
  };
  // Packs 9 and 10 were written first, pack 5 after them.
  write(9, 1, 1, "older", false);
  write(10, 1, 2, "two", false);
  write(5, 3, 1, "newer", true);
  {
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    EXPECT_EQ(*store->getSection(1), bytes("newer"));
    EXPECT_FALSE(store->hasSection(2));
    // This run's pack is newer than all of them.
    ASSERT_TRUE(store->putSection(1, bytes("newest")));
  }
  EXPECT_EQ(*CopyStore::openForReading(dir.path())->getSection(1), bytes("newest"));
}

TEST(SectionPackTest, APackOfTheLastGenerationStopsWritingRatherThanLosingToIt) {
  test::TempDir dir;
  ASSERT_TRUE(CopyStore::open(dir.path()));
  {
    PackWriter writer;
    ASSERT_TRUE(writer.create(dir.file("sections/1.pack"), UINT64_MAX));
    uint64_t offset = 0;
    uint32_t checksum = 0;
    ASSERT_TRUE(writer.append(1, reinterpret_cast<const uint8_t*>("old"), 3, &offset, &checksum));
    ASSERT_TRUE(writer.sync());
  }
  // No generation comes after the last one: a pack numbered past it would
  // count as the oldest and lose every record it holds at the next open.
  {
    std::optional<CopyStore> store = CopyStore::open(dir.path());
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->putSection(1, bytes("new")));
    EXPECT_FALSE(store->dropSection(1));
  }
  EXPECT_EQ(*CopyStore::openForReading(dir.path())->getSection(1), bytes("old"));
}

TEST(SectionPackTest, ChecksumsAreCrc32cAndCanBeTakenInPieces) {
  const std::string_view digits = "123456789";
  const auto* data = reinterpret_cast<const uint8_t*>(digits.data());
  EXPECT_EQ(packChecksum(data, digits.size()), 0xE3069283u);
  EXPECT_EQ(packChecksum(data + 4, 5, packChecksum(data, 4)), 0xE3069283u);
  EXPECT_EQ(packChecksum(nullptr, 0), 0u);
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
  std::optional<CopyStore> again = CopyStore::openForReading(dir.path());
  EXPECT_EQ(again->sectionNumbers(), (std::vector<uint32_t>{6}));
}

}  // namespace
}  // namespace vl
