#include "server/identity/server_identity.h"

#include "core/strict_reader.h"
#include "crypto/rsa_key.h"
#include "platform/atomic_file.h"
#include "platform/file.h"
#include "platform/folder_handle.h"

namespace vl {
namespace {

bool writeNewFile(const FolderHandle& folder, const char* name, FileAccess access,
                  const ByteBuffer& bytes) {
  File file;
  return file.createNewAt(folder, name, access) && file.write(bytes.data(), bytes.size()) &&
         file.close();
}

}  // namespace

ByteBuffer serverKeyRecord(uint32_t keyNumber, std::span<const uint8_t> modulus) {
  ByteBuffer record;
  record.appendU16(0);
  record.appendU32(keyNumber);
  record.appendCounted(modulus.data(), modulus.size());
  return record;
}

bool readSmallFile(const std::string& path, uint32_t maxBytes, ByteBuffer* bytes) {
  File file;
  if (!file.openRegularForReading(path)) return false;
  ByteBuffer read(static_cast<size_t>(maxBytes) + 1);
  size_t total = 0;
  while (total < read.size()) {
    const std::optional<size_t> got = file.read(read.data() + total, read.size() - total);
    if (!got) return false;
    if (*got == 0) break;
    total += *got;
  }
  if (total > maxBytes) return false;
  read.resize(total);
  *bytes = std::move(read);
  return true;
}

bool writeServerIdentity(const std::string& folder, const RsaKey& key, uint32_t keyNumber,
                         std::string* error) {
  const ByteBuffer full = key.exportFull();
  const ByteBuffer modulus = key.exportPublic();
  if (full.size() != RsaKey::kFullFormBytes || modulus.size() != RsaKey::kModulusBytes) {
    *error = "the key is not a 2048-bit private key";
    return false;
  }
  FolderHandle handle;
  if (!handle.open(folder)) {
    *error = "cannot open " + folder;
    return false;
  }
  const std::string privatePath = folder + "/" + kServerPrivateKeyFile;
  if (!nameIsFree(privatePath)) {
    *error = "cannot create " + privatePath + " (a server key is there already)";
    return false;
  }
  // What an init cut off in the middle of the key left: part of a private key.
  removeStaleTemporaries(folder);
  if (!handle.removeFile(kServerKeyRecordFile) || !handle.removeFile(kServerPublicKeyFile) ||
      !writeNewFile(handle, kServerKeyRecordFile, FileAccess::kDefault,
                    serverKeyRecord(keyNumber, modulus.span())) ||
      !writeNewFile(handle, kServerPublicKeyFile, FileAccess::kDefault, modulus)) {
    *error = "cannot write the public key files in " + folder;
    return false;
  }
  // The private key comes last and appears whole or not at all (owner-only,
  // synced, then renamed into place): an init stopped before it leaves no
  // key, and can simply be run again.
  AtomicFileWriter writer;
  if (!writer.open(privatePath) || !writer.write(full.data(), full.size()) || !writer.commit()) {
    *error = "cannot create " + privatePath;
    return false;
  }
  return true;
}

bool loadServerIdentity(const std::string& folder, RandomPool* pool, RsaKey* key,
                        uint32_t* keyNumber, std::string* error) {
  ByteBuffer full;
  ByteBuffer record;
  if (!readSmallFile(folder + "/" + kServerPrivateKeyFile, RsaKey::kFullFormBytes, &full) ||
      !key->load(full.span(), true, RsaKey::kBits, RsaKeyKind::kEncryption, pool)) {
    *error = "no usable private key in " + folder + "/" + kServerPrivateKeyFile;
    return false;
  }
  uint16_t sizeCode = 0;
  uint32_t number = 0;
  std::span<const uint8_t> modulus;
  const bool read = readSmallFile(folder + "/" + kServerKeyRecordFile, 1024, &record);
  StrictReader reader(record.span());
  if (!read || !reader.readU16(&sizeCode) || !reader.readU32(&number) ||
      !reader.readCounted(&modulus) || !reader.atEnd() || sizeCode != 0) {
    *error = "no usable key record in " + folder + "/" + kServerKeyRecordFile;
    return false;
  }
  const ByteBuffer own = key->exportPublic();
  if (!std::equal(modulus.begin(), modulus.end(), own.span().begin(), own.span().end())) {
    *error = std::string(kServerKeyRecordFile) + " does not belong to " + kServerPrivateKeyFile;
    return false;
  }
  *keyNumber = number;
  return true;
}

}  // namespace vl
