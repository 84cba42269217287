// The hashing pass: what it keeps of a file so that the file need not be
// read again, and that it hashes every byte whatever it keeps.
#include "engine/backup_engine_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/backup_engine_test_util.h"

namespace vl {
namespace {

using test::patternBytes;

std::string joined(const std::vector<ByteBuffer>& sections) {
  std::string bytes;
  for (const ByteBuffer& section : sections) {
    bytes.append(reinterpret_cast<const char*>(section.data()), section.size());
  }
  return bytes;
}

std::string hashOf(const std::string& bytes) {
  return test::hexOf(
      sha256(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()))
          .span());
}

TEST(HashingPassTest, KeepsFilesUpToTheLimitCutIntoSections) {
  test::TempDir dir;
  const std::string path = dir.file("f");
  const struct {
    size_t length;
    size_t sections;
  } cases[] = {{1, 1},
               {kSectionSize - 1, 1},
               {kSectionSize, 1},
               {kSectionSize + 1, 2},
               {3 * kSectionSize + 12345, 4}};
  for (const auto& c : cases) {
    const std::string bytes = patternBytes(c.length, static_cast<uint32_t>(c.length));
    test::writeFile(path, bytes);
    HashedContent hashed = hashFileContent(path, c.length, nullptr);
    ASSERT_EQ(hashed.outcome, HashedContent::Outcome::kRead);
    EXPECT_EQ(hashed.bytes, c.length);
    EXPECT_EQ(test::hexOf(hashed.hash.span()), hashOf(bytes));
    ASSERT_TRUE(hashed.held()) << c.length;
    ASSERT_EQ(hashed.sections.size(), c.sections) << c.length;
    for (size_t i = 0; i + 1 < hashed.sections.size(); ++i) {
      EXPECT_EQ(hashed.sections[i].size(), kSectionSize);
    }
    EXPECT_EQ(joined(hashed.sections), bytes);

    // Over the limit: nothing kept, the same hash.
    HashedContent large = hashFileContent(path, c.length, nullptr, c.length - 1);
    EXPECT_EQ(large.bytes, c.length);
    EXPECT_EQ(large.hash, hashed.hash);
    EXPECT_FALSE(large.held());
    EXPECT_TRUE(large.sections.empty());
  }

  test::writeFile(path, "");
  HashedContent empty = hashFileContent(path, 0, nullptr);
  EXPECT_EQ(empty.outcome, HashedContent::Outcome::kRead);
  EXPECT_EQ(empty.bytes, 0u);
  EXPECT_TRUE(empty.sections.empty());
}

TEST(HashingPassTest, AFileThatIsNotItsListedSizeIsKeptAsRead) {
  test::TempDir dir;
  const std::string path = dir.file("f");
  const std::string bytes = patternBytes(2 * kSectionSize + 700, 9);
  test::writeFile(path, bytes);
  // Grown since it was listed: still whole, in full sections.
  HashedContent grown = hashFileContent(path, 100, nullptr);
  ASSERT_TRUE(grown.held());
  ASSERT_EQ(grown.sections.size(), 3u);
  EXPECT_EQ(grown.sections[0].size(), kSectionSize);
  EXPECT_EQ(joined(grown.sections), bytes);
  // Grown past the limit while it was read: nothing kept.
  HashedContent pastLimit = hashFileContent(path, 100, nullptr, kSectionSize);
  EXPECT_EQ(pastLimit.bytes, bytes.size());
  EXPECT_FALSE(pastLimit.held());
  // Shrunk: what is there.
  HashedContent shrunk = hashFileContent(path, 5 * kSectionSize, nullptr);
  ASSERT_TRUE(shrunk.held());
  EXPECT_EQ(joined(shrunk.sections), bytes);
  EXPECT_EQ(test::hexOf(shrunk.hash.span()), hashOf(bytes));
}

TEST(HashingPassTest, OnlyRegularFilesAreReadAndACancelKeepsNothing) {
  test::TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(hashFileContent(dir.file("fifo"), 0, nullptr).outcome,
            HashedContent::Outcome::kUnreadable);
  EXPECT_EQ(hashFileContent(dir.path(), 0, nullptr).outcome, HashedContent::Outcome::kUnreadable);
  EXPECT_EQ(hashFileContent(dir.file("missing"), 0, nullptr).outcome,
            HashedContent::Outcome::kUnreadable);

  test::writeFile(dir.file("f"), patternBytes(kSectionSize, 3));
  std::atomic<uint8_t> cancel{1};
  HashedContent cancelled = hashFileContent(dir.file("f"), kSectionSize, &cancel);
  EXPECT_EQ(cancelled.outcome, HashedContent::Outcome::kCancelled);
  EXPECT_TRUE(cancelled.sections.empty());
}

}  // namespace
}  // namespace vl
