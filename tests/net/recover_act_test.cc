#include "net/recover_act.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "account_act_test_util.h"
#include "core/usage_files.h"
#include "net/start_admission.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::Bytes;

struct RecordingRecover : RecoverMainAction {
  std::string swedish, english;
  int failures = 0;
  int successes = 0;
  void recoverFailed(std::string_view sv, std::string_view en) override {
    swedish = sv;
    english = en;
    ++failures;
  }
  void recoverSucceeded() override { ++successes; }
};

// The exchange against the server side of the wire library: its start is
// admitted (or refused) and its RecoverChunk opened as the server does.
class RecoverActTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(world.keys.ok);
    files.lastCopy = dir.file(kLastCopyFile);
    files.usage = dir.file(kServerUsageFile);
    begin();
  }

  // A new exchange whose start chunk the server admits.
  void begin() {
    act = std::make_unique<RecoverAct>(&callbacks, &world.keys.pool, files);
    BuiltStart built;
    ASSERT_TRUE(buildStartChunk(world.input(true), world.server, &world.keys.pool, &act->keys(),
                                &built));
    act->dhExponent() = std::move(built.dhExponent);
    serverSequence.reset();
    admission = admitStart(built.chunk.span(), world.serverPrivate, test::kKeyNumber,
                           world.lookup(), &world.keys.pool, &serverKeys);
    ASSERT_EQ(admission.code, StartAnswerCode::kAdmitted);
  }

  // The startup answer with `code`; for an admission, the RecoverChunk that
  // the exchange sends back, opened as the server opens it.
  bool startWith(StartAnswerCode code) {
    const ByteBuffer answer = buildStartupAnswer(code, code == StartAnswerCode::kAdmitted,
                                                 admission.serverDhValue.span(), serverKeys);
    ByteBuffer request;
    bool longWait = false;
    if (!act->dispatch(answer, &request, &longWait)) return false;
    OpenedChunk opened;
    EXPECT_EQ(openRequest(std::move(request), ChunkType::kRecover, true, serverKeys,
                          serverSequence, &opened),
              OpenStatus::kOpened);
    EXPECT_TRUE(opened.fields().atEnd());
    return true;
  }

  ByteBuffer figures(uint16_t result = 0, uint32_t number = 1) {
    ByteBuffer plaintext;
    plaintext.appendU32(number);
    plaintext.appendU16(result);
    if (result == 0) {
      for (uint32_t v : {1700000000u, 12u, 1u, 5u, 2u, 7u, 3u, 40u}) plaintext.appendU32(v);
    }
    return plaintext;
  }

  // Sends the RecoverResponseChunk; the exchange must end.
  void answer(ByteBuffer plaintext, bool encrypt = true) {
    ByteBuffer chunk = buildChunk(ChunkType::kRecoverResponse, std::move(plaintext), encrypt,
                                  serverKeys);
    ASSERT_FALSE(chunk.empty());
    answerRaw(std::move(chunk));
  }
  void answerRaw(ByteBuffer chunk) {
    ByteBuffer next;
    bool longWait = false;
    EXPECT_FALSE(act->dispatch(std::move(chunk), &next, &longWait));
    EXPECT_TRUE(next.empty());
  }

  void expectNothingStored() {
    EXPECT_EQ(callbacks.successes, 0);
    EXPECT_FALSE(std::filesystem::exists(files.lastCopy));
    EXPECT_FALSE(std::filesystem::exists(files.usage));
  }

  test::TempDir dir;
  test::StartWorld world;
  AccountFiles files;
  RecordingRecover callbacks;
  std::unique_ptr<RecoverAct> act;
  ExchangeKeys serverKeys{&world.keys.pool};
  ChunkSequence serverSequence;
  StartAdmission admission;
};

TEST_F(RecoverActTest, TheFiguresOfTheAnswerBecomeLastAndUsage) {
  ASSERT_TRUE(startWith(StartAnswerCode::kAdmitted));
  answer(figures());
  EXPECT_EQ(callbacks.failures, 0) << callbacks.english;
  EXPECT_EQ(callbacks.successes, 1);
  const LastCopy last = readLastCopy(files.lastCopy);
  EXPECT_EQ(last.time, 1700000000u);
  EXPECT_EQ(last.files, 12u);
  EXPECT_EQ(last.bytes, (uint64_t{1} << 32) + 5);
  const ServerUsage usage = readServerUsage(files.usage);
  EXPECT_EQ(usage.used_bytes, (uint64_t{2} << 32) + 7);
  EXPECT_EQ(usage.copies, 3u);
  EXPECT_EQ(usage.reserved_gib, 40u);
}

TEST_F(RecoverActTest, ARefusedStartEndsWithTheRecoverTextOfItsCode) {
  EXPECT_FALSE(startWith(StartAnswerCode::kOtherInstallation));
  EXPECT_EQ(callbacks.english, "Error: This account is used by another installation.");
  EXPECT_FALSE(startWith(StartAnswerCode::kUserNotFound));
  EXPECT_EQ(callbacks.english, "Error: User not found on server.");
  EXPECT_EQ(callbacks.failures, 2);
  expectNothingStored();
}

TEST_F(RecoverActTest, AnswersThatFailTheirChecksStoreNothing) {
  struct Case {
    const char* name;
    std::function<ByteBuffer()> chunk;
    const char* english;
    const char* swedish;
  };
  auto built = [](ByteBuffer plaintext, bool encrypt, const ExchangeKeys& keys) {
    return buildChunk(ChunkType::kRecoverResponse, std::move(plaintext), encrypt, keys);
  };
  const Case cases[] = {
      {"result 5", [&]() { return built(figures(5), true, serverKeys); },
       "Error: Unknown error.", "Fel: Ett oväntat fel har inträffat."},
      {"old number", [&]() { return built(figures(0, 7), true, serverKeys); },
       "Error: Internal transfer error.", "Fel: Internt protokollfel."},
      {"MAC flipped", [&]() {
         ByteBuffer c = built(figures(), true, serverKeys);
         c[c.size() - 1] ^= 1;
         return c;
       }, "Error: Internal verification error.", "Fel: Internt verifieringsfel."},
      {"not encrypted", [&]() { return built(figures(), false, serverKeys); },
       "Error: Internal encryption error.", "Fel: Internt krypteringsfel."},
      {"a figure short", [&]() {
         ByteBuffer p = figures();
         ByteBuffer shorter(p.span().first(p.size() - 4));
         return built(std::move(shorter), true, serverKeys);
       }, "Error: Internal transfer error.", "Fel: Internt protokollfel."},
      {"a byte after the figures", [&]() {
         ByteBuffer longer = figures();
         longer.appendU8(0);
         return built(std::move(longer), true, serverKeys);
       }, "Error: Internal transfer error.", "Fel: Internt protokollfel."},
  };
  for (const Case& c : cases) {
    begin();
    ASSERT_TRUE(startWith(StartAnswerCode::kAdmitted));
    answerRaw(c.chunk());
    EXPECT_EQ(callbacks.english, c.english) << c.name;
    EXPECT_EQ(callbacks.swedish, c.swedish) << c.name;
  }
  expectNothingStored();
}

TEST_F(RecoverActTest, FiguresThatCannotBeStoredAreNotASuccess) {
  files.usage = dir.file("missing-folder/usage.bin");
  begin();
  ASSERT_TRUE(startWith(StartAnswerCode::kAdmitted));
  answer(figures());
  EXPECT_EQ(callbacks.successes, 0);
  EXPECT_EQ(callbacks.english, "Error: Could not write the account's figures, disc may be full.");
}

}  // namespace
}  // namespace vl
