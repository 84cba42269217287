// The real vl_server program: init with the development key, run on a free
// loopback port, an account set up over TCP from raw bytes, the idle limit,
// a clean stop on SIGTERM, and the account listing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "crypto/server_key.h"
#include "server/identity/server_identity.h"
#include "server/backup_wire.h"
#include "server/server_test_util.h"
#include "support/child_output.h"

namespace vl {
namespace {

using Clock = std::chrono::steady_clock;

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's stdout
};

// Starts vl_server with `args`, its stdout on a pipe and stderr into `errPath`.
// No file it writes may grow beyond `fileBytes`: a write past that kills it,
// as a crash in the middle of the write would stop it.
Child spawn(const std::vector<std::string>& args, const std::string& errPath,
            rlim_t fileBytes = RLIM_INFINITY) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(err, 2);
    const rlimit limit{fileBytes, fileBytes};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::close(pipeFds[0]);
    std::vector<char*> argv{const_cast<char*>(VL_SERVER_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(VL_SERVER_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  return {pid, pipeFds[0]};
}

// Exit status, or -1 when the child is still running after `seconds`.
int waitExit(pid_t pid, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    ::usleep(20000);
  }
  return -1;
}

// Runs vl_server to the end; its stdout.
std::string runToEnd(const std::vector<std::string>& args, const std::string& errPath,
                     int* exitCode, rlim_t fileBytes = RLIM_INFINITY) {
  Child child = spawn(args, errPath, fileBytes);
  const std::string out = test::readChildOutput(child.out, 60);
  ::close(child.out);
  *exitCode = waitExit(child.pid, 60);
  return out;
}

// Reads one whole chunk; empty when the server closes first or is silent
// for `seconds`.
ByteBuffer readChunk(int fd, double seconds) {
  ByteBuffer received;
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (classifyChunk(received.span()).status == ChunkStatus::kComplete) return received;
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 100) <= 0) continue;
    uint8_t piece[4096];
    const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
    if (n <= 0) return {};
    received.appendBytes(piece, static_cast<size_t>(n));
  }
  return {};
}

// Seconds until the server closes `fd` (reads give 0), or -1 after `limit`.
double secondsUntilClosed(int fd, double limit) {
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::duration<double>(limit)) {
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 100) <= 0) continue;
    uint8_t byte;
    if (::recv(fd, &byte, 1, 0) <= 0) {
      return std::chrono::duration<double>(Clock::now() - start).count();
    }
  }
  return -1;
}

// An init stopped while it writes the private key (killed, or out of disk)
// leaves no part of the key behind: a half key would be refused by run and
// would make every later init refuse as well.
TEST(VlServerProcessTest, AnInitCutOffWhileWritingTheKeyCanSimplyBeRunAgain) {
  test::TempDir dir;
  const std::string data = dir.file("data");
  int code = -1;
  // The 266-byte record and the 256-byte modulus fit; the 896-byte key does not.
  runToEnd({"init", "--data", data, "--key-file", VL_DEV_SERVER_KEY}, dir.file("cut.txt"), &code,
           512);
  EXPECT_NE(code, 0);
  EXPECT_FALSE(std::filesystem::exists(data + "/" + kServerPrivateKeyFile));

  runToEnd({"init", "--data", data, "--key-file", VL_DEV_SERVER_KEY}, dir.file("again.txt"),
           &code);
  ASSERT_EQ(code, 0) << test::readFile(dir.file("again.txt"));
  EXPECT_EQ(test::readFile(data + "/" + kServerPrivateKeyFile),
            test::readFile(VL_DEV_SERVER_KEY));
  EXPECT_EQ(test::readFile(data + "/" + kServerKeyRecordFile).size(), 266u);
  // Nor is the cut-off part of the key left lying about under another name.
  for (const auto& entry : std::filesystem::directory_iterator(data)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos)
        << entry.path();
  }
}

// A folder that holds no account database (a mistyped --data) is not an
// empty server: the listing fails and leaves nothing behind there.
TEST(VlServerProcessTest, AccountsOfAFolderWithoutTheDatabaseIsAFailure) {
  test::TempDir dir;
  int code = -1;
  runToEnd({"accounts", "--data", dir.path()}, dir.file("errors.txt"), &code);
  EXPECT_EQ(code, 1);
  EXPECT_FALSE(std::filesystem::exists(dir.file(kAccountDatabaseFile)));
}

// The port a started server reports it listens on; 0 when it reports none.
uint16_t listeningPort(const Child& server, const std::string& errors) {
  const std::string line = test::readChildOutput(server.out, 30, "\n");
  EXPECT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line << test::readFile(errors);
  if (line.rfind("listening on 127.0.0.1:", 0) != 0) return 0;
  return static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
}

