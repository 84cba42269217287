// Backups over the wire against the real vl_server on a free loopback port:
// vl_client backup and vardlok backup as processes, and the backup exchange
// in this process behind a proxy of the test's own that cuts connections
// and drops answers where a test says. Every copy is read back over the
// wire and compared with the folder it came from.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "support/loopback.h"
#include "vardlok_process.h"
#include "core/copy_progress_file.h"
#include "core/exit_codes.h"
#include "core/folders_file.h"
#include "core/state_files.h"
#include "core/usage_files.h"
#include "crypto/key_files.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "engine/copy_log.h"
#include "engine/restart_state.h"
#include "model/list_payload.h"
#include "model/list_record.h"
#include "model/section_record.h"
#include "model/utf16.h"
#include "net/backup_act.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/server_connection.h"
#include "net/server_setting.h"
#include "net/startup_answer.h"
#include "platform/os_random.h"

namespace vl {
namespace {

#ifdef VL_SERVER_PATH

using test::Computer;
using test::RunningServer;
using Files = std::map<std::string, std::string>;

std::string pattern(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

// Every file below `root`, by its path relative to root's parent, with the
// copy's separators ("\tree\a").
Files filesBelow(const std::string& root) {
  Files files;
  const std::filesystem::path base = std::filesystem::path(root).parent_path();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::string name = "/" + std::filesystem::relative(entry.path(), base).string();
    for (char& c : name) c = c == '/' ? '\\' : c;
    files[name] = test::readFile(entry.path().string());
  }
  return files;
}

RandomPool& creditedPool() {
  static RandomPool* pool = [] {
    auto* made = new RandomPool;
    uint8_t seed[64];
    osRandomBytes(seed, sizeof seed);
    made->addBytes(std::span<const uint8_t>(seed, sizeof seed), true);
    return made;
  }();
  return *pool;
}

// Reads a stored copy back over the wire as a restore does: the list
// request with `selector`, then every section the list names, each opened
// with the recovery file's keys.
class CopyFetcher : public SendAction {
 public:
  CopyFetcher(const RecoveryRecord& recovery, uint32_t selector, Files* out, bool* done)
      : keys_(&creditedPool()), selector_(selector), out_(out), done_(done) {
    local_key_ = recovery.localKey;
    key_.load(recovery.encryptionKey.span(), true, RsaKey::kBits, RsaKeyKind::kEncryption,
              &creditedPool());
  }
  ExchangeKeys& keys() { return keys_; }
  ByteBuffer& dhExponent() { return dh_; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool*) override {
    if (!admitted_) {
      if (handleStartupAnswer(chunk.span(), ExchangeKind::kRestore, true, &keys_, &dh_).outcome !=
          StartupOutcome::kAdmitted) {
        return false;
      }
      admitted_ = true;
      ByteBuffer plaintext = startRequestPlaintext(sequence_);
      plaintext.appendU32(selector_);
      plaintext.appendU8(0);
      *answer = buildChunk(ChunkType::kFileListRequest, std::move(plaintext), true, keys_);
      return true;
    }
    OpenedChunk opened;
    if (!list_) {
      if (openAnswer(std::move(chunk), ChunkType::kFileListRequestResponse, true, keys_, sequence_,
                     &opened) != OpenStatus::kOpened) {
        return false;
      }
      StrictReader in = opened.fields();
      uint16_t result = 1;
      uint8_t present = 0;
      std::span<const uint8_t> record;
      if (!in.readU16(&result) || result != 0 || !in.readU8(&present) || present == 0 ||
          !in.readCounted(&record)) {
        return false;
      }
      std::optional<ByteBuffer> payload = openList(record, local_key_.span());
      if (!payload) return false;
      list_ = parseList(payload->span());
      if (!list_) return false;
      for (const FileListEntry& entry : list_->entries()) {
        for (const ListSection& section : entry.sections) wanted_.insert(section.number);
      }
      next_ = wanted_.begin();
      return requestNext(answer);
    }
    if (openAnswer(std::move(chunk), ChunkType::kFileDataRequestResponse, true, keys_, sequence_,
                   &opened) != OpenStatus::kOpened) {
      return false;
    }
    StrictReader in = opened.fields();
    uint16_t result = 1;
    std::span<const uint8_t> record;
    if (!in.readU16(&result) || result != 0 || !in.readCounted(&record)) return false;
    std::optional<ByteBuffer> plain = openSection(record, local_key_.span(), key_);
    if (!plain) return false;
    sections_[*next_] = std::string(reinterpret_cast<const char*>(plain->data()), plain->size());
    ++next_;
    return requestNext(answer);
  }

