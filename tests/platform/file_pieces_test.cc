#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/folder_handle.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

// More pieces than one call takes, of uneven sizes, some of them empty.
TEST(FilePieces, RoundTripAcrossSeveralCalls) {
  test::TempDir dir;
  FolderHandle folder;
  ASSERT_TRUE(folder.open(dir.path()));
  std::string expected;
  std::vector<std::string> parts;
  for (size_t i = 0; i < File::kMaxPiecesPerCall * 2 + 5; ++i) {
    parts.push_back(std::string(i % 7 == 0 ? 0 : i * 37 % 1000, static_cast<char>('a' + i % 26)));
    expected += parts.back();
  }
  std::vector<std::span<const uint8_t>> out;
  for (const std::string& part : parts) {
    out.push_back({reinterpret_cast<const uint8_t*>(part.data()), part.size()});
  }
  File file;
  ASSERT_TRUE(file.createOrTruncateAt(folder, "pieces", FileAccess::kOwnerOnly));
  ASSERT_TRUE(file.writePieces(out));
  ASSERT_TRUE(file.writePieces({}));
  ASSERT_TRUE(file.close());
  EXPECT_EQ(test::readFile(dir.file("pieces")), expected);

  // Read back into pieces of other sizes, with room for more than there is.
  std::vector<uint8_t> back(expected.size() + 10, 0);
  std::vector<std::span<uint8_t>> in;
  for (size_t at = 0; at < back.size(); at += 50) {
    in.push_back({back.data() + at, std::min<size_t>(50, back.size() - at)});
    in.push_back({});
  }
  ASSERT_TRUE(file.openOwnForReadingAt(folder, "pieces"));
  EXPECT_EQ(file.readPieces(in, back.size()), expected.size());  // the file ended first
  EXPECT_EQ(std::string(back.begin(), back.begin() + expected.size()), expected);
}

TEST(FilePieces, ReadStopsOnceEnoughHasCome) {
  test::TempDir dir;
  test::writeFile(dir.file("record"), "0123456789");
  FolderHandle folder;
  ASSERT_TRUE(folder.open(dir.path()));
  File file;
  EXPECT_FALSE(file.openOwnForReadingAt(folder, "missing"));
  ASSERT_TRUE(file.openOwnForReadingAt(folder, "record"));
  uint8_t head[4];
  uint8_t body[4];
  uint8_t spare[1];
  const std::span<uint8_t> pieces[3] = {head, body, spare};
  // One byte of room beyond what is wanted tells whether the file is longer.
  EXPECT_EQ(file.readPieces(pieces, 8), 9u);
  EXPECT_EQ(std::string(head, head + 4) + std::string(body, body + 4), "01234567");
  EXPECT_EQ(spare[0], '8');
  EXPECT_EQ(file.readPieces(pieces, 8), 1u);
  EXPECT_EQ(file.readPieces(pieces, 8), 0u);
  file.close();
  EXPECT_FALSE(file.readPieces(pieces, 8));
  EXPECT_FALSE(file.writePieces({}));
}

}  // namespace
}  // namespace vl
