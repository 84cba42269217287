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
#include <vector>

#include "crypto/server_key.h"
#include "server/identity/server_identity.h"
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
  const std::string devModulus = test::readFile(std::string(VL_DEV_SERVER_KEY).substr(
                                     0, std::string(VL_DEV_SERVER_KEY).size() - 4) + "pub");
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
  const std::string line = test::readChildOutput(server.out, 30, "\n");
  ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line << test::readFile(errors);
  const uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));

  // An account set up from raw bytes, encapsulated under the server's key.
  test::FixedKeys& keys = test::fixedKeys();
  RsaKey serverPublic;
  ASSERT_TRUE(serverPublic.load(std::span<const uint8_t>(
                                    reinterpret_cast<const uint8_t*>(devModulus.data()),
                                    devModulus.size()),
                                false, RsaKey::kBits, RsaKeyKind::kEncryption, &keys.pool));
  test::SetupParts parts;
  parts.signingKey = keys.signing.exportPublic();
  ByteBuffer secret;
  ASSERT_TRUE(serverPublic.encapsulate(&keys.pool, &secret, &parts.encapsulated));
  ExchangeKeys macKeys(&keys.pool);
  ASSERT_TRUE(macKeys.derive(secret.span()));
  const int setupFd = test::connectLoopback(port);
  ASSERT_GE(setupFd, 0);
  const ByteBuffer request = parts.chunk();
  ASSERT_EQ(::send(setupFd, request.data(), request.size(), 0),
            static_cast<ssize_t>(request.size()));
  const ByteBuffer answer = readChunk(setupFd, 30);
  ::close(setupFd);
  ByteBuffer plaintext;
  ASSERT_EQ(verifyAndOpen(answer, ChunkType::kAccountSetupResponse, false, macKeys,
                          &plaintext),
            OpenStatus::kOpened);
  StrictReader reader(plaintext.span());
  uint16_t result = 0xFFFF;
  uint32_t account = 0;
  ASSERT_TRUE(reader.readU16(&result) && reader.readU32(&account));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(account, 1u);

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
  EXPECT_EQ(waitExit(server.pid, 10), 0);
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

}  // namespace
}  // namespace vl