 private:
  bool requestNext(ByteBuffer* answer) {
    if (next_ == wanted_.end()) {
      assemble();
      return false;
    }
    ByteBuffer plaintext = startRequestPlaintext(sequence_);
    plaintext.appendU32(*next_);
    *answer = buildChunk(ChunkType::kFileDataRequest, std::move(plaintext), true, keys_);
    return true;
  }
  void assemble() {
    for (const FileListEntry& entry : list_->entries()) {
      if (!entry.isFile()) continue;
      std::string content;
      for (const ListSection& section : entry.sections) content += sections_[section.number];
      (*out_)[*utf16ToUtf8(entry.name)] = content;
    }
    *done_ = true;
  }

  ExchangeKeys keys_;
  ByteBuffer dh_;
  ByteBuffer local_key_;
  RsaKey key_;
  ChunkSequence sequence_;
  uint32_t selector_;
  bool admitted_ = false;
  std::optional<FileList> list_;
  std::set<uint32_t> wanted_;
  std::set<uint32_t>::iterator next_;
  std::map<uint32_t, std::string> sections_;
  Files* out_;
  bool* done_;
};

ServerEndpoint loopback(int port) {
  ServerEndpoint endpoint;
  endpoint.address = 0x7f000001;
  endpoint.port = static_cast<uint16_t>(port);
  return endpoint;
}

// The files of copy `selector` (0: the latest) as the server gives them back.
std::optional<Files> fetchCopy(const Computer& computer, int port, const std::string& recoveryPath,
                               uint32_t selector = 0) {
  RecoveryRecord recovery;
  std::optional<ServerSetting> setting = chooseServer(computer.workingFile(kServerSettingFile));
  if (!readRecovery(recoveryPath, &recovery) || !setting) return std::nullopt;
  Files files;
  bool done = false;
  auto fetcher = std::make_unique<CopyFetcher>(recovery, selector, &files, &done);
  BuiltStart built;
  const StartChunkInput input{recovery.userNumber, {}, recovery.signingKey.span(), true, true};
  if (!buildStartChunk(input, setting->key, &creditedPool(), &fetcher->keys(), &built)) {
    return std::nullopt;
  }
  fetcher->dhExponent() = std::move(built.dhExponent);
  TransportOptions options;
  options.lastAddressPath = computer.home.file("fetch_last_ip.bin");
  ServerConnection connection(loopback(port), options);
  if (!connection.attach(std::move(built.chunk), std::move(fetcher))) return std::nullopt;
  connection.run();
  if (!done) return std::nullopt;
  return files;
}

// A proxy between client and server that passes chunks whole and can cut
// the connection instead of passing one. It records what the client sends.
class CuttingProxy {
 public:
  struct Sent {
    int connection;
    ChunkType type;
    std::string payload;  // the payload field as carried
  };
  // Called for every chunk before it is passed on; true cuts the
  // connection instead (the chunk is not passed).
  using Rule = std::function<bool(int connection, bool fromClient, ChunkType type)>;

  CuttingProxy(int serverPort, Rule rule) : server_port_(serverPort), rule_(std::move(rule)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~CuttingProxy() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }
  std::vector<Sent> sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }

 private:
  void serve() {
    for (int connection = 0; !stop_; ) {
      pollfd wait{listener_, POLLIN, 0};
      if (::poll(&wait, 1, 50) <= 0) continue;
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      const int server = test::connectLoopback(static_cast<uint16_t>(server_port_));
      if (server >= 0) {
        relay(connection++, client, server);
      }
      ::close(client);
      if (server >= 0) ::close(server);
    }
  }

