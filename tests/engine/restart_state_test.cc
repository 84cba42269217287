#include "engine/restart_state.h"

#include <gtest/gtest.h>

#include "crypto/sha256.h"
#include "engine/working_folder.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

ListHash hashOf(std::string_view text) {
  ByteBuffer digest = sha256(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  return *ListHash::from(digest.span());
}

RestartRecord makeRecord(std::u16string_view path, std::initializer_list<uint32_t> ids) {
  RestartRecord record;
  record.fullPath.assign(path);
  record.metadata = {0x0123456789ABCDEFull, 0x1111222233334444ull, 0x5555666677778888ull, 33};
  uint32_t n = 0;
  for (uint32_t id : ids) {
    record.sections.push_back({id, hashOf("section " + std::to_string(n++))});
  }
  record.contentHash = ids.size() == 1 ? record.sections[0].hash : hashOf("whole");
  return record;
}

TEST(RestartStateTest, RoundTripKeepsRecordsAndIndexesThem) {
  RestartState state;
  state.nextSectionId = 77;
  state.filesPassed = 5;
  ASSERT_TRUE(state.add(makeRecord(u"/home/å/Bilder/ö.jpg", {10, 11, 12})));
  ASSERT_TRUE(state.add(makeRecord(u"/home/a/one", {13})));
  ASSERT_TRUE(state.add(makeRecord(u"/home/a/empty", {})));

  ByteBuffer bytes = state.serialize();
  std::optional<RestartState> back = RestartState::parse(bytes.span());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->nextSectionId, 77u);
  EXPECT_EQ(back->filesPassed, 5u);
  ASSERT_EQ(back->size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back->record(i).fullPath, state.record(i).fullPath);
    EXPECT_EQ(back->record(i).metadata, state.record(i).metadata);
    EXPECT_EQ(back->record(i).contentHash, state.record(i).contentHash);
    EXPECT_TRUE(std::equal(back->record(i).sections.begin(), back->record(i).sections.end(),
                           state.record(i).sections.begin(), state.record(i).sections.end()));
    EXPECT_FALSE(back->record(i).used);
  }
  RestartRecord* byPath = back->findByPath(u"/home/a/one");
  ASSERT_NE(byPath, nullptr);
  EXPECT_EQ(byPath->sections[0].number, 13u);
  RestartRecord* byContent = back->findByContent(hashOf("whole").bytes());
  ASSERT_NE(byContent, nullptr);
  // The later of two records with the same content is the one found.
  EXPECT_EQ(byContent->fullPath, u"/home/a/empty");
  EXPECT_EQ(back->findByPath(u"/home/a/other"), nullptr);
}

TEST(RestartStateTest, LayoutKeepsTimesLowHalfFirstAndHashesUncounted) {
  RestartState state;
  state.nextSectionId = 3;
  state.filesPassed = 9;
  ASSERT_TRUE(state.add(makeRecord(u"é", {2})));
  ByteBuffer bytes = state.serialize();
  EXPECT_EQ(bytes.readU32(), 3u);
  EXPECT_EQ(bytes.readU32(), 1u);
  EXPECT_EQ(bytes.readU32(), 2u);  // path bytes
  EXPECT_EQ(bytes.readU8(), 0x00);
  EXPECT_EQ(bytes.readU8(), 0xE9);
  EXPECT_EQ(bytes.readU32(), 33u);
  EXPECT_EQ(bytes.readU32(), 0x89ABCDEFu);
  EXPECT_EQ(bytes.readU32(), 0x01234567u);
  bytes.setReadPosition(bytes.readPosition() + 16);
  EXPECT_EQ(bytes.readU32(), 32u);  // content hash, counted
  bytes.setReadPosition(bytes.readPosition() + 32);
  EXPECT_EQ(bytes.readU32(), 1u);
  EXPECT_EQ(bytes.readU32(), 2u);
  EXPECT_EQ(bytes.readU32(), 1u);
  bytes.setReadPosition(bytes.readPosition() + 32);  // section hash, bare
  EXPECT_EQ(bytes.readU32(), 9u);
  EXPECT_EQ(bytes.remaining(), 0u);
}

TEST(RestartStateTest, DamagedStateIsRefusedWhole) {
  RestartState state;
  state.nextSectionId = 40;
  ASSERT_TRUE(state.add(makeRecord(u"/a/b", {1, 2})));
  ASSERT_TRUE(state.add(makeRecord(u"/a/c", {3})));
  ByteBuffer bytes = state.serialize();

  // Every cut, and one byte too many; only the cleared form is short.
  EXPECT_TRUE(RestartState::parse(std::vector<uint8_t>(8, 0)));
  for (uint32_t length = 0; length < bytes.size(); ++length) {
    EXPECT_FALSE(RestartState::parse(bytes.span().first(length))) << length;
  }
  ByteBuffer longer = bytes;
  longer.appendU8(0);
  EXPECT_FALSE(RestartState::parse(longer.span()));

  // A record count far beyond what the bytes hold.
  ByteBuffer crowded = bytes;
  crowded[4] = 0xFF;
  crowded[7] = 0x7F;
  EXPECT_FALSE(RestartState::parse(crowded.span()));

  // A single-section record whose hash differs from the content hash.
  RestartRecord broken = makeRecord(u"/a/d", {5});
  broken.contentHash = hashOf("something else");
  RestartState other;
  EXPECT_FALSE(other.add(broken));
  EXPECT_EQ(other.size(), 0u);
}

