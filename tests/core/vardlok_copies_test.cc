// The list and archive exchanges end to end: vardlok against a real
// vl_server on a free loopback port, after the test has stored copies on the
// server through the wire as a backup's last step does (a FileListChunk
// whose list record is sealed under the account's local key).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/usage_files.h"
#include "crypto/key_files.h"
#include "crypto/random_pool.h"
#include "model/list_cache.h"
#include "model/list_record.h"
#include "net/chunk_framing.h"
#include "net/server_connection.h"
#include "net/server_setting.h"
#include "net/start_chunk.h"
#include "net/startup_answer.h"
#include "platform/clock.h"
#include "platform/os_random.h"
#include "vardlok_process.h"

namespace vl {
namespace {

#ifdef VL_SERVER_PATH

using test::Computer;
using test::RunningServer;

// A stored copy as the test makes it.
struct MadeCopy {
  uint32_t time = 0;
  uint32_t files = 0;
  uint64_t size = 0;
  uint8_t fill = 0;  // the list payload's bytes
  uint16_t copyCount = 20;  // how many newest copies stay current
};

// The last step of a backup and nothing else: once admitted, one
// FileListChunk with an empty section set; the copy is stored when the
// answer's result is 0.
class CopyMaker : public SendAction {
 public:
  // `stored` (which outlives the exchange) is set when the server stored it.
  CopyMaker(RandomPool* pool, ByteBuffer fields, bool* stored)
      : fields_(std::move(fields)), keys_(pool), stored_(stored) {}
  ExchangeKeys& keys() { return keys_; }
  ByteBuffer& dhExponent() { return dh_; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool*) override {
    if (!admitted_) {
      admitted_ = handleStartupAnswer(chunk.span(), ExchangeKind::kBackup, true, &keys_, &dh_)
                      .outcome == StartupOutcome::kAdmitted;
      if (!admitted_) return false;
      ByteBuffer plaintext = startRequestPlaintext(sequence_);
      plaintext.appendBytes(fields_);
      *answer = buildChunk(ChunkType::kFileList, std::move(plaintext), true, keys_);
      return !answer->empty();
    }
    OpenedChunk opened;
    if (openAnswer(std::move(chunk), ChunkType::kFileListResponse, true, keys_, sequence_,
                   &opened) == OpenStatus::kOpened) {
      StrictReader in = opened.fields();
      uint16_t result = 1;
      *stored_ = in.readU16(&result) && result == 0;
    }
    return false;
  }

 private:
  ByteBuffer fields_;
  ExchangeKeys keys_;
  ByteBuffer dh_;
  ChunkSequence sequence_;
  bool admitted_ = false;
  bool* stored_;
};

ByteBuffer emptySet() {
  ByteBuffer set;
  set.appendU32(0);
  return set;
}

// The FileListChunk fields of `copy`, its list sealed under `localKey`.
ByteBuffer copyFields(const MadeCopy& copy, const ByteBuffer& localKey, RandomPool& pool) {
  ByteBuffer out;
  out.appendU32(copy.time);
  out.appendU32(copy.files);
  out.appendU64HighFirst(copy.size);
  out.appendU32(1);  // section counter
  out.appendCounted(sealList(std::vector<uint8_t>(40, copy.fill), localKey.span(), pool));
  out.appendCounted(emptySet());            // A
  out.appendCounted(emptySet());            // B
  out.appendCounted(ByteBuffer(size_t{48}));  // sealed log
  out.appendCounted(ByteBuffer(size_t{32}));  // its tag
  out.appendU16(copy.copyCount);
  out.appendU16(30);
  out.appendCounted(emptySet());  // C
  return out;
}

// A computer with an account on a running server->
class VardlokCopiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<RunningServer>(serverOptions());
    ASSERT_NE(server->port(), 0) << server->log();
    ASSERT_EQ(computer.vardlok({"server", server->address(), "--key-record", server->keyRecord()},
                               &err),
              0)
        << err;
    recovery = computer.home.file("konto.drf");
    ASSERT_EQ(computer.vardlok({"account", "create", recovery, "--name", "Eva", "--organisation",
                                "", "--email", "eva@example.org"},
                               &err),
              0)
        << err << server->log();
    uint8_t seed[32];
    ASSERT_TRUE(osRandomBytes(seed, sizeof seed));
    pool.addBytes(seed, true);
  }

  // Options of `vl_server run` beyond the data folder, address and space.
  virtual std::vector<std::string> serverOptions() const { return {}; }

