// The server's key pair in its data folder.
//
//   server_key.full  the private key, full form (896 bytes), readable only
//                    by the owner; never leaves the server
//   server_key.rec   the record that clients build in (266 bytes): u16 size
//                    code 0, u32 key number, field with the 256-byte modulus
//   server_key.pub   the bare modulus (256 bytes), for building clients
//                    (VL_SERVER_KEY_FILE)
//
// The key number says which key a client's start chunk was made for; a
// client built for another key number is told it is outdated.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/byte_buffer.h"

namespace vl {

class RandomPool;
class RsaKey;

inline constexpr const char* kServerPrivateKeyFile = "server_key.full";
inline constexpr const char* kServerKeyRecordFile = "server_key.rec";
inline constexpr const char* kServerPublicKeyFile = "server_key.pub";
inline constexpr const char* kAccountDatabaseFile = "accounts.db";
// One record store per account below it, named by the account's number.
inline constexpr const char* kBackupFolder = "backups";

// u16 0, u32 keyNumber, field: modulus.
ByteBuffer serverKeyRecord(uint32_t keyNumber, std::span<const uint8_t> modulus);

// Writes the three files of `key` (an encryption key with its private part)
// into `folder`, which must exist. Refuses, writing nothing, when a private
// key file is there already: a server's key is never replaced by accident.
// `error` says what failed.
[[nodiscard]] bool writeServerIdentity(const std::string& folder, const RsaKey& key,
                                       uint32_t keyNumber, std::string* error);

// Loads the private key and the key number from `folder`; the record's
// modulus must be the key's. `pool` is kept by the key for its operations.
[[nodiscard]] bool loadServerIdentity(const std::string& folder, RandomPool* pool, RsaKey* key,
                                      uint32_t* keyNumber, std::string* error);

// Reads a whole small file (at most `maxBytes`); false when it cannot be
// read or is longer.
[[nodiscard]] bool readSmallFile(const std::string& path, uint32_t maxBytes, ByteBuffer* bytes);

}  // namespace vl