// Damage inside the records, where only the record parser can see it.
TEST(RestartStateTest, DamagedRecordsAreRefusedWhole) {
  RestartState state;
  state.nextSectionId = 40;
  ASSERT_TRUE(state.add(makeRecord(u"/a/b", {1, 2})));
  ASSERT_TRUE(state.add(makeRecord(u"/a/c", {3})));
  const ByteBuffer bytes = state.serialize();
  // Record 1 starts at 8: path field (4 + 8), attributes, times (24), content
  // hash field (4 + 32), two ids counted, their hashes counted (at 96).
  // Record 2 starts at 164; its one section hash lies at 252, and its content
  // hash at 208.
  constexpr uint32_t kHashCount1 = 96;
  constexpr uint32_t kSectionHash2 = 252;
  constexpr uint32_t kContentHash2 = 208;
  ASSERT_EQ(bytes.size(), 288u);
  ASSERT_EQ(bytes[kHashCount1], 2);
  ASSERT_EQ(bytes[kHashCount1 - 12], 2);  // the id count
  ASSERT_TRUE(RestartState::parse(bytes.span()));

  auto damaged = [&](uint32_t offset, uint8_t value) {
    ByteBuffer copy = bytes;
    copy[offset] = value;
    return RestartState::parse(copy.span()).has_value();
  };
  // As many section hashes as ids, neither fewer nor more.
  EXPECT_FALSE(damaged(kHashCount1, 1));
  EXPECT_FALSE(damaged(kHashCount1, 3));
  // A single-section record that add() refuses sinks the whole state
  // instead of being dropped.
  EXPECT_FALSE(damaged(kSectionHash2 + 5, bytes[kSectionHash2 + 5] ^ 1));
  EXPECT_FALSE(damaged(kContentHash2 + 31, bytes[kContentHash2 + 31] ^ 0x80));
  // An id count far beyond the bytes (0x7F000002): refused before anything
  // is reserved for it.
  bool parsed = true;
  EXPECT_NO_THROW(parsed = damaged(kHashCount1 - 12 + 3, 0x7F));
  EXPECT_FALSE(parsed);
  // An odd path length and a content hash that is not 32 bytes.
  EXPECT_FALSE(damaged(8, 7));
  EXPECT_FALSE(damaged(48, 31));

  // Loading such a file says it is damaged and leaves the state untouched.
  test::WorkingFolder folder;
  ByteBuffer broken = bytes;
  broken[kSectionHash2] ^= 1;
  ASSERT_TRUE(broken.saveToFile(kRestartFile));
  RestartState untouched;
  EXPECT_EQ(loadRestartState(&untouched), RestartLoad::kDamaged);
  EXPECT_EQ(untouched.size(), 0u);
  ByteBuffer intact = bytes;
  ASSERT_TRUE(intact.saveToFile(kRestartFile));
  EXPECT_EQ(loadRestartState(&untouched), RestartLoad::kLoaded);
  EXPECT_EQ(untouched.size(), 2u);
}

TEST(RestartStateTest, LoadTellsNothingFromDamage) {
  test::WorkingFolder folder;
  RestartState state;
  EXPECT_EQ(loadRestartState(&state), RestartLoad::kNothing);

  ASSERT_TRUE(RestartState::saveCleared());
  EXPECT_EQ(test::readFile(kRestartFile).size(), 12u);
  EXPECT_EQ(loadRestartState(&state), RestartLoad::kNothing);

  RestartState saved;
  saved.nextSectionId = 12;
  saved.filesPassed = 2;
  ASSERT_TRUE(saved.add(makeRecord(u"/x", {4, 5})));
  ASSERT_TRUE(saved.save());
  ASSERT_EQ(loadRestartState(&state), RestartLoad::kLoaded);
  EXPECT_EQ(state.nextSectionId, 12u);
  EXPECT_EQ(state.size(), 1u);

  std::string contents = test::readFile(kRestartFile);
  test::writeFile(kRestartFile, contents.substr(0, contents.size() - 3));
  RestartState untouched;
  EXPECT_EQ(loadRestartState(&untouched), RestartLoad::kDamaged);
  EXPECT_EQ(untouched.nextSectionId, 0u);
}

}  // namespace
}  // namespace vl
