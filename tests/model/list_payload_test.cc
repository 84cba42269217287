#include "model/list_payload.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/model/list_fixtures.h"

namespace vl {
namespace {

using test::bytesOf;
using test::hashOf;
using test::putEntry;
using test::putField;
using test::putU16;
using test::putU32;

void expectSameEntries(const FileList& a, const FileList& b) {
  ASSERT_EQ(a.entryCount(), b.entryCount());
  for (uint32_t i = 0; i < a.entryCount(); ++i) {
    const FileListEntry& x = a.entry(i);
    const FileListEntry& y = b.entry(i);
    EXPECT_EQ(x.name, y.name) << i;
    EXPECT_EQ(x.isFolder, y.isFolder) << i;
    EXPECT_EQ(x.isFolderEnd, y.isFolderEnd) << i;
    EXPECT_EQ(x.metadata, y.metadata) << i;
    EXPECT_EQ(x.contentHash, y.contentHash) << i;
    EXPECT_TRUE(
        std::equal(x.sections.begin(), x.sections.end(), y.sections.begin(), y.sections.end()))
        << i;
  }
}

std::vector<uint8_t> header(uint16_t version, uint32_t next, uint32_t count) {
  std::vector<uint8_t> out;
  putU16(out, version);
  putU32(out, next);
  putU32(out, count);
  return out;
}

TEST(ListPayloadTest, EmptyListIsTenBytesOfVersionThree) {
  FileList empty;
  empty.nextSectionNumber = 1;
  ByteBuffer payload = serializeList(empty, 1);
  EXPECT_EQ(ByteBuffer(header(3, 1, 0)), payload);
  std::optional<FileList> back = parseList(payload.span());
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->empty());
  EXPECT_EQ(back->version, 3);
  EXPECT_EQ(back->nextSectionNumber, 1u);
}

TEST(ListPayloadTest, OneFileHasTheExactByteLayout) {
  FileList list;
  list.nextSectionNumber = 0x01020304;
  auto sections = test::sectionsOf({{0x0A0B0C0D, 1}});
  list.addFile(u"a\u00e9",
               EntryMetadata{0x1112131415161718ull, 0x2122232425262728ull, 0x3132333435363738ull,
                             0x41424344},
               hashOf(1), sections);
  ByteBuffer payload = serializeList(list, 1);

  std::vector<uint8_t> expected = header(3, 0x01020304, 1);
  putField(expected, bytesOf({0x00, 0x61, 0x00, 0xE9}));  // UTF-16, high byte first
  expected.insert(expected.end(), {0, 0});
  // Each time as its high u32, then its low u32, both little-endian.
  for (int t : {0x10, 0x20, 0x30}) {
    for (int b : {4, 3, 2, 1, 8, 7, 6, 5}) expected.push_back(static_cast<uint8_t>(t + b));
  }
  putU32(expected, 0x41424344);
  putField(expected, hashOf(1).bytes());
  putU32(expected, 1);
  putU32(expected, 0x0A0B0C0D);
  putField(expected, hashOf(1).bytes());
  EXPECT_EQ(ByteBuffer(expected), payload);
}

TEST(ListPayloadTest, EveryKindOfEntrySurvivesARoundTripUnderItsVersion) {
  FileList list = test::sampleList();
  for (uint16_t base : {1, 3, 4}) {
    ByteBuffer payload = serializeList(list, base);
    std::optional<FileList> back = parseList(payload.span());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->version, base == 1 ? 3 : base);
    EXPECT_EQ(back->nextSectionNumber, 77u);
    expectSameEntries(list, *back);
    // Serialising what was read gives the same bytes again.
    EXPECT_EQ(payload, serializeList(*back, back->version));
  }
}

TEST(ListPayloadTest, VersionsWrittenFollowTheBaseVersion) {
  EXPECT_EQ(listVersionFor(1), 3);
  EXPECT_EQ(listVersionFor(2), 4);
  EXPECT_EQ(listVersionFor(3), 3);
  EXPECT_EQ(listVersionFor(4), 4);
  EXPECT_EQ(listVersionFor(9), 9);
  // A list read as version 0 had 8-bit names; writing it as 2 would make
  // its UTF-16 names read back as 8-bit characters.
  EXPECT_EQ(listVersionFor(0), 3);
}

TEST(ListPayloadTest, EightBitNamesOfOldVersionsAreReadAndRewrittenAsUtf16) {
  for (uint16_t version : {0, 1, 2}) {
    std::vector<uint8_t> payload = header(version, 12, 3);
    putEntry(payload, bytesOf({0x61, 0x62, 0x63, 0x00}), true, false, {});
    // Bytes after the first zero are not part of the name; bytes above 0x7F
    // become the code unit of the same value.
    putEntry(payload, bytesOf({0x52, 0xE4, 0x6B, 0x00, 0x7A, 0x7A}), false, false,
             hashOf(3).bytes());
    putEntry(payload, bytesOf({0x61, 0x62, 0x63}), true, true, {});
    std::optional<FileList> list = parseList(payload);
    ASSERT_TRUE(list) << version;
    EXPECT_EQ(list->version, version);
    EXPECT_EQ(list->entry(0).name, u"abc");
    EXPECT_EQ(list->entry(1).name, u"R\u00e4k");
    EXPECT_EQ(list->entry(2).name, u"abc");

    ByteBuffer again = serializeList(*list, list->version);
    std::optional<FileList> reread = parseList(again.span());
    ASSERT_TRUE(reread);
    EXPECT_GE(reread->version, 3);
    expectSameEntries(*list, *reread);
  }
}

