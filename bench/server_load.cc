// server_load: many clients opening exchanges against one running vl_server.
//
//   server_load --server HOST:PORT [--clients 50] [--seconds 30] [--accounts 3]
//               [--encrypt 0|1] [--use-accounts N,M,...]
//
// First it creates the accounts through account setup (the server allows an
// address three setups a minute, so three is the most one run can make),
// all with the fixed test signing key (or, with --use-accounts, uses
// accounts an earlier run made). Then each client, on its own thread,
// opens exchanges one after the other until the time is up: build a signed
// start chunk for one of the accounts, connect, send it, read the startup
// answer and, with encryption on, agree the DH secret; then close. That is a
// whole exchange start, the work every exchange but setup begins with.
//
// With --clients 1 the figures are those of one exchange start on loopback.
// The client's own work (signing, encapsulating, DH) runs on the same
// machine as the server, so under load both share its processors.
//
// Output: one "name value" line per figure, for bench/server_load.py:
//   admitted, failed, seconds, starts_per_second, p50_ms, p99_ms, max_ms
//   (the whole start: build, connect, answer, DH agreed) and rtt_p50_ms,
//   rtt_p99_ms (connect to answer received: what the server adds).
// Exit code 0 when every start was admitted, 1 otherwise, 2 on a wrong
// command line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/random_pool.h"
#include "crypto/server_key.h"
#include "net/chunk_receiver.h"
#include "net/setup_act.h"
#include "net/start_chunk.h"
#include "net/startup_answer.h"
#include "net/transport_system.h"
#include "platform/name_resolver.h"
#include "platform/tcp_socket.h"
#include "tests/crypto/rsa_test_keys.h"

namespace {

using Clock = std::chrono::steady_clock;
using vl::ByteBuffer;

struct Options {
  std::string host;
  uint16_t port = 0;
  uint32_t clients = 50;
  uint32_t seconds = 30;
  uint32_t accounts = 3;
  bool encrypt = true;
  std::vector<uint32_t> existing;  // --use-accounts: no setup
};

// "3,1,2" as numbers; false on anything else.
bool parseList(const std::string& text, std::vector<uint32_t>* numbers) {
  size_t at = 0;
  while (at < text.size()) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str() + at, &end, 10);
    const size_t next = static_cast<size_t>(end - text.c_str());
    if (next == at || value == 0 || value > UINT32_MAX) return false;
    numbers->push_back(static_cast<uint32_t>(value));
    at = next;
    if (at < text.size() && text[at++] != ',') return false;
  }
  return !numbers->empty();
}

bool parseOptions(int argc, char** argv, Options* options) {
  std::map<std::string, std::string> given;
  for (int i = 1; i + 1 < argc; i += 2) given[argv[i]] = argv[i + 1];
  if (argc % 2 == 0 || !given.count("--server")) return false;
  auto number = [&given](const char* name, uint32_t* out) {
    const auto it = given.find(name);
    if (it == given.end()) return true;
    char* end = nullptr;
    const unsigned long value = std::strtoul(it->second.c_str(), &end, 10);
    *out = static_cast<uint32_t>(value);
    return !it->second.empty() && *end == '\0' && value <= 100000;
  };
  uint32_t encrypt = 1;
  if (given.count("--use-accounts") && !parseList(given["--use-accounts"], &options->existing)) {
    return false;
  }
  const std::string& server = given["--server"];
  const size_t colon = server.rfind(':');
  uint32_t port = 0;
  if (colon == std::string::npos) return false;
  options->host = server.substr(0, colon);
  char* end = nullptr;
  port = static_cast<uint32_t>(std::strtoul(server.c_str() + colon + 1, &end, 10));
  options->port = static_cast<uint16_t>(port);
  return *end == '\0' && port > 0 && port < 65536 && number("--clients", &options->clients) &&
         number("--seconds", &options->seconds) && number("--accounts", &options->accounts) &&
         number("--encrypt", &encrypt) && encrypt <= 1 && options->clients > 0 &&
         options->accounts > 0 && given.size() <= 7;
}

