// vltool cipher: the client's AES-256-CBC with its padding, the AES and
// Serpent counter generators, key splitting and the section cipher, applied
// to files, for examining and producing encrypted data by hand.
#include <charconv>
#include <cstdio>
#include <memory>
#include <string>

#include "core/byte_buffer.h"
#include "core/secure_wipe.h"
#include "crypto/aes_cipher.h"
#include "crypto/key_derivation.h"
#include "crypto/random_pool.h"
#include "crypto/section_cipher.h"
#include "crypto/serpent_cipher.h"
#include "platform/os_random.h"
#include "vltool/command_registry.h"
#include "vltool/file_io.h"
#include "vltool/hex.h"
#include "vltool/tool_pool.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool cipher cbc-encrypt|cbc-decrypt KEYHEX IVHEX IN OUT   (AES, padded)\n"
    "vltool cipher keystream aes|serpent KEYHEX LENGTH OUT\n"
    "vltool cipher derive-keys KEYHEX      (prints key 0 and key 1, one a line)\n"
    "vltool cipher seal|open MASTERKEYHEX IN OUT\n"
    "    (seal draws its IV from a pool credited from the operating system's\n"
    "     generator, which only this tool does)\n";

bool parseKey(const std::string& hex, vl::ByteBuffer* key, std::string* error) {
  if (!parseHex(hex, key)) {
    *error = "the key is not hex";
    return false;
  }
  if (key->size() != 16 && key->size() != 24 && key->size() != 32) {
    *error = "the key must be 16, 24 or 32 bytes long";
    return false;
  }
  return true;
}

int cbc(bool encrypt, const Args& args) {
  vl::ByteBuffer key, iv, data;
  std::string error;
  if (!parseKey(args[1], &key, &error)) return fail(error);
  if (!parseHex(args[2], &iv) || iv.size() != vl::AesCipher::kBlockSize) {
    return fail("the IV must be 16 bytes of hex");
  }
  if (!readWholeFile(args[3], &data)) return fail("cannot read '" + args[3] + "'");
  vl::AesCipher aes(key);
  aes.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
  if (encrypt ? !aes.encryptBuffer(data) : !aes.decryptBuffer(data)) {
    return fail("'" + args[3] + "' is not a whole number of blocks with valid padding");
  }
  if (!writeWholeFile(args[4], data)) return fail("cannot write '" + args[4] + "'");
  return 0;
}

int keystream(const Args& args) {
  vl::ByteBuffer key;
  std::string error;
  if (!parseKey(args[2], &key, &error)) return fail(error);
  uint32_t length = 0;
  const std::string& text = args[3];
  auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), length);
  if (status != std::errc() || end != text.data() + text.size()) {
    return fail("LENGTH must be a number of bytes below 4 GiB");
  }
  vl::ByteBuffer stream;
  if (args[1] == "aes") {
    stream = vl::AesCipher(key).keystream(length);
  } else if (args[1] == "serpent") {
    stream = vl::SerpentCipher(key).keystream(length);
  } else {
    return usageError("cipher");
  }
  if (!writeWholeFile(args[4], stream)) return fail("cannot write '" + args[4] + "'");
  return 0;
}

int deriveKeys(const Args& args) {
  vl::ByteBuffer key;
  std::string error;
  if (!parseKey(args[1], &key, &error)) return fail(error);
  vl::KeyPair pair = vl::deriveKeys(key);
  std::printf("%s\n%s\n", toHex(pair.key(0)).c_str(), toHex(pair.key(1)).c_str());
  return 0;
}

// A developer's pool: credited from the operating system's generator so that
// seal works at once. The client never credits its pool this way.
std::unique_ptr<vl::RandomPool> toolPool() { return osCreditedPool(); }

int section(bool seal, const Args& args) {
  vl::ByteBuffer key, data;
  std::string error;
  if (!parseKey(args[1], &key, &error)) return fail(error);
  if (!readWholeFile(args[2], &data)) return fail("cannot read '" + args[2] + "'");
  std::unique_ptr<vl::RandomPool> pool = toolPool();
  if (pool == nullptr) return fail("the operating system's random generator failed");
  vl::SectionCipher cipher(key, pool.get());
  if (seal ? !cipher.seal(data) : !cipher.open(data)) {
    return fail(seal ? "sealing failed"
                     : "'" + args[2] + "' does not open under this key (tag, length or padding)");
  }
  if (!writeWholeFile(args[3], data)) return fail("cannot write '" + args[3] + "'");
  return 0;
}

int runCipher(const Args& args) {
  if (args.empty()) return usageError("cipher");
  const std::string& verb = args[0];
  if ((verb == "cbc-encrypt" || verb == "cbc-decrypt") && args.size() == 5) {
    return cbc(verb == "cbc-encrypt", args);
  }
  if (verb == "keystream" && args.size() == 5) return keystream(args);
  if (verb == "derive-keys" && args.size() == 2) return deriveKeys(args);
  if ((verb == "seal" || verb == "open") && args.size() == 4) return section(verb == "seal", args);
  return usageError("cipher");
}

}  // namespace

VLTOOL_COMMAND_GROUP("cipher", kUsage, runCipher);

}  // namespace vltool
