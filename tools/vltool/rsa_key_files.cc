#include "vltool/rsa_key_files.h"

#include "core/byte_buffer.h"
#include "vltool/file_io.h"

namespace vltool {

bool loadPublicKeyFile(const std::string& path, vl::RsaKeyKind kind, vl::RandomPool* pool,
                       vl::RsaKey* key, std::string* error) {
  vl::ByteBuffer bytes;
  if (!readWholeFile(path, &bytes)) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  if (bytes.size() != 256 && bytes.size() != 384 && bytes.size() != 512) {
    *error = "'" + path + "' is not a public key (256, 384 or 512 bytes of n)";
    return false;
  }
  if (!key->load(bytes.span(), false, 8 * bytes.size(), kind, pool)) {
    *error = "'" + path + "' does not hold a usable modulus (it must be odd)";
    return false;
  }
  return true;
}

bool loadPrivateKeyFile(const std::string& path, vl::RsaKeyKind kind, bool shortAllowed,
                        vl::RandomPool* pool, vl::RsaKey* key, std::string* error) {
  vl::ByteBuffer bytes;
  if (!readWholeFile(path, &bytes)) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  bool full = bytes.size() == vl::RsaKey::kFullFormBytes;
  bool shortForm = shortAllowed && bytes.size() == vl::RsaKey::kModulusBytes;
  if (!full && !shortForm) {
    *error = "'" + path + "' is not a private key (" +
             (shortAllowed ? std::string("256-byte short or ") : std::string()) +
             "896-byte full form)";
    return false;
  }
  if (!key->load(bytes.span(), true, vl::RsaKey::kBits, kind, pool)) {
    *error = "'" + path + "' does not hold a consistent private key";
    return false;
  }
  return true;
}

}  // namespace vltool