// Initialises a data folder with the development key.
void initData(const std::string& data, const std::string& errors) {
  int code = -1;
  runToEnd({"init", "--data", data, "--key-file", VL_DEV_SERVER_KEY}, errors, &code);
  ASSERT_EQ(code, 0) << test::readFile(errors);
}

// The development server key's public modulus, as clients have it.
std::string devServerModulus() {
  const std::string full(VL_DEV_SERVER_KEY);
  return test::readFile(full.substr(0, full.size() - 4) + "pub");
}

// Sets up an account over TCP from raw bytes, encapsulated under the
// server's key; its number, 0 on a failure.
uint32_t setupOverTcp(uint16_t port, const std::string& modulus) {
  test::FixedKeys& keys = test::fixedKeys();
  RsaKey serverPublic;
  if (!serverPublic.load(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(modulus.data()),
                                                  modulus.size()),
                         false, RsaKey::kBits, RsaKeyKind::kEncryption, &keys.pool)) {
    return 0;
  }
  test::SetupParts parts;
  parts.signingKey = keys.signing.exportPublic();
  ByteBuffer secret;
  ExchangeKeys macKeys(&keys.pool);
  if (!serverPublic.encapsulate(&keys.pool, &secret, &parts.encapsulated) ||
      !macKeys.derive(secret.span())) {
    return 0;
  }
  const int setupFd = test::connectLoopback(port);
  if (setupFd < 0) return 0;
  const ByteBuffer request = parts.chunk();
  const bool sent = ::send(setupFd, request.data(), request.size(), 0) ==
                    static_cast<ssize_t>(request.size());
  const ByteBuffer answer = sent ? readChunk(setupFd, 30) : ByteBuffer();
  ::close(setupFd);
  ByteBuffer plaintext;
  if (verifyAndOpen(answer, ChunkType::kAccountSetupResponse, false, macKeys, &plaintext) !=
      OpenStatus::kOpened) {
    return 0;
  }
  StrictReader reader(plaintext.span());
  uint16_t result = 0xFFFF;
  uint32_t account = 0;
  return reader.readU16(&result) && result == 0 && reader.readU32(&account) ? account : 0;
}

