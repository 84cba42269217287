// vltool hash: SHA-256 digests and HMAC-SHA256 tags of files, for checking
// stored section fingerprints and tags by hand.
#include <cstdio>
#include <string>

#include "core/byte_buffer.h"
#include "core/secure_wipe.h"
#include "crypto/hmac_sha256.h"
#include "crypto/sha256.h"
#include "vltool/command_registry.h"
#include "vltool/file_io.h"
#include "vltool/hex.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool hash sha256 FILE        (prints the hex digest)\n"
    "vltool hash hmac KEYHEX FILE   (prints the hex tag; key 16 to 64 bytes)\n";

// Streams the file through the hash, so files of any size work.
int sha256File(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return fail("cannot read '" + path + "'");
  vl::Sha256 hash;
  uint8_t piece[65536];
  size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) hash.update(piece, got);
  const bool read_error = std::ferror(file) != 0;
  vl::secureWipe(piece, sizeof piece);
  std::fclose(file);
  if (read_error) return fail("cannot read '" + path + "'");
  std::printf("%s\n", toHex(hash.final()).c_str());
  return 0;
}

int hmacFile(const std::string& key_hex, const std::string& path) {
  vl::ByteBuffer key;
  if (!parseHex(key_hex, &key)) return fail("the key is not hex");
  vl::HmacSha256 mac(key);
  if (!mac.valid()) return fail("the key must be 16 to 64 bytes long");
  vl::ByteBuffer message;
  if (!readWholeFile(path, &message)) return fail("cannot read '" + path + "'");
  std::printf("%s\n", toHex(mac.mac(message)).c_str());
  return 0;
}

int runHash(const Args& args) {
  if (args.size() == 2 && args[0] == "sha256") return sha256File(args[1]);
  if (args.size() == 3 && args[0] == "hmac") return hmacFile(args[1], args[2]);
  return usageError("hash");
}

}  // namespace

VLTOOL_COMMAND_GROUP("hash", kUsage, runHash);

}  // namespace vltool