// A connection to the server, or an unopened socket when none could be made.
vl::TcpSocket connectTo(const Options& options) {
  std::vector<vl::IpAddress> addresses;
  uint32_t code = 0;
  vl::TcpSocket socket;
  if (!vl::resolveHost(options.host, &addresses, &code)) return socket;
  for (const vl::IpAddress& address : addresses) {
    if (socket.open(address.family) && socket.connect(address, options.port)) return socket;
    socket.close();
  }
  return socket;
}

bool sendAll(vl::TcpSocket& socket, const ByteBuffer& chunk) {
  std::span<const uint8_t> rest = chunk.span();
  while (!rest.empty()) {
    const std::optional<size_t> sent = socket.send(rest);
    if (!sent) return false;
    rest = rest.subspan(*sent);
  }
  return true;
}

// Sends `chunk` on a new connection and returns the one chunk answered;
// empty when the connection failed or the answer was not a chunk.
ByteBuffer exchangeOne(const Options& options, const ByteBuffer& chunk) {
  vl::TcpSocket socket = connectTo(options);
  if (!socket.isOpen() || !sendAll(socket, chunk)) return ByteBuffer();
  vl::ChunkAssembler assembler;
  const vl::ReceiveResult received =
      vl::receiveChunk(socket, assembler, false, vl::TransportTimings(), vl::systemTransport());
  if (received.status != vl::ReceiveStatus::kComplete) return ByteBuffer();
  return assembler.take();
}

struct Keys {
  ByteBuffer signingShort = vl::test::fixedKeys().signing.exportShort();
  ByteBuffer signingPublic = vl::test::fixedKeys().signing.exportPublic();
  vl::ServerKey server;
};

// Creates `count` accounts; their numbers, or fewer when the server refused.
std::vector<uint32_t> createAccounts(const Options& options, const Keys& keys,
                                     vl::RandomPool* pool) {
  std::vector<uint32_t> numbers;
  for (uint32_t i = 0; i < options.accounts; ++i) {
    const vl::AccountDetails details{"Load client " + std::to_string(i + 1), "bench",
                                     "load@example.org"};
    vl::ExchangeKeys exchangeKeys(pool);
    const ByteBuffer request =
        vl::buildSetupRequest(vl::accountSetupRecord(details).span(), keys.signingPublic.span(),
                              keys.server, pool, &exchangeKeys);
    const vl::SetupAnswer answer =
        vl::readSetupAnswer(exchangeOne(options, request), exchangeKeys, keys.signingPublic.span());
    if (!answer.created) {
      std::fprintf(stderr, "server_load: setup of account %u refused (result %u): %s\n", i + 1,
                   answer.result, answer.message.english.c_str());
      break;
    }
    numbers.push_back(answer.account);
  }
  return numbers;
}