TEST(VlServerProcessTest, InitRunSetupOverTcpIdleLimitAndStopOnSigterm) {
  test::TempDir dir;
  const std::string data = dir.file("data");
  const std::string errors = dir.file("stderr.txt");
  int code = -1;
  runToEnd({"init", "--data", data, "--key-file", VL_DEV_SERVER_KEY}, errors, &code);
  ASSERT_EQ(code, 0) << test::readFile(errors);

  // The record clients build in: for the development key, the very bytes a
  // default-built client embeds.
  const std::string record = test::readFile(data + "/" + kServerKeyRecordFile);
  EXPECT_EQ(record.size(), 266u);
  ServerKey builtIn;
  ASSERT_TRUE(loadServerKey(&builtIn));
  const std::string devModulus = devServerModulus();
  if (std::string(builtIn.modulus.span().begin(), builtIn.modulus.span().end()) == devModulus) {
    const ByteBuffer embedded = builtInServerKeyRecord();
    EXPECT_EQ(record, std::string(embedded.span().begin(), embedded.span().end()));
  }
  struct stat info {};
  ASSERT_EQ(::stat((data + "/" + kServerPrivateKeyFile).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  runToEnd({"init", "--data", data}, errors, &code);
  EXPECT_EQ(code, 1) << "a second init never replaces the key";

  runToEnd({"run", "--data", data, "--opening-seconds", "0"}, errors, &code);
  EXPECT_EQ(code, 2) << "no time at all for the opening chunk";
  runToEnd({"run", "--data", data, "--connections-per-address", "x"}, errors, &code);
  EXPECT_EQ(code, 2);
  // An address of no interface here: the server cannot listen, and says so.
  runToEnd({"run", "--data", data, "--listen", "192.0.2.1:0"}, errors, &code);
  EXPECT_EQ(code, 1);
  Child server = spawn({"run", "--data", data, "--listen", "127.0.0.1:0", "--idle-seconds", "1",
                        "--opening-seconds", "20", "--connections-per-address", "4"},
                       errors);
  const uint16_t port = listeningPort(server, errors);
  ASSERT_NE(port, 0);

  // An account set up from raw bytes, encapsulated under the server's key.
  EXPECT_EQ(setupOverTcp(port, devModulus), 1u);

  // Silent connections, and one that announces a chunk and stops, are
  // closed after the idle limit.
  const int silent = test::connectLoopback(port);
  const int stalled = test::connectLoopback(port);
  ByteBuffer header;
  appendChunkHeader(header, ChunkType::kExchangeStart);
  header[4] = 0x00;
  header[5] = 0x80;  // 32 KiB announced
  ASSERT_EQ(::send(stalled, header.data(), header.size(), 0), 14);
  const double silentClosed = secondsUntilClosed(silent, 10);
  const double stalledClosed = secondsUntilClosed(stalled, 10);
  EXPECT_GT(silentClosed, 0.5);
  EXPECT_LT(silentClosed, 5);
  EXPECT_GE(stalledClosed, 0);
  ::close(silent);
  ::close(stalled);

  // SIGTERM with a connection open: the server closes it and exits cleanly.
  const int open = test::connectLoopback(port);
  ASSERT_GE(open, 0);
  ASSERT_EQ(::kill(server.pid, SIGTERM), 0);
  EXPECT_EQ(waitExit(server.pid, 60), 0);
  EXPECT_GE(secondsUntilClosed(open, 5), 0);
  ::close(open);
  ::close(server.out);
  const std::string log = test::readFile(errors);
  EXPECT_NE(log.find("account 1 created"), std::string::npos) << log;
  EXPECT_NE(log.find("nothing received for 1 s in the middle of a chunk"), std::string::npos)
      << log;
  EXPECT_NE(log.find("stopped"), std::string::npos) << log;

  const std::string listing = runToEnd({"accounts", "--data", data}, errors, &code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(listing.find("Anna Berg, Berg & Son, anna@example.org"), std::string::npos)
      << listing;
}

// The check and the account switch as an operator runs them: the exit
// status tells a healthy folder from a damaged one.
TEST(VlServerProcessTest, CheckTellsHealthyFromDamagedAndAccountsSetsTheProtection) {
  test::ServerWorld world;  // its folder has the data folder's layout
  const uint32_t account = world.createAccount();
  {
    auto session = test::open(world, account, "home-pc");
    ASSERT_EQ(test::upload(*session, 1, test::sectionRecord(1)), 0);
    test::CopyParts parts;
    parts.used = test::sectionSet({1});
    ASSERT_EQ(test::commit(*session, parts), 0);
  }
  const std::string data = world.dir.path();
  const std::string errors = world.dir.file("stderr.txt");
  int code = -1;
  std::string out = runToEnd({"check", "--data", data}, errors, &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_NE(out.find("1 accounts, 1 copies, 1 sections, 0 unnamed records: healthy"),
            std::string::npos)
      << out;
  ASSERT_EQ(::unlink((data + "/backups/" + std::to_string(account) + "/copies/1.rec").c_str()), 0);
  out = runToEnd({"check", "--data", data}, errors, &code);
  EXPECT_EQ(code, 1);
  EXPECT_NE(out.find("copy 1: its list record is missing"), std::string::npos) << out;
  EXPECT_NE(out.find("DAMAGED"), std::string::npos) << out;
  runToEnd({"check", "--data", world.dir.file("nothing")}, errors, &code);
  EXPECT_EQ(code, 1);

  out = runToEnd({"accounts", "--data", data, "--protect", std::to_string(account), "--days", "9"},
                 errors, &code);
  EXPECT_EQ(code, 0) << out;
  uint32_t days = 0;
  ASSERT_TRUE(world.store->protectDays(account, &days));
  EXPECT_EQ(days, 9u);
  EXPECT_NE(runToEnd({"accounts", "--data", data}, errors, &code).find("    9 d"),
            std::string::npos);
  runToEnd({"accounts", "--data", data, "--protect", "99", "--days", "1"}, errors, &code);
  EXPECT_EQ(code, 1) << "no such account";
  runToEnd({"accounts", "--data", data, "--protect", "1"}, errors, &code);
  EXPECT_EQ(code, 2);
  runToEnd({"run", "--data", data, "--expire", "--protect-days", "x"}, errors, &code);
  EXPECT_EQ(code, 2);

  initData(data, errors);
  Child server = spawn({"run", "--data", data, "--listen", "127.0.0.1:0", "--expire",
                        "--protect-days", "3"},
                       errors);
  ASSERT_NE(listeningPort(server, errors), 0);
  ASSERT_EQ(::kill(server.pid, SIGTERM), 0);
  EXPECT_EQ(waitExit(server.pid, 60), 0);
  ::close(server.out);
  EXPECT_NE(test::readFile(errors).find("archived copies expire, copies protected for 3 days"),
            std::string::npos)
      << test::readFile(errors);
}

// One exchange of a client over TCP: its start, then requests and answers.
struct TcpExchange {
  explicit TcpExchange(test::ServerWorld& world) : client(world) {}
  ~TcpExchange() {
    if (fd >= 0) ::close(fd);
  }
  bool start(uint16_t port, uint32_t account, std::string_view id) {
    fd = test::connectLoopback(port);
    const ByteBuffer chunk = client.start(account, id, true);
    if (fd < 0 || !sendAll(chunk)) return false;
    return client.readStartup(readChunk(fd, 30)).outcome == StartupOutcome::kAdmitted;
  }
  // The result of the answer to a request of `type`; 0xFFFF when none came.
  uint16_t ask(ChunkType type, const ByteBuffer& fields, OpenedChunk* answer = nullptr) {
    if (!sendAll(client.request(type, fields))) return 0xFFFF;
    OpenedChunk opened;
    const ChunkType answerType = *chunkTypeFromWire(wireChunkType(type) + 1);
    if (openAnswer(readChunk(fd, 60), answerType, true, client.keys, client.sequence, &opened) !=
        OpenStatus::kOpened) {
      return 0xFFFF;
    }
    uint16_t result = 0xFFFF;
    StrictReader reader = opened.fields();
    if (!reader.readU16(&result)) return 0xFFFF;
    if (answer) *answer = std::move(opened);
    return result;
  }
  bool sendAll(const ByteBuffer& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  test::ClientExchange client;
  int fd = -1;
};

uint64_t peakResidentKib(pid_t pid) {
  const std::string status = test::readFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + 6));
}

// A backup of 2 MiB sections and a restore of the same account at once,
// over TCP with transport encryption: the server holds a record or two per
// connection, never the copy.
TEST(VlServerProcessTest, ABackupAndARestoreAtOnceStayWellUnderTwoHundredMebibytes) {
  test::TempDir dir;
  const std::string data = dir.file("data");
  const std::string errors = dir.file("stderr.txt");
  initData(data, errors);
  Child server = spawn({"run", "--data", data, "--listen", "127.0.0.1:0"}, errors);
  const uint16_t port = listeningPort(server, errors);
  ASSERT_NE(port, 0);
  const std::string modulus = devServerModulus();
  const uint32_t account = setupOverTcp(port, modulus);
  ASSERT_NE(account, 0u);
  test::ServerWorld world;  // the client's keys, with the development server key
  world.serverPublic.modulus = ByteBuffer(std::string_view(modulus));

  constexpr uint32_t kSections = 24;
  constexpr uint32_t kBody = 2 * 1024 * 1024;
  auto backup = [&](uint32_t first, uint8_t list, const char* id) {
    TcpExchange exchange(world);
    if (!exchange.start(port, account, id)) return false;
    std::vector<uint32_t> used;
    for (uint32_t number = first; number < first + kSections; ++number) {
      const ByteBuffer record = test::sectionRecord(static_cast<uint8_t>(number), kBody);
      if (exchange.ask(ChunkType::kFileData, test::uploadFields(number, record)) != 0) return false;
      used.push_back(number);
    }
    test::CopyParts parts;
    parts.list = test::listRecord(list);
    parts.used = test::sectionSet(used);
    return exchange.ask(ChunkType::kFileList, parts.fields()) == 0;
  };
  ASSERT_TRUE(backup(1, 1, "home-pc"));

  bool restored = true;
  std::thread restore([&] {
    TcpExchange exchange(world);
    restored = exchange.start(port, account, "");
    ByteBuffer request;
    request.appendU32(0);
    request.appendU8(0);
    restored = restored && exchange.ask(ChunkType::kFileListRequest, request) == 0;
    for (uint32_t number = 1; restored && number <= kSections; ++number) {
      ByteBuffer fields;
      fields.appendU32(number);
      OpenedChunk answer;
      restored = exchange.ask(ChunkType::kFileDataRequest, fields, &answer) == 0 &&
                 answer.plaintext.size() > kBody;
    }
  });
  const bool backedUp = backup(kSections + 1, 2, "home-pc");
  restore.join();
  EXPECT_TRUE(backedUp);
  EXPECT_TRUE(restored);
  const uint64_t peak = peakResidentKib(server.pid);
  ASSERT_EQ(::kill(server.pid, SIGTERM), 0);
  EXPECT_EQ(waitExit(server.pid, 60), 0);
  ::close(server.out);
  std::printf("server peak resident: %llu KiB after %u MiB up and %u MiB down\n",
              static_cast<unsigned long long>(peak), 2 * kSections * 2, kSections * 2);
  EXPECT_GT(peak, 0u);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's quarantine and shadow memory say nothing of the
  // server's own: the bound holds for the program users run.
#else
  EXPECT_LT(peak, 200u * 1024) << "KiB";
#endif
  EXPECT_NE(test::readFile(errors).find("copy 2 stored"), std::string::npos);
}

}  // namespace
}  // namespace vl
