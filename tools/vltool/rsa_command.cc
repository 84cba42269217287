// vltool rsa: key encapsulation and signatures with raw key files, for
// producing and checking wrapped secrets and exchange signatures by hand.
#include <memory>
#include <string>

#include "core/byte_buffer.h"
#include "crypto/rsa_key.h"
#include "vltool/command_registry.h"
#include "vltool/file_io.h"
#include "vltool/rsa_key_files.h"
#include "vltool/tool_pool.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool rsa encapsulate PUBFILE SECRET_OUT CIPHERTEXT_OUT\n"
    "vltool rsa decapsulate FULLPRIVFILE CIPHERTEXT OUT\n"
    "vltool rsa sign PRIVFILE FILE OUT   (signs SHA-256 of FILE; short or full form)\n"
    "    (key files hold the raw little-endian forms: n, p || q, or the full form)\n";

int encapsulate(const Args& args) {
  std::unique_ptr<vl::RandomPool> pool = osCreditedPool();
  if (pool == nullptr) return fail("the operating system's random generator failed");
  vl::RsaKey key;
  std::string error;
  if (!loadPublicKeyFile(args[1], vl::RsaKeyKind::kEncryption, pool.get(), &key, &error)) {
    return fail(error);
  }
  vl::ByteBuffer secret;
  vl::ByteBuffer ciphertext;
  if (!key.encapsulate(&secret, &ciphertext)) return fail("encapsulation failed");
  if (!writeWholeFile(args[2], secret)) return fail("cannot write '" + args[2] + "'");
  if (!writeWholeFile(args[3], ciphertext)) return fail("cannot write '" + args[3] + "'");
  return 0;
}

int decapsulate(const Args& args) {
  vl::RsaKey key;
  std::string error;
  if (!loadPrivateKeyFile(args[1], vl::RsaKeyKind::kEncryption, false, nullptr, &key, &error)) {
    return fail(error);
  }
  vl::ByteBuffer ciphertext;
  if (!readWholeFile(args[2], &ciphertext)) return fail("cannot read '" + args[2] + "'");
  vl::ByteBuffer secret = key.decapsulate(ciphertext.span());
  if (secret.empty()) {
    return fail("'" + args[2] + "' is not a ciphertext of this key (256 bytes, below n)");
  }
  if (!writeWholeFile(args[3], secret)) return fail("cannot write '" + args[3] + "'");
  return 0;
}

int sign(const Args& args) {
  vl::RsaKey key;
  std::string error;
  // Loaded here only to tell a bad key file from other failures.
  if (!loadPrivateKeyFile(args[1], vl::RsaKeyKind::kSigning, true, nullptr, &key, &error)) {
    return fail(error);
  }
  vl::ByteBuffer keyBytes;
  vl::ByteBuffer message;
  if (!readWholeFile(args[1], &keyBytes)) return fail("cannot read '" + args[1] + "'");
  if (!readWholeFile(args[2], &message)) return fail("cannot read '" + args[2] + "'");
  vl::ByteBuffer signature = vl::signMessage(message.span(), keyBytes.span(), nullptr);
  if (signature.empty()) return fail("signing failed");
  if (!writeWholeFile(args[3], signature)) return fail("cannot write '" + args[3] + "'");
  return 0;
}

int runRsa(const Args& args) {
  if (args.size() != 4) return usageError("rsa");
  if (args[0] == "encapsulate") return encapsulate(args);
  if (args[0] == "decapsulate") return decapsulate(args);
  if (args[0] == "sign") return sign(args);
  return usageError("rsa");
}

}  // namespace

VLTOOL_COMMAND_GROUP("rsa", kUsage, runRsa);

}  // namespace vltool