  // Passes whole chunks both ways until either side closes or a rule cuts.
  void relay(int connection, int client, int server) {
    std::string pending[2];
    const int from[2] = {client, server};
    const int to[2] = {server, client};
    while (!stop_) {
      pollfd wait[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(wait, 2, 50) <= 0) continue;
      for (int side = 0; side < 2; ++side) {
        if ((wait[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char piece[65536];
        const ssize_t n = ::read(from[side], piece, sizeof piece);
        if (n <= 0) return;
        pending[side].append(piece, static_cast<size_t>(n));
        while (pending[side].size() >= kChunkHeaderSize) {
          const auto* bytes = reinterpret_cast<const uint8_t*>(pending[side].data());
          const uint32_t total = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | uint32_t{bytes[7]} << 24;
          if (pending[side].size() < total) break;
          const std::optional<ChunkType> type =
              chunkTypeOf(std::span<const uint8_t>(bytes, total));
          if (type && rule_(connection, side == 0, *type)) return;
          if (side == 0 && type) record(connection, *type, pending[side].substr(0, total));
          size_t written = 0;
          while (written < total) {
            const ssize_t w = ::send(to[side], pending[side].data() + written, total - written, MSG_NOSIGNAL);
            if (w <= 0) return;
            written += static_cast<size_t>(w);
          }
          pending[side].erase(0, total);
        }
      }
    }
  }
  void record(int connection, ChunkType type, const std::string& chunk) {
    ChunkFields fields;
    const auto* bytes = reinterpret_cast<const uint8_t*>(chunk.data());
    std::string payload;
    if (readFields(std::span<const uint8_t>(bytes, chunk.size()), &fields)) {
      payload.assign(reinterpret_cast<const char*>(fields.payload.data()), fields.payload.size());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back({connection, type, payload});
  }

  int server_port_;
  Rule rule_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Sent> sent_;
};

// What the exchange told its callbacks, in order.
class RecordingBackup : public BackupMainAction {
 public:
  void copyFailed(std::string_view swedish, std::string_view) override {
    events.push_back("failed:" + std::string(swedish));
  }
  void quotaExceeded() override { events.push_back("quota"); }
  void copyCancelled() override { events.push_back("cancelled"); }
  void copyFinished(const std::vector<std::string>&, bool) override {
    events.push_back("finished");
  }
  bool askYesNo(std::string_view, std::string_view, bool) override { return reconnectAgain; }
  void reconnectStarting() override { events.push_back("reconnect"); }
  bool completed() const { return !events.empty() && events.back() == "finished"; }

  std::vector<std::string> events;
  bool reconnectAgain = true;
};

// One backup exchange in this process, through `port`, from the working
// directory (the current directory meanwhile), with short reconnect waits.
bool backupInProcess(const Computer& computer, const std::string& tree,
                   std::atomic<uint8_t>* cancel, int port, RecordingBackup* callbacks,
                   bool encrypt, bool resume, uint32_t restartSaveSeconds = 60) {
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(computer.workingFile(""));
  LocalKeyRecord local;
  ByteBuffer installId;
  std::optional<ServerSetting> setting = chooseServer();
  EXPECT_TRUE(readLocalKey(kLocalKeyFile, &local) && readInstallId(kInstallIdFile, &installId) &&
              setting);
  BackupActInput input;
  input.callbacks = callbacks;
  input.pool = &creditedPool();
  input.engine.folders = {tree};
  input.engine.restartSaveSeconds = restartSaveSeconds;
  input.cancel = cancel;
  input.localKey = local.localKey;
  input.encryptionPublicKey = local.encryptionPublicKey;
  input.userNumber = local.userNumber;
  input.accountString = installId;
  input.signingKey = local.signingKey;
  input.server = setting->key;
  input.encrypt = encrypt;
  input.resume = resume;
  auto act = std::make_unique<BackupAct>(std::move(input));
  BuiltStart built;
  const StartChunkInput start{local.userNumber, installId.span(), local.signingKey.span(),
                              encrypt, true};
  EXPECT_TRUE(buildStartChunk(start, setting->key, &creditedPool(), &act->keys(), &built));
  act->dhExponent() = std::move(built.dhExponent);
  TransportOptions options;
  options.timings.firstRetryMs = 10;
  options.timings.laterRetryMs = 10;
  ServerConnection connection(loopback(port), options);
  EXPECT_TRUE(connection.attach(std::move(built.chunk), std::move(act)));
  connection.run();
  std::filesystem::current_path(before);
  return callbacks->completed();
}


// An account on `server` for `computer`, with `tree` selected.
class BackupRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server.port(), 0) << server.log();
    std::string errors;
    ASSERT_EQ(computer.vardlok({"server", server.address(), "--key-record", server.keyRecord()},
                               &errors),
              0)
        << errors;
    ASSERT_EQ(computer.vardlok({"account", "create", recovery, "--name", "A", "--organisation",
                                "B", "--email", "c@d"},
                               &errors),
              0)
        << errors << server.log();
    std::filesystem::create_directories(tree + "/sub");
    test::writeFile(tree + "/small.txt", "small");
    test::writeFile(tree + "/sub/two.bin", pattern(2 * 2097152 + 100, 1));
    test::writeFile(tree + "/sub/empty", "");
    for (int i = 0; i < 6; ++i) {
      test::writeFile(tree + "/f" + std::to_string(i), pattern(30000 + i, 10 + i));
    }
    ASSERT_TRUE(writeFolderSelection({tree}, computer.workingFile(kFoldersFile)));
  }

  std::vector<std::string> logTexts() {
    ByteBuffer stored;
    std::vector<CopyLogRecord> records;
    std::vector<std::string> texts;
    if (!stored.loadFromFile(computer.workingFile(kCopyLogFile))) return texts;
    EXPECT_TRUE(parseCopyLog(stored, &records));
    for (const auto& record : records) texts.emplace_back(record.textView());
    return texts;
  }
  bool logHas(const std::string& text) {
    for (const std::string& line : logTexts()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  void expectLatestCopyIsTheTree() {
    std::optional<Files> copy = fetchCopy(computer, server.port(), recovery);
    ASSERT_TRUE(copy) << server.log();
    EXPECT_TRUE(*copy == filesBelow(tree)) << copy->size() << " files came back";
  }

  bool backupInProcess(int port, RecordingBackup* callbacks, bool encrypt, bool resume,
                       uint32_t restartSaveSeconds = 60) {
    return vl::backupInProcess(computer, tree, &cancel, port, callbacks, encrypt, resume,
                               restartSaveSeconds);
  }

  RunningServer server;
  Computer computer;
  test::TempDir data;
  const std::string tree = data.file("tree");
  const std::string recovery = computer.home.file("a.drf");
  std::atomic<uint8_t> cancel{0};
};

TEST_F(BackupRunTest, FirstAndSecondCopyByTheScheduledRunAndFromATerminal) {
  std::string errors;
  ASSERT_EQ(computer.vlClient({"backup"}, &errors), kExitNormal) << errors << server.log();
  expectLatestCopyIsTheTree();
  const LastCopy last = readLastCopy(computer.workingFile(kLastCopyFile));
  EXPECT_NE(last.time, 0u);
  EXPECT_EQ(last.files, 9u);
  EXPECT_EQ(last.bytes, 2 * 2097152 + 100 + 5 + 6 * 30000 + 15);
  const ServerUsage usage = readServerUsage(computer.workingFile(kServerUsageFile));
  EXPECT_EQ(usage.copies, 1u);
  EXPECT_EQ(usage.reserved_gib, 40u);
  EXPECT_GT(usage.used_bytes, 0u);
  EXPECT_EQ(readCurrentUpload(computer.workingFile(kCurrentUploadFile)), 0u);
  RestartState left;
  EXPECT_EQ(loadRestartState(&left, computer.workingFile(kRestartFile)), RestartLoad::kNothing);
  const std::optional<CopyProgress> progress =
      readCopyProgress(computer.workingFile(kCopyProgressFile));
  ASSERT_TRUE(progress);
  EXPECT_EQ(progress->done, progress->total);
  EXPECT_NE(test::readFile(computer.workingFile("stats.txt")).find("num_section_write = 3"),
            std::string::npos);
  EXPECT_TRUE(logHas("Kopiering slutförd utan fel."));

  // Unchanged, from a terminal: nothing is read or sent again.
  test::writeFile(tree + "/new.txt", "new");
  ASSERT_EQ(computer.vardlok({"backup"}, &errors), 0) << errors << server.log();
  EXPECT_NE(errors.find("Kopiering slutförd utan fel: 10 filer"), std::string::npos) << errors;
  // Not a terminal: no progress line.
  EXPECT_EQ(errors.find("sections,"), std::string::npos) << errors;
  expectLatestCopyIsTheTree();
  EXPECT_NE(test::readFile(computer.workingFile("stats.txt")).find("num_name_reuse_files = 9"),
            std::string::npos);
  EXPECT_EQ(readServerUsage(computer.workingFile(kServerUsageFile)).copies, 2u);
  // The first copy is still there as it was.
  std::optional<Files> first = fetchCopy(computer, server.port(), recovery, 1);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 9u);
}

// The scheduled run's exit code tells a completed copy from one that ran
// and failed; the copy log says why. Quota result 3 tells the callbacks of
// the quota before the message.
TEST(BackupQuotaTest, AnUploadOverTheQuotaEndsWith113AndTheNoticeComesFirst) {
  RunningServer server({}, 0);
  ASSERT_NE(server.port(), 0) << server.log();
  Computer computer;
  std::string errors;
  ASSERT_EQ(computer.vardlok({"server", server.address(), "--key-record", server.keyRecord()}), 0);
  ASSERT_EQ(computer.vardlok({"account", "create", computer.home.file("a.drf"), "--name", "A",
                              "--organisation", "B", "--email", "c@d"},
                             &errors),
            0)
      << errors;
  test::TempDir data;
  test::writeFile(data.file("f"), "some bytes");
  ASSERT_TRUE(writeFolderSelection({data.path()}, computer.workingFile(kFoldersFile)));
  EXPECT_EQ(computer.vlClient({"backup"}, &errors), kExitBackupNotCompleted) << errors;
  ByteBuffer stored;
  std::vector<CopyLogRecord> records;
  ASSERT_TRUE(stored.loadFromFile(computer.workingFile(kCopyLogFile)));
  ASSERT_TRUE(parseCopyLog(stored, &records));
  ASSERT_GE(records.size(), 2u);
  // 0 reserved: the 80 % warning before the copy, then the refusal.
  EXPECT_EQ(records[records.size() - 2].textView(),
            "Varning! Mer än 80% av det reserverade utrymmet på servern används.");
  EXPECT_EQ(records.back().textView(), "Fel: Kontots lagringsutrymme har överskridits.");
  EXPECT_FALSE(readLastCopy(computer.workingFile(kLastCopyFile)).exists());

  // The callbacks hear of the quota before the message.
  RecordingBackup callbacks;
  std::atomic<uint8_t> cancel{0};
  EXPECT_FALSE(backupInProcess(computer, data.path(), &cancel, server.port(), &callbacks, true,
                               false));
  ASSERT_EQ(callbacks.events.size(), 2u);
  EXPECT_EQ(callbacks.events[0], "quota");
  EXPECT_EQ(callbacks.events[1], "failed:Fel: Kontots lagringsutrymme har överskridits.");
}

// A connection lost while sections are uploaded is made again; the section
// whose receipt was lost goes again, the same number and record, as the
// first request (sequence number 1) of the new exchange.
TEST_F(BackupRunTest, AReconnectDuringUploadSendsTheLastSectionAgainUnderNumberOne) {
  int receipts = 0;
  CuttingProxy proxy(server.port(), [&](int connection, bool fromClient, ChunkType type) {
    return connection == 0 && !fromClient && type == ChunkType::kFileDataResponse &&
           ++receipts == 3;
  });
  RecordingBackup callbacks;
  ASSERT_TRUE(backupInProcess(proxy.port(), &callbacks, false, false)) << callbacks.events.back();
  EXPECT_EQ(callbacks.events.front(), "reconnect");
  std::vector<CuttingProxy::Sent> sent = proxy.sent();
  const CuttingProxy::Sent* lastBefore = nullptr;
  const CuttingProxy::Sent* firstAfter = nullptr;
  for (const auto& chunk : sent) {
    if (chunk.type == ChunkType::kExchangeStart) continue;
    if (chunk.connection == 0 && chunk.type == ChunkType::kFileData) lastBefore = &chunk;
    if (chunk.connection == 1 && firstAfter == nullptr) firstAfter = &chunk;
  }
  ASSERT_TRUE(lastBefore && firstAfter);
  EXPECT_EQ(firstAfter->type, ChunkType::kFileData);
  EXPECT_EQ(firstAfter->payload.substr(0, 4), std::string("\1\0\0\0", 4));
  EXPECT_TRUE(firstAfter->payload.substr(4) == lastBefore->payload.substr(4));
  EXPECT_TRUE(logHas("Varning! Förlorade kontakten med servern, återansluter..."));
  expectLatestCopyIsTheTree();
}

// An upload cut off for good leaves restart state naming only sections the
// server acknowledged; the next run continues from it and sends only what
// was not acknowledged.
TEST_F(BackupRunTest, AnInterruptedUploadIsResumed) {
  int receipts = 0;
  CuttingProxy proxy(server.port(), [&](int connection, bool fromClient, ChunkType type) {
    // The 4th receipt is lost and no later connection gets anywhere.
    return connection > 0 ||
           (!fromClient && type == ChunkType::kFileDataResponse && ++receipts == 4);
  });
  RecordingBackup first;
  first.reconnectAgain = false;
  ASSERT_FALSE(backupInProcess(proxy.port(), &first, false, false, 0));
  RestartState kept;
  ASSERT_EQ(loadRestartState(&kept, computer.workingFile(kRestartFile)), RestartLoad::kLoaded);
  EXPECT_GE(kept.size(), 1u);
  const size_t sentBefore = proxy.sent().size();

  RecordingBackup second;
  CuttingProxy counting(server.port(), [](int, bool, ChunkType) { return false; });
  ASSERT_TRUE(backupInProcess(counting.port(), &second, false, true)) << second.events.back();
  size_t sections = 0;
  for (const auto& chunk : counting.sent()) sections += chunk.type == ChunkType::kFileData;
  // 10 sections in all, 3 acknowledged before: at most the rest and the one
  // in flight go again.
  EXPECT_LE(sections, 7u);
  EXPECT_GT(sentBefore, 0u);
  expectLatestCopyIsTheTree();
}

// The receipt of a stored copy is lost: the client keeps its restart state
// and makes the next copy from it. That state may hold a file the stored
// copy left out (its section dropped by the server with the copy); the file
// coming back must be sent again, not taken from the state.
TEST_F(BackupRunTest, ALostReceiptOfAStoredCopyLeavesTheNextCopyWhole) {
  const std::string outside = data.file("f0.away");
  {
    // Attempt 1 never reaches the server's list step: cut at the list chunk.
    CuttingProxy proxy(server.port(), [](int, bool fromClient, ChunkType type) {
      return fromClient && type == ChunkType::kFileList;
    });
    RecordingBackup callbacks;
    ASSERT_FALSE(backupInProcess(proxy.port(), &callbacks, true, false, 0));
  }
  std::filesystem::rename(tree + "/f0", outside);
  {
    // Attempt 2 is stored without f0, but its receipt is lost.
    CuttingProxy proxy(server.port(), [](int, bool fromClient, ChunkType type) {
      return !fromClient && type == ChunkType::kFileListResponse;
    });
    RecordingBackup callbacks;
    ASSERT_FALSE(backupInProcess(proxy.port(), &callbacks, true, true, 0));
    EXPECT_EQ(callbacks.events.back(),
              "failed:Fel: Förlorade kontakten med servern, återanslutning ej möjlig.");
  }
  EXPECT_NE(server.log().find("copy 1 stored"), std::string::npos) << server.log();
  RestartState kept;
  ASSERT_EQ(loadRestartState(&kept, computer.workingFile(kRestartFile)), RestartLoad::kLoaded);
  std::filesystem::rename(outside, tree + "/f0");

  RecordingBackup third;
  ASSERT_TRUE(backupInProcess(server.port(), &third, true, true)) << third.events.back();
  expectLatestCopyIsTheTree();
  std::optional<Files> stored = fetchCopy(computer, server.port(), recovery, 1);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->count("\\tree\\f0"), 0u);
}

// The user's cancel (the shared cancel byte) stops the engine and leaves
// the restart state last written, which names only acknowledged sections; "cf.bin" from another process
// ends the run at once, without touching the engine's state.
TEST_F(BackupRunTest, TheSharedCancelByteAndTheCancelFileEndTheRunKeepingTheRestartState) {
  int receipts = 0;
  CuttingProxy proxy(server.port(), [&](int, bool fromClient, ChunkType type) {
    if (!fromClient && type == ChunkType::kFileDataResponse && ++receipts == 5) cancel.store(1);
    return false;
  });
  RecordingBackup callbacks;
  ASSERT_FALSE(backupInProcess(proxy.port(), &callbacks, true, false, 0));
  ASSERT_EQ(callbacks.events.size(), 2u);
  EXPECT_EQ(callbacks.events[0], "cancelled");
  EXPECT_EQ(callbacks.events[1], "failed:Kopieringen avbruten av användaren!");
  RestartState kept;
  ASSERT_EQ(loadRestartState(&kept, computer.workingFile(kRestartFile)), RestartLoad::kLoaded);
  EXPECT_GE(kept.size(), 1u);
  EXPECT_NE(readCurrentUpload(computer.workingFile(kCurrentUploadFile)), 0u);

  cancel.store(0);
  ASSERT_TRUE(writeCancelRequest(true, computer.workingFile(kCancelFile)));
  RecordingBackup other;
  // The engine resets "cf.bin" when it is made; the request comes after.
  CuttingProxy late(server.port(), [&](int, bool fromClient, ChunkType type) {
    if (!fromClient && type == ChunkType::kStartupResponse) {
      EXPECT_TRUE(writeCancelRequest(true, computer.workingFile(kCancelFile)));
    }
    return false;
  });
  ASSERT_FALSE(backupInProcess(late.port(), &other, true, true));
  ASSERT_EQ(other.events.size(), 1u);
  EXPECT_EQ(other.events[0], "failed:Kopieringen avbruten av användaren!");
  RestartState still;
  ASSERT_EQ(loadRestartState(&still, computer.workingFile(kRestartFile)), RestartLoad::kLoaded);
  EXPECT_EQ(still.size(), kept.size());
}

// Restart state that cannot be read would stop every later attempt as
// well; the copy is made afresh and the log says so.
TEST_F(BackupRunTest, ADamagedRestartStateGivesAFreshCopy) {
  test::writeFile(computer.workingFile(kRestartFile), std::string("\x0c\0\0\0\5\0\0\0\7\0\0\0\1\0\0\0", 16));
  RecordingBackup callbacks;
  ASSERT_TRUE(backupInProcess(server.port(), &callbacks, true, true)) << callbacks.events.back();
  EXPECT_TRUE(logHas("Fel: Kunde inte läsa lista för återstart."));
  expectLatestCopyIsTheTree();
}

// Another process writes "cf.bin" while the scheduled run uploads.
TEST_F(BackupRunTest, ACancelThroughTheCancelFileEndsTheRunWith113) {
  for (int i = 0; i < 20; ++i) {
    test::writeFile(tree + "/big" + std::to_string(i), pattern(2097152, 100 + i));
  }
  const pid_t child = computer.start(VL_CLIENT_PATH, {"backup"});
  ASSERT_GT(child, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (readCurrentUpload(computer.workingFile(kCurrentUploadFile)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(writeCancelRequest(true, computer.workingFile(kCancelFile)));
  std::string errors;
  EXPECT_EQ(computer.finish(child, &errors), kExitBackupNotCompleted) << errors;
  EXPECT_TRUE(logHas("Kopieringen avbruten av användaren!"));
  EXPECT_FALSE(readLastCopy(computer.workingFile(kLastCopyFile)).exists());
}

#endif  // VL_SERVER_PATH

}  // namespace
}  // namespace vl
