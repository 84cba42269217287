// A server key, an account and a hand-written form of the start chunk, for
// the tests of the exchange start. The fixed RSA keys load in no time; the
// account's encryption key stands in for the server's.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/rsa_test_keys.h"
#include "crypto/server_key.h"
#include "net/chunk_header.h"
#include "net/start_admission.h"
#include "net/start_chunk.h"

namespace vl::test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(std::span<const uint8_t> span) { return Bytes(span.begin(), span.end()); }

constexpr uint32_t kUser = 4711;
constexpr uint32_t kKeyNumber = 303;

struct StartWorld {
  FixedKeys& keys = fixedKeys();
  const RsaKey& serverPrivate = keys.encryption;
  ServerKey server{0, kKeyNumber, keys.encryption.exportPublic()};
  ByteBuffer signingKey = keys.signing.exportShort();
  ByteBuffer account{std::string_view("installation-7")};

  StartChunkInput input(bool encrypt, bool first = true) const {
    return {kUser, account.span(), signingKey.span(), encrypt, first};
  }
  // The server's account table: one user, with the signing key's public half.
  SigningKeyLookup lookup() const {
    return [this](uint32_t user, ByteBuffer* publicKey) {
      if (user != kUser) return false;
      *publicKey = keys.signing.exportPublic();
      return true;
    };
  }
};

// Every part of a start chunk, so that tests can write any variant of it.
struct StartParts {
  uint16_t protocol = kStartProtocol;
  uint16_t version = kStartVersion;
  uint32_t user = kUser;
  Bytes nonce = Bytes(kStartNonceSize, 0x5a);
  uint32_t keyNumber = kKeyNumber;
  uint16_t keyBlockVersion = kKeyBlockVersion;
  Bytes encapsulated;
  std::optional<Bytes> dhValue;
  Bytes keyBlockTail;  // raw bytes after the key-establishment block's fields
  uint8_t flag = 0;
  Bytes account;
  Bytes signedTail;  // raw bytes after the account string: {0, 0} for a first start
  Bytes chunkTail;   // raw bytes after the signature
  std::optional<Bytes> signature;  // when unset, the account's signing key signs

  static StartParts of(const ParsedStart& start) {
    StartParts parts;
    parts.user = start.userNumber;
    parts.nonce = bytesOf(start.nonce);
    parts.encapsulated = bytesOf(start.encapsulated);
    if (start.dhValue) parts.dhValue = bytesOf(*start.dhValue);
    parts.flag = start.encryptionFlag;
    parts.account = bytesOf(start.accountString);
    if (start.first) parts.signedTail = {0, 0};
    return parts;
  }

  ByteBuffer signedBlock() const {
    ByteBuffer keyBlock;
    keyBlock.appendU16(keyBlockVersion);
    keyBlock.appendCounted(encapsulated.data(), encapsulated.size());
    if (dhValue) keyBlock.appendCounted(dhValue->data(), dhValue->size());
    keyBlock.appendBytes(keyBlockTail.data(), keyBlockTail.size());
    ByteBuffer block;
    block.appendCounted(nonce.data(), nonce.size());
    block.appendU32(keyNumber);
    block.appendCounted(keyBlock);
    block.appendU8(flag);
    block.appendCounted(account.data(), account.size());
    block.appendBytes(signedTail.data(), signedTail.size());
    return block;
  }

  ByteBuffer chunk(const StartWorld& world) const {
    const ByteBuffer block = signedBlock();
    const ByteBuffer signedBytes =
        signature ? ByteBuffer(signature->data(), signature->size())
                  : signMessage(block.span(), world.signingKey.span(), &world.keys.pool);
    ByteBuffer out;
    appendChunkHeader(out, ChunkType::kExchangeStart);
    out.appendU16(protocol);
    out.appendU16(version);
    out.appendU32(user);
    out.appendCounted(block);
    out.appendCounted(signedBytes);
    out.appendBytes(chunkTail.data(), chunkTail.size());
    updateChunkLength(out);
    return out;
  }
};

}  // namespace vl::test
