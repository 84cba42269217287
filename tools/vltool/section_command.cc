// vltool section: section records sealed, opened and described, for making
// test records and examining what the server stores.
#include <cstdio>
#include <memory>
#include <string>

#include "core/byte_buffer.h"
#include "crypto/rsa_key.h"
#include "model/section_record.h"
#include "vltool/command_registry.h"
#include "vltool/file_io.h"
#include "vltool/hex.h"
#include "vltool/rsa_key_files.h"
#include "vltool/tool_pool.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool section seal [--no-compress] LOCALKEYHEX PUBFILE IN OUT\n"
    "vltool section open LOCALKEYHEX FULLPRIVFILE IN OUT\n"
    "vltool section info RECORD   (type, version, kind and field lengths; no keys)\n";

bool parseLocalKey(const std::string& hex, vl::ByteBuffer* key) {
  return parseHex(hex, key) && key->size() == 32;
}

int sealRecord(Args args) {
  bool compress = true;
  if (args.size() == 6 && args[1] == "--no-compress") {
    compress = false;
    args.erase(args.begin() + 1);
  }
  if (args.size() != 5) return usageError("section");
  vl::ByteBuffer localKey;
  if (!parseLocalKey(args[1], &localKey)) return fail("the local key must be 32 bytes of hex");
  std::unique_ptr<vl::RandomPool> pool = osCreditedPool();
  if (pool == nullptr) return fail("the operating system's random generator failed");
  vl::RsaKey key;
  std::string error;
  if (!loadPublicKeyFile(args[2], vl::RsaKeyKind::kEncryption, pool.get(), &key, &error)) {
    return fail(error);
  }
  vl::ByteBuffer piece;
  if (!readWholeFile(args[3], &piece)) return fail("cannot read '" + args[3] + "'");
  vl::SectionStats stats;
  vl::ByteBuffer record =
      vl::sealSection(piece.span(), localKey.span(), key, compress, *pool, &stats);
  if (record.empty()) return fail("sealing failed (the key must be a 2048-bit modulus)");
  if (!writeWholeFile(args[4], record)) return fail("cannot write '" + args[4] + "'");
  std::printf("kind: %d\nplain length: %u\nstored length: %u\ncompression useless: %s\n",
              stats.compressed ? 4 : 0, stats.plainLength, stats.storedLength,
              stats.compressionUseless ? "yes" : "no");
  return 0;
}

int openRecord(const Args& args) {
  if (args.size() != 5) return usageError("section");
  vl::ByteBuffer localKey;
  if (!parseLocalKey(args[1], &localKey)) return fail("the local key must be 32 bytes of hex");
  vl::RsaKey key;
  std::string error;
  if (!loadPrivateKeyFile(args[2], vl::RsaKeyKind::kEncryption, false, nullptr, &key, &error)) {
    return fail(error);
  }
  vl::ByteBuffer record;
  if (!readWholeFile(args[3], &record)) return fail("cannot read '" + args[3] + "'");
  std::optional<vl::ByteBuffer> piece = vl::openSection(record.span(), localKey.span(), key);
  if (!piece) {
    return fail("'" + args[3] + "' does not open with these keys, or is not a section record");
  }
  if (!writeWholeFile(args[4], *piece)) return fail("cannot write '" + args[4] + "'");
  return 0;
}

// Prints the layout as far as it can be read, then says where it stops.
int info(const Args& args) {
  if (args.size() != 2) return usageError("section");
  vl::ByteBuffer record;
  if (!readWholeFile(args[1], &record)) return fail("cannot read '" + args[1] + "'");
  if (record.size() < 6) return fail("'" + args[1] + "' is shorter than a record header");
  uint16_t type = record.readU16();
  uint16_t version = record.readU16();
  uint8_t reserved = record.readU8();
  uint8_t kind = record.readU8();
  std::printf("size: %u\ntype: %u\nversion: %u\nbyte 4: %u\nkind: %u\n", record.size(), type,
              version, reserved, kind);
  const char* names[] = {"wrapped secret", "body", "tag"};
  int fields = version == 0 ? 3 : 2;
  for (int i = 0; i < fields; ++i) {
    if (record.remaining() < 4) {
      std::printf("%s: missing\n", names[i]);
      return 1;
    }
    uint32_t length = record.readU32();
    if (record.remaining() < length) {
      std::printf("%s: %u bytes, cut short at %u\n", names[i], length, record.remaining());
      return 1;
    }
    std::printf("%s: %u bytes\n", names[i], length);
    record.setReadPosition(record.readPosition() + length);
  }
  if (record.remaining() != 0) std::printf("trailing bytes: %u\n", record.remaining());
  bool valid = type == vl::kSectionRecordType && version <= 1 && reserved == 0 && kind <= 4;
  std::printf("header: %s\n", valid ? "valid" : "not a readable section record");
  return valid ? 0 : 1;
}

int runSection(const Args& args) {
  if (args.empty()) return usageError("section");
  if (args[0] == "seal") return sealRecord(args);
  if (args[0] == "open") return openRecord(args);
  if (args[0] == "info") return info(args);
  return usageError("section");
}

}  // namespace

VLTOOL_COMMAND_GROUP("section", kUsage, runSection);

}  // namespace vltool
