// RSA keys from files for vltool's commands: the raw byte forms, little-endian
// (a 256-byte n, the 256-byte short form p || q, the 896-byte full form), as
// `vltool keys dump --extract` writes them.
#pragma once

#include <string>

#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"

namespace vltool {

// A public key: n of 256, 384 or 512 bytes (2048, 3072 or 4096 bits). False
// with a one-line reason in `error`.
bool loadPublicKeyFile(const std::string& path, vl::RsaKeyKind kind, vl::RandomPool* pool,
                       vl::RsaKey* key, std::string* error);

// A 2048-bit private key in the full form, or also the short form when
// `shortAllowed`.
bool loadPrivateKeyFile(const std::string& path, vl::RsaKeyKind kind, bool shortAllowed,
                        vl::RandomPool* pool, vl::RsaKey* key, std::string* error);

}  // namespace vltool
