// restore_wire: times whole restores of the latest copy from a running
// vl_server, with the section secrets unwrapped while the request pass waits
// for the network and without (all of them in the writing pass), in turns,
// and prints the fastest of each and their ratio. Used by
// bench/restore_unwrap_ahead.sh, which makes the server, the account and
// the copy.
//
//   restore_wire --working-dir DIR --recovery FILE --to DIR [--rounds N]
//
// DIR is a client working directory holding the server's setting
// ("server.bin"); each restore goes into a new folder under --to.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

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
  void restoreFailed(std::string_view, std::string_view text) override { english = text; }
  void restoreFinished() override { finished = true; }
};

struct Arguments {
  std::string workingDir, recovery, to;
  int rounds = 3;
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
    } else {
      return false;
    }
  }
  return !out->workingDir.empty() && !out->recovery.empty() && !out->to.empty() &&
         out->rounds > 0;
}

// One restore; its wall time in seconds, or a negative number when it failed.
double restoreOnce(const vl::ServerSetting& setting, const vl::RecoveryRecord& keys,
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
    return -1;
  }
  const auto start = std::chrono::steady_clock::now();
  vl::BuiltStart built;
  if (!vl::buildStartChunk({keys.userNumber, {}, keys.signingKey.span(), true, true}, setting.key,
                           &pool, &act->keys(), &built)) {
    return -1;
  }
  act->dhExponent() = std::move(built.dhExponent);
  vl::TransportOptions options;
  options.lastAddressPath = workingDir + "/last_ip.bin";
  vl::ServerConnection connection(setting.endpoint, options);
  if (!connection.attach(std::move(built.chunk), std::move(act)) || !connection.run() ||
      !outcome.finished) {
    std::fprintf(stderr, "restore failed: %s\n", outcome.english.c_str());
    return -1;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

  double best[2] = {1e9, 1e9};
  for (int round = 0; round < args.rounds; ++round) {
    for (int ahead = 0; ahead < 2; ++ahead) {
      const std::string target = args.to + "/r" + std::to_string(round) + (ahead ? "a" : "w");
      const double seconds =
          restoreOnce(*setting, keys, pool, target, ahead == 1, args.workingDir);
      if (seconds < 0) return 1;
      std::error_code ignored;
      std::filesystem::remove_all(target, ignored);
      std::printf("round %d %-28s %.3f s\n", round,
                  ahead ? "unwrapped while waiting" : "unwrapped in the writing pass", seconds);
      if (seconds < best[ahead]) best[ahead] = seconds;
    }
  }
  std::printf("fastest: writing pass only %.3f s, while waiting %.3f s, ratio %.2f\n", best[0],
              best[1], best[1] / best[0]);
  return 0;
}
