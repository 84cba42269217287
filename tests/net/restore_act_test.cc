// The restore exchange against the server side of the wire library: starts
// admitted as the server admits them, lists and sections answered from a
// copy sealed with the account's real keys, and the exchange's phases run as
// the connection runs them (dispatch until it ends, then finished).
#include "net/restore_act.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/restore_fixture.h"
#include "core/strict_reader.h"
#include "model/list_payload.h"
#include "model/list_record.h"
#include "net/chunk_framing.h"
#include "model/section_record.h"
#include "net/start_admission.h"
#include "start_test_util.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

namespace fs = std::filesystem;
using test::hashOfBytes;
using test::timesAt;

struct RecordingRestore : RestoreMainAction {
  std::string swedish, english, status;
  int failures = 0, cancels = 0, finishes = 0, reconnects = 0, questions = 0;
  bool answer = true;
  void showStatus(std::string_view, std::string_view en) override { status = en; }
  bool askYesNo(std::string_view, std::string_view, bool) override {
    ++questions;
    return answer;
  }
  void reconnectStarting() override { ++reconnects; }
  void restoreFailed(std::string_view sv, std::string_view en) override {
    swedish = sv;
    english = en;
    ++failures;
  }
  void restoreCancelled() override { ++cancels; }
  void restoreFinished() override { ++finishes; }
};

// Stored copies, newest first, sealed as a backup seals them.
struct ServerCopies {
  struct Copy {
    FileList list;
  };
  std::vector<Copy> copies;  // [0] is the latest
  std::map<uint32_t, ByteBuffer> records;
  std::map<uint32_t, std::string> plains;
  uint32_t next = 1;

  uint32_t section(const std::string& plain, const ByteBuffer& localKey, const RsaKey& key,
                   RandomPool& pool) {
    SectionStats stats;
    const uint32_t number = next++;
    records[number] = sealSection(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()),
        localKey.span(), key, true, pool, &stats);
    plains[number] = plain;
    return number;
  }
  void file(FileList& list, std::u16string_view name, const std::vector<uint32_t>& numbers) {
    std::string content;
    std::vector<ListSection> sections;
    for (uint32_t number : numbers) {
      content += plains.at(number);
      sections.push_back(ListSection{number, hashOfBytes(plains.at(number))});
    }
    list.addFile(name, timesAt(1000000000), hashOfBytes(content), sections);
  }
};

class RestoreActTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(world.keys.ok);
    encrypt = GetParam();
    target = dir.file("target");
    work = dir.file("work");
    fs::create_directories(target);
    fs::create_directories(work);
  }

  // Two copies: the latest has docs/{a,b,c} where b repeats a's sections and
  // c uses one section twice; the older one holds old.txt alone.
  void makeCopies() {
    RandomPool& pool = world.keys.pool;
    const RsaKey& key = world.keys.other;
    const uint32_t s1 = server.section(std::string(5000, 'a') + "one", localKey, key, pool);
    const uint32_t s2 = server.section("second piece", localKey, key, pool);
    const uint32_t s3 = server.section("third", localKey, key, pool);
    FileList latest;
    latest.addFolderStart(u"\\docs");
    server.file(latest, u"\\docs\\a.txt", {s1, s2});
    server.file(latest, u"\\docs\\b.txt", {s1, s2});
    server.file(latest, u"\\docs\\c.txt", {s3, s3});
    latest.addFile(u"\\docs\\empty", timesAt(1000000000), hashOfBytes(""), {});
    latest.addFolderEnd(u"\\docs", timesAt(1000000000));
    FileList older;
    const uint32_t s4 = server.section("an older copy", localKey, key, pool);
    server.file(older, u"\\old.txt", {s4});
    server.copies = {{std::move(latest)}, {std::move(older)}};
  }

  std::unique_ptr<RestoreAct> newAct(RestoreRequest request, bool unwrapAhead = true) {
    request.targetPath = target;
    RestoreActSetup setup;
    setup.callbacks = &callbacks;
    setup.pool = &world.keys.pool;
    setup.server = ServerKey{0, test::kKeyNumber, world.keys.encryption.exportPublic()};
    setup.userNumber = test::kUser;
    setup.signingKey = world.signingKey;
    setup.encrypt = encrypt;
    setup.localKey = localKey;
    setup.writeLog = false;
    setup.cancel = &cancelByte;
    setup.workingDirectory = work;
    setup.workers = 2;
    setup.unwrapAhead = unwrapAhead;
    auto made = std::make_unique<RestoreAct>(std::move(setup), std::move(request));
    EXPECT_TRUE(made->encryptionKey().load(world.keys.other.exportFull().span(), true,
                                           RsaKey::kBits, RsaKeyKind::kEncryption,
                                           &world.keys.pool));
    return made;
  }

  // The start chunk that opens (or reopens) the exchange, admitted.
  ByteBuffer admitted(const ByteBuffer& opening) {
    serverSequence.reset();
    admission = admitStart(opening.span(), world.serverPrivate, test::kKeyNumber, world.lookup(),
                           &world.keys.pool, &serverKeys);
    EXPECT_EQ(admission.code, StartAnswerCode::kAdmitted);
    return buildStartupAnswer(StartAnswerCode::kAdmitted, encrypt, admission.serverDhValue.span(),
                              serverKeys);
  }

  ByteBuffer start(RestoreAct& restore) {
    BuiltStart built;
    EXPECT_TRUE(buildStartChunk(world.input(encrypt, true), world.server, &world.keys.pool,
                                &restore.keys(), &built));
    restore.dhExponent() = std::move(built.dhExponent);
    return admitted(built.chunk);
  }

  ByteBuffer answer(ChunkType type, ByteBuffer plaintext) {
    ByteBuffer chunk = buildChunk(type, std::move(plaintext), encrypt, serverKeys);
    EXPECT_FALSE(chunk.empty());
    return chunk;
  }

  // The server's answer to `request`; `sectionResult` overrides the result
  // of section answers.
  ByteBuffer serve(ByteBuffer request) {
    const ChunkType type = chunkTypeOf(request.span()).value_or(ChunkType::kExchangeStart);
    OpenedChunk opened;
    EXPECT_EQ(openRequest(std::move(request), type, encrypt, serverKeys, serverSequence, &opened),
              OpenStatus::kOpened);
    StrictReader in = opened.fields();
    ByteBuffer out;
    out.appendU32(opened.number);
    if (type == ChunkType::kFileListRequest) {
      uint32_t selector = 0;
      uint8_t flag = 1;
      EXPECT_TRUE(in.readU32(&selector) && in.readU8(&flag) && in.atEnd());
      EXPECT_EQ(flag, 0);
      selectors.push_back(selector);
      out.appendU16(0);
      if (selector >= server.copies.size()) {
        out.appendU8(0);
      } else {
        out.appendU8(1);
        const ByteBuffer record = sealList(serializeList(server.copies[selector].list, 1).span(),
                                           localKey.span(), world.keys.pool);
        out.appendCounted(record);
        for (uint32_t figure : {1700000000u, 3u, 0u, 40u}) out.appendU32(figure);
      }
      return answer(ChunkType::kFileListRequestResponse, std::move(out));
    }
    EXPECT_EQ(type, ChunkType::kFileDataRequest);
    uint32_t number = 0;
    EXPECT_TRUE(in.readU32(&number) && in.atEnd());
    requested.push_back(number);
    auto found = server.records.find(number);
    const ByteBuffer* record = found == server.records.end() ? nullptr : &found->second;
    if (auto swapped = swaps.find(number); swapped != swaps.end()) {
      record = &server.records.at(swapped->second);
    }
    out.appendU16(record == nullptr ? 1 : sectionResult);
    if (record != nullptr && sectionResult == 0) out.appendCounted(*record);
    return answer(ChunkType::kFileDataRequestResponse, std::move(out));
  }

  // Runs the exchange as the connection does, from the startup answer on.
  // `hook` sees each request before the server does; it may replace it
  // (after a reconnect) or stop the run by returning false.
  using Hook = std::function<bool(RestoreAct&, ByteBuffer& request)>;
  void run(RestoreAct& restore, ByteBuffer firstAnswer, const Hook& hook = {}) {
    ByteBuffer toClient = std::move(firstAnswer);
    for (int turns = 0; turns < 1000; ++turns) {
      ByteBuffer request;
      bool longWait = false;
      if (!restore.dispatch(std::move(toClient), &request, &longWait)) {
        restore.finished();
        return;
      }
      if (hook && !hook(restore, request)) return;
      toClient = serve(std::move(request));
    }
    ADD_FAILURE() << "the exchange did not end";
  }

  std::string restored(const std::string& name) { return test::readFile(target + "/" + name); }

  bool temporaryFolderLeft() {
    for (const auto& entry : fs::directory_iterator(work)) {
      if (entry.path().filename().string().rfind("file_data_", 0) == 0) return true;
    }
    return false;
  }

  test::TempDir dir;
  test::StartWorld world;
  bool encrypt = true;
  std::string target, work;
  ByteBuffer localKey{test::Bytes(32, 0x11)};
  RecordingRestore callbacks;
  std::atomic<uint8_t> cancelByte{0};
  ServerCopies server;
  ExchangeKeys serverKeys{&world.keys.pool};
  ChunkSequence serverSequence;
  StartAdmission admission;
  std::vector<uint32_t> selectors, requested;
  std::map<uint32_t, uint32_t> swaps;  // section -> the record sent instead
  uint16_t sectionResult = 0;
};