  // Stores `copy` on the server as the installed account.
  void make(const MadeCopy& copy) {
    std::optional<ServerSetting> setting = chooseServer(computer.workingFile(kServerSettingFile));
    LocalKeyRecord local;
    ByteBuffer installId;
    ASSERT_TRUE(setting && readLocalKey(computer.workingFile(kLocalKeyFile), &local) &&
                readInstallId(computer.workingFile(kInstallIdFile), &installId));
    bool stored = false;
    auto maker =
        std::make_unique<CopyMaker>(&pool, copyFields(copy, local.localKey, pool), &stored);
    BuiltStart built;
    const StartChunkInput input{local.userNumber, installId.span(), local.signingKey.span(), true,
                                true};
    ASSERT_TRUE(buildStartChunk(input, setting->key, &pool, &maker->keys(), &built));
    maker->dhExponent() = std::move(built.dhExponent);
    TransportOptions options;
    options.lastAddressPath = computer.home.file("last_ip.bin");
    ServerConnection connection(setting->endpoint, options);
    ASSERT_TRUE(connection.attach(std::move(built.chunk), std::move(maker)));
    connection.run();
    ASSERT_TRUE(stored) << server->log();
  }

  // The lines of vardlok's standard output.
  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  std::unique_ptr<RunningServer> server;
  Computer computer;
  RandomPool pool;
  std::string recovery, out, err;
};

TEST_F(VardlokCopiesTest, CopiesAreListedNewestFirstAllOrTheWantedCount) {
  EXPECT_EQ(computer.vardlok({"copies", recovery}, &err, &out), 0) << err;
  EXPECT_TRUE(out.empty()) << out;
  EXPECT_NE(err.find("Hittade ingen säkerhetskopia på servern."), std::string::npos) << err;

  for (uint32_t i = 0; i < 5; ++i) {
    make({1700000000 + i * 3600, 10 + i, (uint64_t{i} << 32) + 7, static_cast<uint8_t>(i)});
  }
  ASSERT_EQ(computer.vardlok({"copies", recovery}, &err, &out), 0) << err << server->log();
  std::vector<std::string> listed = lines(out);
  ASSERT_EQ(listed.size(), 5u) << out;
  for (uint32_t n = 0; n < 5; ++n) {
    const uint32_t i = 4 - n;  // newest first
    EXPECT_EQ(listed[n], std::to_string(n) + "\t" + localDateTime(1700000000 + i * 3600) + "\t" +
                             std::to_string(10 + i) + "\t" +
                             std::to_string((uint64_t{i} << 32) + 7))
        << n;
  }
  EXPECT_FALSE(std::filesystem::exists(computer.workingFile(kListCountFile)));

  // A wanted count of 3 asks for selectors 0, 1 and 2 and stops; with the
  // lists kept, each is the sealed record of its copy.
  ASSERT_EQ(computer.vardlok({"copies", recovery, "--count", "3", "--keep-lists"}, &err, &out), 0)
      << err;
  listed = lines(out);
  ASSERT_EQ(listed.size(), 3u) << out;
  EXPECT_EQ(listed[2].substr(0, 2), "2\t");
  EXPECT_EQ(cachedListCount(computer.workingFile("")), 3u);
  RecoveryRecord record;
  ASSERT_TRUE(readRecovery(recovery, &record));
  for (uint32_t n = 0; n < 3; ++n) {
    const ByteBuffer kept = readCachedList(n, computer.workingFile(""));
    const std::optional<ByteBuffer> opened = openList(kept.span(), record.localKey.span());
    ASSERT_TRUE(opened) << n;
    EXPECT_EQ(std::vector<uint8_t>(opened->span().begin(), opened->span().end()),
              std::vector<uint8_t>(40, static_cast<uint8_t>(4 - n)));
  }
  EXPECT_FALSE(std::filesystem::exists(cachedListPath(3, computer.workingFile(""))));

  // More wanted than stored: the missing copy is an error, and the exit says so.
  EXPECT_EQ(computer.vardlok({"copies", recovery, "--count", "6"}, &err, &out), 1);
  EXPECT_NE(err.find("Fel: Efterfrågad kopia fanns ej på servern."), std::string::npos) << err;
}

