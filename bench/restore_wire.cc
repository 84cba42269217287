// restore_wire: times whole restores of the latest copy from a running
// vl_server, with the section secrets unwrapped while the request pass waits
// for the network and without (all of them in the writing pass), in turns,
// and prints the fastest of each and their ratio. Used by
// bench/restore_unwrap_ahead.sh, which makes the server, the account and
// the copy.
//
//   restore_wire --working-dir DIR --recovery FILE --to DIR [--rounds N]
//                [--delay-ms D]
//
// DIR is a client working directory holding the server's setting
// ("server.bin"); each restore goes into a new folder under --to. With
// --delay-ms the restores go through a relay on loopback that holds every
// piece of the server's answers back D ms, as a distant server would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/byte_buffer.h"
#include "crypto/key_files.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "net/restore_act.h"
#include "net/server_connection.h"
#include "net/server_setting.h"
#include "net/start_chunk.h"
#include "platform/os_random.h"

namespace {

struct Outcome : vl::RestoreMainAction {
  bool finished = false;
  std::string english;
  // When the writing pass began.
  std::chrono::steady_clock::time_point writing;
  void showStatus(std::string_view, std::string_view text) override {
    if (text.find("(2/2)") != std::string_view::npos) writing = std::chrono::steady_clock::now();
  }
  void restoreFailed(std::string_view, std::string_view text) override { english = text; }
  void restoreFinished() override { finished = true; }
};

struct Arguments {
  std::string workingDir, recovery, to;
  int rounds = 3;
  int delayMs = 0;
};

// A relay on loopback to the server that holds each piece of its answers
// back for a while; one connection at a time.
class SlowRelay {
 public:
  SlowRelay(uint32_t serverAddress, uint16_t serverPort, int delayMs)
      : server_address_(serverAddress), server_port_(serverPort), delay_ms_(delayMs) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listener_, 4) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
      thread_ = std::thread([this] { serve(); });
    }
  }
  ~SlowRelay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }

  void serve() {
    while (!stop_) {
      pollfd waiting{listener_, POLLIN, 0};
      if (::poll(&waiting, 1, 100) <= 0) continue;
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address = loopback(server_port_);
      address.sin_addr.s_addr = htonl(server_address_);
      if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        relay(client, server);
      }
      ::close(server);
      ::close(client);
    }
  }

  void relay(int client, int server) {
    static char buffer[1 << 20];
    while (!stop_) {
      pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(both, 2, 100) < 0) return;
      for (int side = 0; side < 2; ++side) {
        if ((both[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t got = ::read(both[side].fd, buffer, sizeof buffer);
        if (got <= 0) return;
        if (side == 1) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_));
        if (::send(side == 0 ? server : client, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) !=
            got) {
          return;
        }
      }
    }
  }

  uint32_t server_address_;
  uint16_t server_port_;
  int delay_ms_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool parse(int argc, char** argv, Arguments* out) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--working-dir") {
      out->workingDir = argv[i + 1];
    } else if (name == "--recovery") {
      out->recovery = argv[i + 1];
    } else if (name == "--to") {
      out->to = argv[i + 1];
    } else if (name == "--rounds") {
      out->rounds = std::atoi(argv[i + 1]);
    } else if (name == "--delay-ms") {
      out->delayMs = std::atoi(argv[i + 1]);
    } else {
      return false;
    }
  }
  return !out->workingDir.empty() && !out->recovery.empty() && !out->to.empty() &&
         out->rounds > 0;
}

struct Timing {
  double total = -1;    // seconds; negative when the restore failed
  double writing = 0;   // of which the writing pass
};

