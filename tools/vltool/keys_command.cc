// vltool keys: a whole account key set made into the client's files, and the
// key files and recovery files decoded, for setting up test accounts and
// examining what a user sends in.
#include <charconv>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/account_keys.h"
#include "crypto/key_files.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"
#include "vltool/command_registry.h"
#include "vltool/file_io.h"
#include "vltool/hex.h"
#include "vltool/tool_pool.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool keys generate DIR [USERNUMBER]\n"
    "    (writes local_key.bin, logg_key.bin, install_id.bin and recovery.drf)\n"
    "vltool keys dump FILE [--extract DIR]\n"
    "    (local_key.bin, logg_key.bin, install_id.bin or a recovery file; --extract\n"
    "     writes the raw key forms: encryption_key.full, encryption_key.pub,\n"
    "     signing_key.short, signing_key.pub, local.key, log.key)\n";

constexpr char kRecoveryFile[] = "recovery.drf";

int generate(const Args& args) {
  uint32_t userNumber = 1;
  if (args.size() == 3) {
    const std::string& text = args[2];
    auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), userNumber);
    if (status != std::errc() || end != text.data() + text.size()) {
      return fail("USERNUMBER must be a number below 2^32");
    }
  }
  std::unique_ptr<vl::RandomPool> pool = osCreditedPool();
  if (pool == nullptr) return fail("the operating system's random generator failed");
  vl::AccountKeys keys;
  vl::ByteBuffer installId;
  if (!vl::makeAccountKeys(pool.get(), &keys) || !pool->generate(vl::kInstallIdSize, installId)) {
    return fail("making the key set failed");
  }
  const std::string dir = args[1];
  vl::RecoveryRecord recovery;
  recovery.userNumber = userNumber;
  recovery.localKey = keys.localKey;
  recovery.encryptionKey = keys.encryptionKey;
  recovery.signingKey = keys.signingKey;
  recovery.serverKeyCode = static_cast<uint8_t>(vl::kServerKeySizeCode);
  recovery.logKey = keys.logKey;
  struct {
    const char* name;
    bool written;
  } files[] = {
      {vl::kLocalKeyFile, vl::writeLocalKey(dir + "/" + vl::kLocalKeyFile, userNumber,
                                            keys.localKey, keys.encryptionKey, keys.signingKey)},
      {kRecoveryFile, vl::writeRecovery(dir + "/" + kRecoveryFile, recovery)},
      {vl::kLogKeyFile, vl::writeLogKey(dir + "/" + vl::kLogKeyFile, keys.logKey)},
      {vl::kInstallIdFile, vl::writeInstallId(dir + "/" + vl::kInstallIdFile, installId)},
  };
  for (const auto& file : files) {
    if (!file.written) return fail("cannot write '" + dir + "/" + file.name + "'");
  }
  std::printf("user number: %u\n", userNumber);
  return 0;
}

void printField(const char* name, const vl::ByteBuffer& value) {
  std::printf("%s: %s\n", name, toHex(value).c_str());
}

// n of a private key form, for the extracted public halves.
vl::ByteBuffer publicHalf(const vl::ByteBuffer& privateForm, vl::RsaKeyKind kind) {
  vl::RsaKey key;
  if (!key.load(privateForm.span(), true, vl::RsaKey::kBits, kind, nullptr)) return {};
  return key.exportPublic();
}

struct Extracted {
  const char* name;
  vl::ByteBuffer bytes;
};

int dump(const Args& args) {
  if (args.size() != 2 && !(args.size() == 4 && args[2] == "--extract")) {
    return usageError("keys");
  }
  vl::ByteBuffer record;
  if (!record.loadFromFile(args[1])) {
    return fail("cannot read '" + args[1] + "' as a buffer file");
  }
  std::vector<Extracted> extracted;
  vl::RecoveryRecord recovery;
  vl::LocalKeyRecord local;
  vl::ByteBuffer single;
  if (vl::decodeRecovery(record, &recovery)) {
    std::printf("file: recovery file\nuser number: %u\n", recovery.userNumber);
    printField("local key", recovery.localKey);
    printField("encryption key (full)", recovery.encryptionKey);
    printField("signing key (short)", recovery.signingKey);
    std::printf("server key code: %u\nserver key flag: %s\n", recovery.serverKeyCode,
                recovery.serverKeyFlag() ? "set" : "clear");
    printField("log key", recovery.logKey);
    extracted = {
        {"encryption_key.full", recovery.encryptionKey},
        {"encryption_key.pub", publicHalf(recovery.encryptionKey, vl::RsaKeyKind::kEncryption)},
        {"signing_key.short", recovery.signingKey},
        {"signing_key.pub", publicHalf(recovery.signingKey, vl::RsaKeyKind::kSigning)},
        {"local.key", recovery.localKey},
        {"log.key", recovery.logKey}};
  } else if (vl::decodeLocalKey(record, &local)) {
    std::printf("file: local key file\nuser number: %u\n", local.userNumber);
    printField("local key", local.localKey);
    printField("encryption key (public)", local.encryptionPublicKey);
    printField("signing key (short)", local.signingKey);
    extracted = {{"encryption_key.pub", local.encryptionPublicKey},
                 {"signing_key.short", local.signingKey},
                 {"signing_key.pub", publicHalf(local.signingKey, vl::RsaKeyKind::kSigning)},
                 {"local.key", local.localKey}};
  } else if (vl::decodeLogKey(record, &single)) {
    std::printf("file: log key file\n");
    printField("log key", single);
    extracted = {{"log.key", single}};
  } else if (vl::decodeInstallId(record, &single)) {
    std::printf("file: installation id file\n");
    printField("installation id", single);
  } else {
    return fail("'" + args[1] +
                "' is none of local_key.bin, logg_key.bin, install_id.bin or a recovery file "
                "(wrong type, version or length)");
  }
  if (args.size() == 4) {
    for (const Extracted& file : extracted) {
      std::string path = args[3] + "/" + file.name;
      if (file.bytes.empty() || !writeWholeFile(path, file.bytes)) {
        return fail("cannot write '" + path + "'");
      }
    }
  }
  return 0;
}

int runKeys(const Args& args) {
  if (args.size() >= 2 && args.size() <= 3 && args[0] == "generate") return generate(args);
  if (!args.empty() && args[0] == "dump") return dump(args);
  return usageError("keys");
}

}  // namespace

VLTOOL_COMMAND_GROUP("keys", kUsage, runKeys);

}  // namespace vltool