TEST_F(VardlokCopiesTest, ArchivedCopiesAreListedAndDeletedByCopyNumber) {
  EXPECT_EQ(computer.vardlok({"archive", "list"}, &err, &out), 0) << err << server->log();
  EXPECT_TRUE(out.empty()) << out;
  EXPECT_NE(err.find("Arkivet är tomt."), std::string::npos) << err;

  // With two current copies, copies 1 to 3 of five are archived.
  for (uint32_t i = 0; i < 5; ++i) {
    make({1700000000 + i * 3600, 10 + i, uint64_t{1000} * (i + 1), static_cast<uint8_t>(i), 2});
  }
  auto archived = [&]() {
    EXPECT_EQ(computer.vardlok({"archive", "list"}, &err, &out), 0) << err << server->log();
    std::vector<std::string> numbers;
    for (const std::string& line : lines(out)) numbers.push_back(line.substr(0, line.find('\t')));
    return numbers;
  };
  EXPECT_EQ(archived(), (std::vector<std::string>{"3", "2", "1"}));
  EXPECT_EQ(lines(out)[0], "3\t" + localDateTime(1700000000 + 2 * 3600) + "\t12\t3000");
  ServerUsage usage = readServerUsage(computer.workingFile(kServerUsageFile));
  EXPECT_EQ(usage.copies, 5u);
  EXPECT_EQ(usage.reserved_gib, 40u);

  EXPECT_EQ(computer.vardlok({"archive", "delete", "2"}, &err, &out), 0) << err << server->log();
  EXPECT_EQ(archived(), (std::vector<std::string>{"3", "1"}));
  EXPECT_EQ(readServerUsage(computer.workingFile(kServerUsageFile)).copies, 4u);

  // A number that is no archived copy's (deleted, current, never given)
  // refuses the whole deletion.
  for (const char* wrong : {"2", "5", "99"}) {
    EXPECT_EQ(computer.vardlok({"archive", "delete", "3", wrong}, &err, &out), 1) << wrong;
    EXPECT_NE(err.find("Fel: Felaktigt index på minst ett värde."), std::string::npos) << err;
  }
  EXPECT_EQ(archived(), (std::vector<std::string>{"3", "1"}));
  // The current copies stay listed for restores.
  EXPECT_EQ(computer.vardlok({"copies", recovery}, &err, &out), 0) << err;
  EXPECT_EQ(lines(out).size(), 4u) << out;
}

// A server that keeps every copy for 30 days refuses to delete archived
// copies, and the client says so and fails rather than report a deletion.
class ProtectedCopiesTest : public VardlokCopiesTest {
 protected:
  std::vector<std::string> serverOptions() const override { return {"--protect-days", "30"}; }
};

TEST_F(ProtectedCopiesTest, ADeletionTheServerRefusesIsAFailure) {
  for (uint32_t i = 0; i < 3; ++i) {
    make({1700000000 + i * 3600, 1, 1, static_cast<uint8_t>(i), 1});
  }
  EXPECT_EQ(computer.vardlok({"archive", "delete", "1"}, &err, &out), 1) << server->log();
  EXPECT_NE(err.find("Fel: Ett oväntat fel har inträffat."), std::string::npos) << err;
  EXPECT_EQ(computer.vardlok({"archive", "list"}, &err, &out), 0) << err;
  EXPECT_EQ(lines(out).size(), 2u) << out;
}

// The commands show what a real backup left: vl_client backup copies the
// selected folder, then copies, usage and history agree with it.
TEST_F(VardlokCopiesTest, AScheduledBackupIsSeenByCopiesUsageAndHistory) {
  const std::string folder = computer.home.file("Docs");
  std::filesystem::create_directories(folder + "/sub");
  test::writeFile(folder + "/a.txt", std::string(5000, 'a'));
  test::writeFile(folder + "/sub/b.txt", "bb");
  ASSERT_EQ(computer.vardlok({"folders", "add", folder}, &err), 0) << err;
  ASSERT_EQ(computer.program(VL_CLIENT_PATH, {"backup"}, &err), 0) << err << server->log();

  ASSERT_EQ(computer.vardlok({"copies", recovery}, &err, &out), 0) << err;
  const std::vector<std::string> listed = lines(out);
  ASSERT_EQ(listed.size(), 1u) << out;
  EXPECT_NE(listed[0].find("\t2\t5002"), std::string::npos) << listed[0];
  const LastCopy last = readLastCopy(computer.workingFile(kLastCopyFile));
  EXPECT_EQ(listed[0].substr(0, 2 + 19), "0\t" + localDateTime(last.time));

  ASSERT_EQ(computer.vardlok({"usage"}, &err, &out), 0) << err;
  EXPECT_NE(out.find("Antal lagrade kopior: 1\n"), std::string::npos) << out;
  EXPECT_EQ(err.find("Varning!"), std::string::npos) << err;
  ASSERT_EQ(computer.vardlok({"history"}, &err, &out), 0) << err;
  EXPECT_NE(out.find("\t2\t5002\tKopiering slutförd utan fel.\n"), std::string::npos) << out;
}

#endif  // VL_SERVER_PATH

}  // namespace
}  // namespace vl
