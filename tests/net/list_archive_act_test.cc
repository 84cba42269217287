// The list and archive exchanges against the server side of the wire
// library: each start is admitted as the server admits it, each request
// opened as the server opens it, and the answers built by hand, so that
// every shape an answer can have is reached.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/usage_files.h"
#include "model/list_cache.h"
#include "model/list_record.h"
#include "net/archive_act.h"
#include "net/chunk_framing.h"
#include "net/list_request_act.h"
#include "net/start_admission.h"
#include "start_test_util.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::Bytes;

struct RecordingList : ListRequestMainAction {
  std::vector<std::string> statuses;
  std::string swedish, english;
  int failures = 0, closed = 0, ready = 0;
  void reset() {
    statuses.clear();
    swedish.clear();
    english.clear();
    failures = closed = ready = 0;
  }
  void showStatus(std::string_view text) override { statuses.emplace_back(text); }
  void listFailed(std::string_view sv, std::string_view en) override {
    swedish = sv;
    english = en;
    ++failures;
  }
  void closeView() override { ++closed; }
  void listReady() override { ++ready; }
};

struct RecordingArchive : ArchiveMainAction {
  std::string swedish, english;
  int failures = 0, done = 0;
  uint32_t kind = 0;
  std::vector<ArchivedCopy> copies;
  void reset() {
    swedish.clear();
    english.clear();
    failures = done = 0;
    kind = 0;
    copies.clear();
  }
  void showArchiveMessage(std::string_view sv, std::string_view en) override {
    swedish = sv;
    english = en;
    ++failures;
  }
  void archiveDone(uint32_t k, const std::vector<ArchivedCopy>& c) override {
    kind = k;
    copies = c;
    ++done;
  }
};

// The server's half of one exchange: admission, the requests as opened.
class ServerSide {
 public:
  explicit ServerSide(test::StartWorld& world) : world_(world), keys_(&world.keys.pool) {}

  // Builds the exchange's start chunk into `keys`/`dh` and admits it.
  void admit(ExchangeKeys* keys, ByteBuffer* dh) {
    BuiltStart built;
    ASSERT_TRUE(buildStartChunk(world_.input(true), world_.server, &world_.keys.pool, keys, &built));
    *dh = std::move(built.dhExponent);
    sequence_.reset();
    admission_ = admitStart(built.chunk.span(), world_.serverPrivate, test::kKeyNumber,
                            world_.lookup(), &world_.keys.pool, &keys_);
    ASSERT_EQ(admission_.code, StartAnswerCode::kAdmitted);
  }
  ByteBuffer startupAnswer(StartAnswerCode code = StartAnswerCode::kAdmitted) {
    return buildStartupAnswer(code, code == StartAnswerCode::kAdmitted,
                              admission_.serverDhValue.span(), keys_);
  }
  // The request as the server opens it; its plaintext after the number.
  ByteBuffer open(ByteBuffer request, ChunkType type) {
    OpenedChunk opened;
    EXPECT_EQ(openRequest(std::move(request), type, true, keys_, sequence_, &opened),
              OpenStatus::kOpened);
    last_ = opened.number;
    return ByteBuffer(opened.plaintext.span().subspan(4));
  }
  ByteBuffer answer(ChunkType type, const ByteBuffer& fields, bool encrypt = true) {
    ByteBuffer plaintext;
    plaintext.appendU32(last_);
    plaintext.appendBytes(fields);
    return buildChunk(type, std::move(plaintext), encrypt, keys_);
  }
  const ExchangeKeys& keys() const { return keys_; }

 private:
  test::StartWorld& world_;
  ExchangeKeys keys_;
  ChunkSequence sequence_;
  StartAdmission admission_;
  uint32_t last_ = 0;
};

const Bytes kLocalKey(32, 0x11);

class ListRequestActTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(world.keys.ok); }

  // A new exchange, admitted; returns the first request's selector.
  void begin(ListRequest request) {
    request.cacheFolder = dir.path();
    callbacks.reset();
    copies.clear();
    act = std::make_unique<ListRequestAct>(&callbacks, &world.keys.pool, kLocalKey, request,
                                           &cancel, &copies);
    server.admit(&act->keys(), &act->dhExponent());
    ASSERT_TRUE(act->dispatch(server.startupAnswer(), &request_, &longWait));
  }
  // The selector and flag of the request in flight.
  std::pair<uint32_t, uint8_t> asked() {
    ByteBuffer fields = server.open(std::move(request_), ChunkType::kFileListRequest);
    EXPECT_EQ(fields.size(), 5u);
    const uint32_t selector = fields.readU32();
    return {selector, fields.readU8()};
  }
  ByteBuffer record(uint8_t fill) {
    return sealList(Bytes(40, fill), kLocalKey, world.keys.pool);
  }
  ByteBuffer present(const ByteBuffer& listRecord, uint32_t time, uint64_t size = 5) {
    ByteBuffer fields;
    fields.appendU16(0);
    fields.appendU8(1);
    fields.appendCounted(listRecord);
    fields.appendU32(time);
    fields.appendU32(3);
    fields.appendU64HighFirst(size);
    return fields;
  }
  ByteBuffer absent() {
    ByteBuffer fields;
    fields.appendU16(0);
    fields.appendU8(0);
    return fields;
  }
  // Hands the answer over; whether the exchange goes on.
  bool reply(const ByteBuffer& fields) {
    return act->dispatch(server.answer(ChunkType::kFileListRequestResponse, fields), &request_,
                         &longWait);
  }

  test::TempDir dir;
  test::StartWorld world;
  ServerSide server{world};
  RecordingList callbacks;
  std::atomic<uint8_t> cancel{0};
  std::vector<StoredCopy> copies;
  std::unique_ptr<ListRequestAct> act;
  ByteBuffer request_;
  bool longWait = false;
};

TEST_F(ListRequestActTest, AWantedCountOfThreeAsksForSelectorsZeroToTwoAndEnds) {
  begin({3, false});
  for (uint32_t selector = 0; selector < 3; ++selector) {
    EXPECT_EQ(asked(), std::make_pair(selector, uint8_t{0}));
    EXPECT_EQ(reply(present(record(1), 100 + selector)), selector < 2);
  }
  EXPECT_EQ(callbacks.ready, 1);
  EXPECT_EQ(callbacks.failures, 0) << callbacks.english;
  ASSERT_EQ(copies.size(), 3u);
  EXPECT_EQ(copies[2], (StoredCopy{102, 3, 5}));
  EXPECT_EQ(callbacks.statuses,
            (std::vector<std::string>{"Laddar ned information om kopia:  2",
                                      "Laddar ned information om kopia:  3"}));
  // Without with-lists nothing is cached.
  EXPECT_EQ(cachedListCount(dir.path()), 0u);
  EXPECT_FALSE(std::filesystem::exists(cachedListPath(0, dir.path())));
}

TEST_F(ListRequestActTest, WithoutACountItGoesOnUntilNoCopyIsPresent) {
  begin({0, true});
  for (uint32_t selector = 0; selector < 4; ++selector) {
    EXPECT_EQ(asked(), std::make_pair(selector, uint8_t{1}));
    ASSERT_TRUE(reply(present(record(static_cast<uint8_t>(selector)), 100, uint64_t{1} << 33)));
  }
  EXPECT_EQ(asked().first, 4u);
  EXPECT_FALSE(reply(absent()));
  EXPECT_EQ(callbacks.ready, 1);
  EXPECT_EQ(callbacks.failures, 0) << callbacks.english;
  EXPECT_EQ(copies.size(), 4u);
  EXPECT_EQ(copies[0].size, uint64_t{1} << 33);
  // Each list is kept as received, still sealed, under its selector.
  EXPECT_EQ(cachedListCount(dir.path()), 4u);
  for (uint32_t n = 0; n < 4; ++n) {
    const ByteBuffer kept = readCachedList(n, dir.path());
    const std::optional<ByteBuffer> opened = openList(kept.span(), kLocalKey);
    ASSERT_TRUE(opened) << n;
    EXPECT_EQ(test::bytesOf(opened->span()), Bytes(40, static_cast<uint8_t>(n)));
  }
}

TEST_F(ListRequestActTest, AnAbsentCopyWithAWantedCountIsNotFound) {
  begin({2, false});
  asked();
  ASSERT_TRUE(reply(present(record(1), 100)));
  asked();
  EXPECT_FALSE(reply(absent()));
  EXPECT_EQ(callbacks.ready, 0);
  EXPECT_EQ(callbacks.english, "Error: Requested copy not found on server.");
  EXPECT_EQ(callbacks.swedish, "Fel: Efterfrågad kopia fanns ej på servern.");
}

TEST_F(ListRequestActTest, TheCancelByteEndsTheExchangeWhenTheNextAnswerArrives) {
  begin({0, true});
  asked();
  cancel.store(1);
  EXPECT_FALSE(reply(present(record(1), 100)));
  EXPECT_EQ(callbacks.closed, 1);
  EXPECT_EQ(callbacks.ready, 0);
  EXPECT_TRUE(copies.empty());
  EXPECT_EQ(cachedListCount(dir.path()), 0u);
}

