// The real vl_server program: init with the development key, run on a free
// loopback port, an account set up over TCP from raw bytes, the idle limit,
// a clean stop on SIGTERM, and the account listing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
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
Child spawn(const std::vector<std::string>& args, const std::string& errPath) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(err, 2);
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
                     int* exitCode) {
  Child child = spawn(args, errPath);
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

  runToEnd({"init", "--data", data, "--key-file", VL_DEV_SERVER_KEY}, errors, &code);
  ASSERT_EQ(code, 0) << test::readFile(errors);
  Child server = spawn({"run", "--data", data, "--listen", "127.0.0.1:0", "--expire",
                        "--protect-days", "3"},
                       errors);
  const std::string line = test::readChildOutput(server.out, 30, "\n");
  ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line << test::readFile(errors);
  ASSERT_EQ(::kill(server.pid, SIGTERM), 0);
  EXPECT_EQ(waitExit(server.pid, 10), 0);
  ::close(server.out);
  EXPECT_NE(test::readFile(errors).find("archived copies expire, copies protected for 3 days"),
            std::string::npos)
      << test::readFile(errors);
}

}  // namespace
}  // namespace vl
