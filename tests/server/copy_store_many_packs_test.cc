// A store that many runs have written: one pack each, far more packs than a
// process may have files open. Opening it, restoring from it and storing
// into it must not depend on the number of packs.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/store/copy_store.h"
#include "server/store/section_pack.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

constexpr uint32_t kPacks = 100000;

// Making and removing a hundred thousand files takes seconds in memory and
// minutes on a busy disk, so the store goes to /dev/shm where there is one.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = "/dev/shm/vltest.XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    } else {
      fallback_ = std::make_unique<test::TempDir>();
      path_ = fallback_->path();
    }
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (fallback_ == nullptr) std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::unique_ptr<test::TempDir> fallback_;
  std::string path_;
};

std::string recordOf(uint32_t number) { return "section " + std::to_string(number); }

size_t openFiles() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// Why the store under `folder`, read with at most 64 files open, is wrong;
// empty when it is right.
std::string checkUnderALowFileLimit(const std::string& folder) {
  const rlimit limit{64, 64};
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return "cannot lower the file limit";
  const size_t before = openFiles();
  std::optional<CopyStore> store = CopyStore::open(folder);
  if (!store) return "the store does not open";
  if (store->sectionNumbers().size() != kPacks) return "sections are missing";
  for (uint32_t number = 1; number <= kPacks; ++number) {
    std::optional<ByteBuffer> record = store->getSection(number);
    if (!record || *record != ByteBuffer(recordOf(number))) {
      return "section " + std::to_string(number) + " does not read back";
    }
  }
  // The lock, and a few packs kept open for the next reads.
  if (openFiles() > before + 1 + 16) return "the store keeps too many files open";
  if (!store->putSection(kPacks + 1, ByteBuffer(recordOf(kPacks + 1))) ||
      store->commitCopy(ByteBuffer(std::string_view("list")), {}) != 1) {
    return "the next run cannot store into it";
  }
  return "";
}

// Packs written directly, one section each: `count` runs' worth.
void writeOneSectionPacks(const std::string& folder, uint32_t count) {
  for (uint32_t number = 1; number <= count; ++number) {
    PackWriter writer;
    ASSERT_TRUE(writer.create(folder + "/sections/" + std::to_string(number) + ".pack", number));
    const std::string record = recordOf(number);
    uint64_t offset = 0;
    uint32_t checksum = 0;
    ASSERT_TRUE(writer.append(number, reinterpret_cast<const uint8_t*>(record.data()),
                              static_cast<uint32_t>(record.size()), &offset, &checksum));
  }
}

// Far below the file limit the store still keeps only a few packs open, so
// that a server holding many stores does not run out of files.
TEST(CopyStoreManyPacksTest, ReadingManyPacksKeepsOnlyAFewOpen) {
  test::TempDir dir;
  ASSERT_TRUE(CopyStore::open(dir.path()));
  constexpr uint32_t kSome = 48;
  writeOneSectionPacks(dir.path(), kSome);
  const size_t before = openFiles();
  std::optional<CopyStore> store = CopyStore::openForReading(dir.path());
  ASSERT_TRUE(store);
  for (uint32_t number = 1; number <= kSome; ++number) {
    ASSERT_EQ(*store->getSection(number), ByteBuffer(recordOf(number))) << number;
  }
  EXPECT_LE(openFiles(), before + 16);
}

// Restore workers read at once while the packs they read are given up to
// make room for others: a pack closed under a reader would hand it another
// file's bytes or none.
TEST(CopyStoreManyPacksTest, ThreadsReadingWhilePacksAreGivenUpEachGetTheirRecords) {
  test::TempDir dir;
  ASSERT_TRUE(CopyStore::open(dir.path()));
  constexpr uint32_t kSome = 64;
  writeOneSectionPacks(dir.path(), kSome);
  std::optional<CopyStore> store = CopyStore::openForReading(dir.path());
  ASSERT_TRUE(store);
  std::atomic<uint32_t> wrong{0};
  std::vector<std::thread> readers;
  for (uint32_t t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      for (uint32_t round = 0; round < 200; ++round) {
        const uint32_t number = 1 + (round * 7 + t * 13) % kSome;
        std::optional<ByteBuffer> record = store->getSection(number);
        if (!record || *record != ByteBuffer(recordOf(number))) ++wrong;
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0u);
}

TEST(CopyStoreManyPacksTest, AHundredThousandPacksOpenAndReadWithSixtyFourFilesOpen) {
  ScratchFolder dir;
  ASSERT_TRUE(CopyStore::open(dir.path()));
  // What a hundred thousand runs leave, one small section each; written
  // straight into packs, as the store's own writer would, without syncing.
  for (uint32_t number = 1; number <= kPacks; ++number) {
    PackWriter writer;
    const std::string record = recordOf(number);
    uint64_t offset = 0;
    uint32_t checksum = 0;
    const bool written =
        writer.create(dir.file("sections/" + std::to_string(number) + ".pack"), number) &&
        writer.append(number, reinterpret_cast<const uint8_t*>(record.data()),
                      static_cast<uint32_t>(record.size()), &offset, &checksum);
    ASSERT_TRUE(written) << number;
  }
  EXPECT_EXIT(
      {
        const std::string wrong = checkUnderALowFileLimit(dir.path());
        if (!wrong.empty()) std::fprintf(stderr, "%s\n", wrong.c_str());
        std::_Exit(wrong.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vl