// One restore, timed.
Timing restoreOnce(const vl::ServerSetting& setting, const vl::RecoveryRecord& keys,
                   vl::RandomPool& pool, const std::string& target, bool unwrapAhead,
                   const std::string& workingDir) {
  std::filesystem::create_directories(target);
  Outcome outcome;
  vl::RestoreActSetup setup;
  setup.callbacks = &outcome;
  setup.pool = &pool;
  setup.server = vl::ServerKey{setting.key.sizeCode, setting.key.keyNumber, setting.key.modulus};
  setup.userNumber = keys.userNumber;
  setup.signingKey = keys.signingKey;
  setup.encrypt = true;
  setup.localKey = keys.localKey;
  setup.writeLog = false;
  setup.workingDirectory = workingDir;
  setup.unwrapAhead = unwrapAhead;
  vl::RestoreRequest request;
  request.targetPath = target;
  auto act = std::make_unique<vl::RestoreAct>(std::move(setup), std::move(request));
  if (!act->encryptionKey().load(keys.encryptionKey.span(), true, vl::RsaKey::kBits,
                                 vl::RsaKeyKind::kEncryption, &pool)) {
    return {};
  }
  const auto start = std::chrono::steady_clock::now();
  vl::BuiltStart built;
  if (!vl::buildStartChunk({keys.userNumber, {}, keys.signingKey.span(), true, true}, setting.key,
                           &pool, &act->keys(), &built)) {
    return {};
  }
  act->dhExponent() = std::move(built.dhExponent);
  vl::TransportOptions options;
  options.lastAddressPath = workingDir + "/last_ip.bin";
  vl::ServerConnection connection(setting.endpoint, options);
  if (!connection.attach(std::move(built.chunk), std::move(act)) || !connection.run() ||
      !outcome.finished) {
    std::fprintf(stderr, "restore failed: %s\n", outcome.english.c_str());
    return {};
  }
  const auto end = std::chrono::steady_clock::now();
  return {std::chrono::duration<double>(end - start).count(),
          std::chrono::duration<double>(end - outcome.writing).count()};
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (!parse(argc, argv, &args)) {
    std::fprintf(stderr,
                 "usage: restore_wire --working-dir DIR --recovery FILE --to DIR [--rounds N]\n");
    return 2;
  }
  std::optional<vl::ServerSetting> setting =
      vl::chooseServer(args.workingDir + "/" + vl::kServerSettingFile);
  vl::RecoveryRecord keys;
  if (!setting || !vl::readRecovery(args.recovery, &keys)) {
    std::fprintf(stderr, "no server setting or recovery file\n");
    return 1;
  }
  vl::RandomPool pool;
  uint8_t seed[32];
  if (!vl::osRandomBytes(seed, sizeof seed)) return 1;
  pool.addBytes(seed, true);

  // The server's setting names 127.0.0.1 (the script's server); a relay
  // stands between when a delay is asked for.
  std::unique_ptr<SlowRelay> relay;
  if (args.delayMs > 0) {
    relay = std::make_unique<SlowRelay>(0x7f000001, setting->endpoint.port, args.delayMs);
    if (relay->port() == 0) return 1;
    setting->endpoint.address = 0x7f000001;
    setting->endpoint.port = relay->port();
  }

  double best[2] = {1e9, 1e9};
  double bestWriting[2] = {1e9, 1e9};
  for (int round = 0; round < args.rounds; ++round) {
    for (int ahead = 0; ahead < 2; ++ahead) {
      const std::string target = args.to + "/r" + std::to_string(round) + (ahead ? "a" : "w");
      const Timing timing = restoreOnce(*setting, keys, pool, target, ahead == 1, args.workingDir);
      if (timing.total < 0) return 1;
      const double seconds = timing.total;
      std::error_code ignored;
      std::filesystem::remove_all(target, ignored);
      std::printf("round %d %-28s %.3f s (writing pass %.3f s)\n", round,
                  ahead ? "unwrapped while waiting" : "unwrapped in the writing pass", seconds,
                  timing.writing);
      if (seconds < best[ahead]) best[ahead] = seconds;
      if (timing.writing < bestWriting[ahead]) bestWriting[ahead] = timing.writing;
    }
  }
  std::printf("fastest: writing pass only %.3f s, while waiting %.3f s, ratio %.2f\n", best[0],
              best[1], best[1] / best[0]);
  std::printf("fastest writing pass: %.3f s against %.3f s, ratio %.2f\n", bestWriting[0],
              bestWriting[1], bestWriting[1] / bestWriting[0]);
  return 0;
}