TEST_F(ListRequestActTest, AnswersThatFailTheirChecksEndTheExchange) {
  struct Case {
    const char* name;
    std::function<ByteBuffer()> fields;
    const char* english;
  };
  const Case cases[] = {
      {"result 1", [] { ByteBuffer f; f.appendU16(1); return f; }, "Error: Unknown error."},
      {"present 2", [] { ByteBuffer f; f.appendU16(0); f.appendU8(2); return f; },
       "Error: Internal transfer error."},
      {"absent with bytes after", [&] { ByteBuffer f = absent(); f.appendU32(0); return f; },
       "Error: Internal transfer error."},
      {"size cut short", [&] {
         ByteBuffer f = present(record(1), 100);
         return ByteBuffer(f.span().first(f.size() - 1));
       }, "Error: Internal transfer error."},
      {"record of another key", [&] {
         return present(sealList(Bytes(40, 1), Bytes(32, 0x12), world.keys.pool), 100);
       }, "Internal error (10)."},
  };
  for (const Case& c : cases) {
    begin({0, true});
    asked();
    EXPECT_FALSE(reply(c.fields())) << c.name;
    EXPECT_EQ(callbacks.failures, 1) << c.name;
    EXPECT_EQ(callbacks.english, c.english) << c.name;
    EXPECT_EQ(cachedListCount(dir.path()), 0u) << c.name;
  }
}

TEST_F(ListRequestActTest, AnAnswerUnderAnotherNumberOrUnencryptedIsRefused) {
  begin({0, false});
  asked();
  ByteBuffer plain = present(record(1), 100);
  ByteBuffer plaintext;
  plaintext.appendU32(1);
  plaintext.appendBytes(plain);
  EXPECT_FALSE(act->dispatch(
      buildChunk(ChunkType::kFileListRequestResponse, std::move(plaintext), false, server.keys()),
      &request_, &longWait));
  EXPECT_EQ(callbacks.english, "Error: Internal encryption error.");

  begin({0, false});
  asked();
  ASSERT_TRUE(reply(present(record(1), 100)));
  // The answer to selector 0 played again in place of the one to selector 1.
  ByteBuffer replayed;
  replayed.appendU32(1);
  replayed.appendBytes(present(record(1), 100));
  EXPECT_FALSE(act->dispatch(buildChunk(ChunkType::kFileListRequestResponse, std::move(replayed),
                                        true, server.keys()),
                             &request_, &longWait));
  EXPECT_EQ(callbacks.english, "Error: Internal transfer error.");
}

class ArchiveActTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(world.keys.ok); }

  // Starts an exchange; the ArchiveChunk's fields as the server reads them.
  ByteBuffer begin(uint32_t mode, std::vector<uint32_t> numbers) {
    callbacks.reset();
    act = std::make_unique<ArchiveAct>(&callbacks, &world.keys.pool, mode, std::move(numbers),
                                       dir.file("usage.bin"));
    server.admit(&act->keys(), &act->dhExponent());
    ByteBuffer request;
    longWait = false;
    EXPECT_TRUE(act->dispatch(server.startupAnswer(), &request, &longWait));
    return server.open(std::move(request), ChunkType::kArchive);
  }
  ByteBuffer listed(std::vector<std::vector<uint32_t>> records, uint16_t result = 0) {
    ByteBuffer f;
    f.appendU16(result);
    if (result != 0) return f;
    ByteBuffer field;
    field.appendU32(static_cast<uint32_t>(records.size()));
    for (const auto& r : records) {
      for (uint32_t v : r) field.appendU32(v);
    }
    f.appendCounted(field);
    f.appendU64HighFirst((uint64_t{3} << 32) + 9);
    f.appendU32(7);
    f.appendU32(40);
    return f;
  }
  bool reply(const ByteBuffer& fields, bool encrypt = true) {
    ByteBuffer next;
    return act->dispatch(server.answer(ChunkType::kArchiveResponse, fields, encrypt), &next,
                         &longWait);
  }

  test::TempDir dir;
  test::StartWorld world;
  ServerSide server{world};
  RecordingArchive callbacks;
  std::unique_ptr<ArchiveAct> act;
  bool longWait = false;
};

TEST_F(ArchiveActTest, ListingSendsModeOneAndHandsTheRecordsOverWithTheUsage) {
  ByteBuffer request = begin(kArchiveList, {});
  EXPECT_EQ(request.readU32(), 1u);
  EXPECT_EQ(request.readU32(), 4u);  // the field: a count of 0
  EXPECT_EQ(request.readU32(), 0u);
  EXPECT_EQ(request.size(), 12u);
  EXPECT_FALSE(longWait);
  EXPECT_FALSE(reply(listed({{9, 1000, 4, 1, 2}, {8, 900, 3, 0, 7}})));
  EXPECT_EQ(callbacks.failures, 0) << callbacks.english;
  EXPECT_EQ(callbacks.kind, kArchiveList);
  ASSERT_EQ(callbacks.copies.size(), 2u);
  EXPECT_EQ(callbacks.copies[0].values[0], 9u);
  EXPECT_EQ(callbacks.copies[0].values[1], 1000u);
  EXPECT_EQ(callbacks.copies[0].values[2], 4u);
  EXPECT_EQ(callbacks.copies[0].size, (uint64_t{1} << 32) + 2);
  EXPECT_EQ(callbacks.copies[1].values[0], 8u);
  const ServerUsage usage = readServerUsage(dir.file("usage.bin"));
  EXPECT_EQ(usage.used_bytes, (uint64_t{3} << 32) + 9);
  EXPECT_EQ(usage.copies, 7u);
  EXPECT_EQ(usage.reserved_gib, 40u);
}

