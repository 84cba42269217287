// The key set of one account, made once when the account is created.
//
// local key      32 random bytes, XORed into every section's record key
// encryption     RSA pair (kind 0); the private half leaves the computer only
//                in the recovery file, the public half seals sections
// signing        RSA pair (kind 1); signs every exchange start, its public
//                half goes to the server at account creation
// log key        32 random bytes, master key of the encrypted copy log
#pragma once

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"

namespace vl {

inline constexpr uint32_t kLocalKeySize = 32;
inline constexpr uint32_t kLogKeySize = 32;
inline constexpr uint32_t kInstallIdSize = 8;

struct AccountKeys {
  ByteBuffer localKey;          // 32 bytes
  ByteBuffer encryptionKey;     // private half, full form (896 bytes)
  ByteBuffer signingKey;        // private half, short form (256 bytes)
  ByteBuffer signingPublicKey;  // n (256 bytes)
  ByteBuffer logKey;            // 32 bytes
};

// Makes the whole set from the pool, in this order: local key, encryption
// pair, signing pair, log key. False, with `keys` emptied, when the pool
// holds less than 512 credit or any step fails.
bool makeAccountKeys(RandomPool* pool, AccountKeys* keys);

}  // namespace vl