INSTANTIATE_TEST_SUITE_P(TransportEncryption, RestoreActTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

TEST_P(RestoreActTest, RestoresTheLatestCopyAskingForEachSharedSectionOnce) {
  makeCopies();
  auto restore = newAct({});
  run(*restore, start(*restore));
  EXPECT_EQ(callbacks.failures, 0) << callbacks.english;
  EXPECT_EQ(callbacks.finishes, 1);
  EXPECT_TRUE(restore->succeeded());
  EXPECT_EQ(selectors, std::vector<uint32_t>{0});
  EXPECT_EQ(requested, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(restored("docs/a.txt"), std::string(5000, 'a') + "one" + "second piece");
  EXPECT_EQ(restored("docs/b.txt"), restored("docs/a.txt"));
  EXPECT_EQ(restored("docs/c.txt"), "thirdthird");
  EXPECT_TRUE(fs::exists(target + "/docs/empty"));
  EXPECT_FALSE(temporaryFolderLeft());
}

TEST_P(RestoreActTest, ACopySelectorRestoresThatOlderCopy) {
  makeCopies();
  RestoreRequest request;
  request.copySelector = 1;
  auto restore = newAct(std::move(request));
  run(*restore, start(*restore));
  EXPECT_EQ(callbacks.finishes, 1) << callbacks.english;
  EXPECT_EQ(selectors, std::vector<uint32_t>{1});
  EXPECT_EQ(requested, std::vector<uint32_t>{4});
  EXPECT_EQ(restored("old.txt"), "an older copy");
  EXPECT_FALSE(fs::exists(target + "/docs"));
}

TEST_P(RestoreActTest, ChosenPathsRestoreOnlyTheirEntriesAndTheirSections) {
  makeCopies();
  RestoreRequest request;
  request.paths = {u"docs/c.txt"};
  auto restore = newAct(std::move(request));
  run(*restore, start(*restore));
  EXPECT_EQ(callbacks.finishes, 1) << callbacks.english;
  EXPECT_EQ(requested, std::vector<uint32_t>{3});
  EXPECT_EQ(restored("docs/c.txt"), "thirdthird");
  EXPECT_FALSE(fs::exists(target + "/docs/a.txt"));

  // A name the copy does not hold is told, and nothing is asked for.
  requested.clear();
  RestoreRequest missing;
  missing.paths = {u"docs/nothere"};
  auto other = newAct(std::move(missing));
  run(*other, start(*other));
  EXPECT_EQ(callbacks.english, "Error: The copy holds no file or folder named docs/nothere.");
  EXPECT_TRUE(requested.empty());
}

TEST_P(RestoreActTest, AMissingCopyIsToldByWhetherOneWasNamed) {
  auto latest = newAct({});
  run(*latest, start(*latest));
  EXPECT_EQ(callbacks.english, "Error: No copy found on server!");
  EXPECT_EQ(callbacks.swedish, "Fel: Hittade ingen säkerhetskopia på servern!");

  RestoreRequest request;
  request.copySelector = 3;
  auto older = newAct(std::move(request));
  run(*older, start(*older));
  EXPECT_EQ(callbacks.english, "Error: Cound not find this copy on server!");
  EXPECT_EQ(callbacks.swedish, "Fel: Hittade inte säkerhetskopian på servern!");
  EXPECT_EQ(callbacks.finishes, 0);
  // The exchange's end (the connection releases it) takes the folder away.
  older.reset();
  latest.reset();
  EXPECT_FALSE(temporaryFolderLeft());
}

TEST_P(RestoreActTest, ALostConnectionWhileRequestingAsksForTheKeptSectionAgain) {
  makeCopies();
  auto restore = newAct({});
  // Listing: no reconnect.
  ByteBuffer opening;
  EXPECT_FALSE(restore->reconnect(&opening));

  uint32_t lostAt = 0;
  run(*restore, start(*restore), [&](RestoreAct& act, ByteBuffer& request) {
    if (requested.size() != 1 || lostAt != 0) return true;
    // The request for the second section is lost with the line.
    lostAt = act.requestedSection();
    ByteBuffer reopened;
    EXPECT_TRUE(act.reconnect(&reopened));
    bool longWait = false;
    request.clear();
    EXPECT_TRUE(act.dispatch(admitted(reopened), &request, &longWait));
    return true;
  });
  EXPECT_EQ(lostAt, 2u);
  EXPECT_EQ(requested, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(callbacks.reconnects, 1);
  EXPECT_EQ(callbacks.questions, 0);  // the first loss reconnects without asking
  EXPECT_EQ(callbacks.finishes, 1) << callbacks.english;
  EXPECT_EQ(restored("docs/c.txt"), "thirdthird");
}

TEST_P(RestoreActTest, LaterLossesAskAndStopAtTheLimit) {
  makeCopies();
  auto restore = newAct({});
  run(*restore, start(*restore), [&](RestoreAct& act, ByteBuffer&) {
    if (requested.empty()) return true;  // still listing
    ByteBuffer opening;
    EXPECT_TRUE(act.reconnect(&opening));  // first loss
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(act.reconnect(&opening)) << i;
    EXPECT_FALSE(act.reconnect(&opening));  // a fourth attempt passes the limit of 3
    return false;
  });
  EXPECT_EQ(callbacks.questions, 3);
  callbacks.answer = false;
  requested.clear();
  auto refused = newAct({});
  run(*refused, start(*refused), [&](RestoreAct& act, ByteBuffer&) {
    if (requested.empty()) return true;
    ByteBuffer opening;
    EXPECT_TRUE(act.reconnect(&opening));
    EXPECT_FALSE(act.reconnect(&opening));  // "no"
    return false;
  });
}

TEST_P(RestoreActTest, ACancelWhileRequestingRemovesEveryKeptRecordAndTheFolder) {
  makeCopies();
  auto restore = newAct({});
  bool sawFolder = false;
  run(*restore, start(*restore), [&](RestoreAct&, ByteBuffer&) {
    if (requested.size() == 2) {
      sawFolder = temporaryFolderLeft();
      cancelByte = 1;
    }
    return true;
  });
  EXPECT_TRUE(sawFolder);
  EXPECT_EQ(callbacks.cancels, 1);
  EXPECT_EQ(callbacks.finishes, 0);
  EXPECT_FALSE(temporaryFolderLeft());
  EXPECT_FALSE(fs::exists(target + "/docs"));

  // Set once every section is in: the writing pass stops before it writes.
  cancelByte = 0;
  auto writing = newAct({});
  ByteBuffer toClient = start(*writing);
  for (;;) {
    ByteBuffer request;
    bool longWait = false;
    if (!writing->dispatch(std::move(toClient), &request, &longWait)) break;
    toClient = serve(std::move(request));
  }
  cancelByte = 1;
  writing->finished();
  EXPECT_EQ(callbacks.cancels, 2);
  EXPECT_EQ(callbacks.finishes, 0);
  EXPECT_FALSE(temporaryFolderLeft());
  EXPECT_FALSE(fs::exists(target + "/docs"));
}

// A record that cannot be kept ends the restore and takes the records kept
// so far with it there and then, not only when the exchange object goes.
TEST_P(RestoreActTest, ARecordThatCannotBeKeptRemovesTheKeptRecordsAtOnce) {
  makeCopies();
  auto restore = newAct({});
  fs::path temporary;
  run(*restore, start(*restore), [&](RestoreAct&, ByteBuffer&) {
    if (requested.size() == 1) {
      for (const auto& entry : fs::directory_iterator(work)) {
        if (entry.path().filename().string().rfind("file_data_", 0) == 0) temporary = entry.path();
      }
      // A folder where the next record's file would go: it cannot be made.
      for (int n = 1; n <= 64; ++n) {
        const fs::path name = temporary / ("data_" + std::to_string(n) + ".bin");
        if (!fs::exists(name)) fs::create_directory(name);
      }
    }
    return true;
  });
  ASSERT_FALSE(temporary.empty());
  EXPECT_EQ(callbacks.finishes, 0);
  size_t keptFiles = 0;
  if (fs::exists(temporary)) {
    for (const auto& entry : fs::directory_iterator(temporary)) keptFiles += entry.is_regular_file();
  }
  EXPECT_EQ(keptFiles, 0u) << callbacks.english;
}

TEST_P(RestoreActTest, ARecordOfAnotherSectionFailsTheContentCheckAndLeavesNoFile) {
  makeCopies();
  swaps[3] = 4;  // a sound record of the account, but not c.txt's
  auto restore = newAct({});
  run(*restore, start(*restore));
  EXPECT_EQ(callbacks.finishes, 0);
  EXPECT_EQ(callbacks.english.rfind("Internal error (10). (\\docs\\c.txt: the restored content "
                                    "does not match its hash",
                                    0),
            0u)
      << callbacks.english;
  EXPECT_FALSE(fs::exists(target + "/docs/c.txt"));
  EXPECT_FALSE(temporaryFolderLeft());
}

TEST_P(RestoreActTest, AnswersThatFailTheirChecksEndWithTheirTexts) {
  makeCopies();
  sectionResult = 2;
  auto restore = newAct({});
  run(*restore, start(*restore));
  EXPECT_EQ(callbacks.english, "Error: Unknown error. (section 1)");
  restore.reset();
  EXPECT_FALSE(temporaryFolderLeft());
  sectionResult = 0;

  // An answer echoing an older number, and a chunk of a type never asked for.
  auto stale = newAct({});
  ByteBuffer request;
  bool longWait = false;
  ASSERT_TRUE(stale->dispatch(start(*stale), &request, &longWait));
  ByteBuffer old;
  old.appendU32(7);
  old.appendU16(0);
  old.appendU8(0);
  EXPECT_FALSE(stale->dispatch(answer(ChunkType::kFileListRequestResponse, std::move(old)),
                               &request, &longWait));
  EXPECT_EQ(callbacks.english, "Error: Internal transfer error.");

  auto wrongType = newAct({});
  ASSERT_TRUE(wrongType->dispatch(start(*wrongType), &request, &longWait));
  ByteBuffer data;
  data.appendU32(1);
  data.appendU16(0);
  callbacks.english.clear();
  EXPECT_FALSE(wrongType->dispatch(answer(ChunkType::kFileDataRequestResponse, std::move(data)),
                                   &request, &longWait));
  EXPECT_EQ(callbacks.english, "Error: Internal transfer error.");
}

TEST_P(RestoreActTest, SecretsAreUnwrappedWhileTheRequestPassWaitsInWholeBatches) {
  // Nine sections: one whole batch is unwrapped while waiting, the ninth is
  // left to the writing pass.
  FileList list;
  for (int i = 0; i < 9; ++i) {
    const std::string plain = "piece " + std::to_string(i);
    const uint32_t number = server.section(plain, localKey, world.keys.other, world.keys.pool);
    server.file(list, u"\\f" + std::u16string(1, static_cast<char16_t>(u'0' + i)), {number});
  }
  server.copies = {{std::move(list)}};
  auto restore = newAct({});
  ByteBuffer toClient = start(*restore);
  for (;;) {
    ByteBuffer request;
    bool longWait = false;
    if (!restore->dispatch(std::move(toClient), &request, &longWait)) break;
    toClient = serve(std::move(request));
  }
  // The network's wait, stood in for by a bounded pause.
  for (int i = 0; i < 500 && restore->secretsUnwrappedAhead() < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const size_t keptBeforeWriting = restore->secretsUnwrappedAhead();
  restore->finished();
  EXPECT_EQ(keptBeforeWriting, 8u);
  EXPECT_EQ(callbacks.finishes, 1) << callbacks.english;
  EXPECT_EQ(restored("f0"), "piece 0");
  EXPECT_EQ(restored("f8"), "piece 8");
}

}  // namespace
}  // namespace vl