TEST(ListPayloadTest, OnlyTheValueOneSetsAFlag) {
  std::vector<uint8_t> payload = header(3, 1, 1);
  putEntry(payload, {}, false, false, hashOf(1).bytes());
  payload[10 + 4] = 2;      // isFolder
  payload[10 + 4 + 1] = 1;  // isFolderEnd
  std::optional<FileList> list = parseList(payload);
  ASSERT_TRUE(list);
  EXPECT_FALSE(list->entry(0).isFolder);
  EXPECT_TRUE(list->entry(0).isFolderEnd);
}

TEST(ListPayloadTest, SingleSectionRuleIsEnforcedOnRead) {
  auto good = test::sectionsOf({{5, 40}});
  auto bad = test::sectionsOf({{5, 41}});
  auto two = test::sectionsOf({{5, 41}, {6, 42}});

  std::vector<uint8_t> payload = header(3, 1, 1);
  putEntry(payload, {}, false, false, hashOf(40).bytes(), good);
  EXPECT_TRUE(parseList(payload));

  payload = header(3, 1, 2);
  putEntry(payload, {}, true, false, {});
  putEntry(payload, {}, false, false, hashOf(40).bytes(), bad);
  EXPECT_FALSE(parseList(payload));

  // Several sections: the content hash covers them all and is not compared.
  payload = header(3, 1, 1);
  putEntry(payload, {}, false, false, hashOf(40).bytes(), two);
  EXPECT_TRUE(parseList(payload));
}

TEST(ListPayloadTest, EntryCountThatCannotFitFailsAtOnce) {
  EXPECT_FALSE(parseList(header(3, 1, 0xFFFFFFFF)));
  EXPECT_FALSE(parseList(header(3, 1, 1)));
  // Two minimal entries take 84 bytes; claiming three fails.
  std::vector<uint8_t> payload = header(3, 1, 3);
  putEntry(payload, {}, true, false, {});
  putEntry(payload, {}, true, true, {});
  ASSERT_EQ(payload.size(), 10u + 2 * kMinListEntryBytes);
  EXPECT_FALSE(parseList(payload));
  payload[6] = 2;
  EXPECT_TRUE(parseList(payload));
}

TEST(ListPayloadTest, EveryCutOffPayloadFailsInsteadOfYieldingZeroFilledEntries) {
  ByteBuffer payload = serializeList(test::sampleList(), 1);
  for (uint32_t length = 0; length < payload.size(); ++length) {
    EXPECT_FALSE(parseList(payload.span().first(length))) << length;
  }
}

TEST(ListPayloadTest, DamagedFieldsFailTheParse) {
  auto withEntry = [](auto&& edit) {
    std::vector<uint8_t> payload = header(3, 1, 1);
    putEntry(payload, bytesOf({0, 0x61}), false, false, hashOf(1).bytes());
    putU32(payload, 0);  // room for a later entry, so only the field is wrong
    putU32(payload, 0);
    edit(payload);
    return parseList(payload).has_value();
  };
  EXPECT_TRUE(withEntry([](auto&) {}));
  // A name field longer than what remains.
  EXPECT_FALSE(withEntry([](auto& p) { p[10] = 200; }));
  // A UTF-16 name of odd length.
  EXPECT_FALSE(withEntry([](auto& p) {
    p[10] = 3;
    p.insert(p.begin() + 16, 0x62);
  }));
  // A hash longer than a SHA-256 value.
  EXPECT_FALSE(withEntry([](auto& p) {
    size_t hashField = 10 + 4 + 2 + 2 + 24 + 4;
    p[hashField] = 33;
    p.insert(p.begin() + hashField + 4, 0xAA);
  }));
  // A section count the remaining bytes cannot hold.
  EXPECT_FALSE(withEntry([](auto& p) { p[10 + 6 + 2 + 28 + 36] = 2; }));
}

// A declared section count far beyond the payload fails at once, without
// reserving room for it (0x20000001 sections of 8 bytes are 8 bytes in
// 32-bit arithmetic).
TEST(ListPayloadTest, HugeSectionCountFailsWithoutAllocatingForIt) {
  for (uint32_t count : {0x7FFFFFFFu, 0xFFFFFFFFu, 0x20000001u, 2u}) {
    std::vector<uint8_t> payload = header(3, 1, 1);
    putEntry(payload, {}, false, false, hashOf(1).bytes());
    // Over the section count of 0 that putEntry wrote.
    const size_t countAt = payload.size() - 4;
    for (int b = 0; b < 4; ++b) payload[countAt + b] = static_cast<uint8_t>(count >> (8 * b));
    putU32(payload, 7);  // one section number and an empty hash field
    putU32(payload, 0);
    std::optional<FileList> list;
    EXPECT_NO_THROW(list = parseList(payload)) << count;
    EXPECT_FALSE(list) << count;
  }
}

TEST(ListPayloadTest, HashesShorterThanSha256AreKeptExactly) {
  std::vector<uint8_t> payload = header(3, 1, 1);
  putEntry(payload, bytesOf({0, 0x61}), false, false, bytesOf({1, 2, 3}));
  std::optional<FileList> list = parseList(payload);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->entry(0).contentHash.size(), 3u);
  EXPECT_EQ(ByteBuffer(payload), serializeList(*list, 3));
}

TEST(ListPayloadTest, BytesAfterTheLastEntryAreIgnored) {
  ByteBuffer payload = serializeList(test::sampleList(), 1);
  payload.appendU32(0xDEADBEEF);
  std::optional<FileList> list = parseList(payload.span());
  ASSERT_TRUE(list);
  expectSameEntries(test::sampleList(), *list);
}

}  // namespace
}  // namespace vl