TEST_F(ArchiveActTest, DeletingSendsTheCopyNumbersAndWaitsLong) {
  ByteBuffer request = begin(kArchiveDelete, {4, 2});
  EXPECT_EQ(request.readU32(), 2u);
  EXPECT_EQ(request.readU32(), 12u);
  EXPECT_EQ(request.readU32(), 2u);
  EXPECT_EQ(request.readU32(), 4u);
  EXPECT_EQ(request.readU32(), 2u);
  EXPECT_TRUE(longWait);
  EXPECT_FALSE(reply(listed({{5, 1000, 4, 0, 2}})));
  EXPECT_EQ(callbacks.kind, kArchiveDelete);
  EXPECT_EQ(callbacks.copies.size(), 1u);
}

TEST_F(ArchiveActTest, AWrongNumberAndOtherFailuresAreToldAndStoreNothing) {
  struct Case {
    const char* name;
    ByteBuffer fields;
    bool encrypt;
    const char* english;
    const char* swedish;
  };
  ByteBuffer tooFew = listed({{5, 1000, 4, 0, 2}});
  tooFew[2 + 4] = 2;  // the count says two records
  ByteBuffer partRecord = listed({});
  partRecord = listed({{5, 1000, 4, 0}});
  ByteBuffer trailing = listed({});
  trailing.appendU8(0);
  const Case cases[] = {
      {"result 4", listed({}, 4), true, "Error: Att least one incorrect index value.",
       "Fel: Felaktigt index på minst ett värde."},
      {"result 2", listed({}, 2), true, "Error: Unknown error.",
       "Fel: Ett oväntat fel har inträffat."},
      {"count above the records", tooFew, true, "Error: Internal transfer error.",
       "Fel: Internt protokollfel."},
      {"a record of four values", partRecord, true, "Error: Internal transfer error.",
       "Fel: Internt protokollfel."},
      {"a byte after the usage", trailing, true, "Error: Internal transfer error.",
       "Fel: Internt protokollfel."},
      {"not encrypted", listed({}), false, "Error: Internal encryption error.",
       "Fel: Internt krypteringsfel."},
  };
  for (const Case& c : cases) {
    begin(kArchiveDelete, {1});
    EXPECT_FALSE(reply(c.fields, c.encrypt)) << c.name;
    EXPECT_EQ(callbacks.done, 0) << c.name;
    EXPECT_EQ(callbacks.english, c.english) << c.name;
    EXPECT_EQ(callbacks.swedish, c.swedish) << c.name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("usage.bin")));
}

// The figures only inform; a deletion the server made is reported as made
// even when they cannot be written.
TEST_F(ArchiveActTest, UsageThatCannotBeWrittenDoesNotHideTheAnswer) {
  callbacks.reset();
  act = std::make_unique<ArchiveAct>(&callbacks, &world.keys.pool, kArchiveDelete,
                                     std::vector<uint32_t>{3}, dir.file("missing/usage.bin"));
  server.admit(&act->keys(), &act->dhExponent());
  ByteBuffer request;
  ASSERT_TRUE(act->dispatch(server.startupAnswer(), &request, &longWait));
  server.open(std::move(request), ChunkType::kArchive);
  EXPECT_FALSE(reply(listed({})));
  EXPECT_EQ(callbacks.done, 1);
  EXPECT_EQ(callbacks.failures, 0);
}

TEST_F(ArchiveActTest, ARefusedStartHasTheArchiveTexts) {
  callbacks.reset();
  act = std::make_unique<ArchiveAct>(&callbacks, &world.keys.pool, kArchiveList,
                                     std::vector<uint32_t>{}, dir.file("usage.bin"));
  server.admit(&act->keys(), &act->dhExponent());
  ByteBuffer request;
  EXPECT_FALSE(act->dispatch(server.startupAnswer(StartAnswerCode::kUserNotFound), &request,
                             &longWait));
  EXPECT_EQ(callbacks.swedish, "Fel: Hittade inte användaren på servern.");
}

}  // namespace
}  // namespace vl