struct Results {
  std::mutex mutex;
  std::vector<double> wholeMs;  // guarded by mutex
  std::vector<double> rttMs;    // guarded by mutex
  std::map<std::string, uint32_t> failures;  // guarded by mutex
};

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// One client: exchange starts until `deadline`, each to the next account in turn.
void runClient(const Options& options, const Keys& keys, const std::vector<uint32_t>& accounts,
               uint32_t index, Clock::time_point deadline, Results* results) {
  vl::RandomPool pool;
  vl::test::creditFromOs(pool);
  std::vector<double> whole, rtt;
  std::map<std::string, uint32_t> failures;
  for (uint32_t round = index; Clock::now() < deadline; ++round) {
    const uint32_t account = accounts[round % accounts.size()];
    // Every installation of one account uses the same id: the owner.
    const std::string id = "load-installation-" + std::to_string(account);
    const ByteBuffer installation{std::string_view(id)};
    const vl::StartChunkInput input{account, installation.span(), keys.signingShort.span(),
                                    options.encrypt, true};
    const Clock::time_point begun = Clock::now();
    vl::ExchangeKeys exchangeKeys(&pool);
    vl::BuiltStart built;
    if (!vl::buildStartChunk(input, keys.server, &pool, &exchangeKeys, &built)) {
      ++failures["start chunk not built"];
      continue;
    }
    const Clock::time_point sending = Clock::now();
    const ByteBuffer answer = exchangeOne(options, built.chunk);
    const Clock::time_point answered = Clock::now();
    if (answer.empty()) {
      ++failures["no answer (connection failed or closed)"];
      continue;
    }
    const vl::StartupResult result = vl::handleStartupAnswer(
        answer.span(), vl::ExchangeKind::kBackup, options.encrypt, &exchangeKeys,
        &built.dhExponent);
    const Clock::time_point agreed = Clock::now();
    if (result.outcome != vl::StartupOutcome::kAdmitted ||
        exchangeKeys.established() != options.encrypt) {
      ++failures["not admitted (code " + std::to_string(result.code) + ")"];
      continue;
    }
    whole.push_back(millisecondsBetween(begun, agreed));
    rtt.push_back(millisecondsBetween(sending, answered));
  }
  std::lock_guard lock(results->mutex);
  results->wholeMs.insert(results->wholeMs.end(), whole.begin(), whole.end());
  results->rttMs.insert(results->rttMs.end(), rtt.begin(), rtt.end());
  for (const auto& [reason, count] : failures) results->failures[reason] += count;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: server_load --server HOST:PORT [--clients N] [--seconds N] "
                 "[--accounts N] [--encrypt 0|1] [--use-accounts N,M,...]\n");
    return 2;
  }
  Keys keys;
  if (!vl::test::fixedKeys().ok || !vl::loadServerKey(&keys.server) || !vl::startSocketLibrary()) {
    std::fprintf(stderr, "server_load: the keys or the socket library are not usable\n");
    return 1;
  }
  vl::RandomPool pool;
  vl::test::creditFromOs(pool);
  const std::vector<uint32_t> accounts =
      options.existing.empty() ? createAccounts(options, keys, &pool) : options.existing;
  if (options.existing.empty() && accounts.size() != options.accounts) return 1;
  std::printf("accounts %zu\n", accounts.size());
  std::fflush(stdout);

  Results results;
  const Clock::time_point begun = Clock::now();
  const Clock::time_point deadline = begun + std::chrono::seconds(options.seconds);
  std::vector<std::thread> clients;
  for (uint32_t i = 0; i < options.clients; ++i) {
    clients.emplace_back(runClient, std::cref(options), std::cref(keys), std::cref(accounts), i,
                         deadline, &results);
  }
  for (std::thread& client : clients) client.join();
  const double seconds = millisecondsBetween(begun, Clock::now()) / 1000;

  uint32_t failed = 0;
  for (const auto& [reason, count] : results.failures) {
    std::fprintf(stderr, "server_load: %u failed: %s\n", count, reason.c_str());
    failed += count;
  }
  const size_t admitted = results.wholeMs.size();
  std::printf("admitted %zu\nfailed %u\nseconds %.2f\nstarts_per_second %.1f\n", admitted, failed,
              seconds, static_cast<double>(admitted) / seconds);
  std::printf("p50_ms %.2f\np99_ms %.2f\nmax_ms %.2f\n", percentile(results.wholeMs, 0.50),
              percentile(results.wholeMs, 0.99), percentile(results.wholeMs, 1.0));
  std::printf("rtt_p50_ms %.2f\nrtt_p99_ms %.2f\n", percentile(results.rttMs, 0.50),
              percentile(results.rttMs, 0.99));
  vl::stopSocketLibrary();
  return failed == 0 && admitted > 0 ? 0 : 1;
}
