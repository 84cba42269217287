#include "net/start_chunk.h"

#include <utility>

#include "core/strict_reader.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "net/chunk_header.h"
#include "net/transport_dh.h"

namespace vl {
namespace {

bool loadServerPublicKey(const ServerKey& server, RandomPool* pool, RsaKey* key) {
  const std::optional<uint32_t> bytes = serverModulusBytes(server.sizeCode);
  if (!bytes || server.modulus.size() != *bytes) return false;
  return key->load(server.modulus.span(), false, *bytes * 8, RsaKeyKind::kEncryption, pool);
}

ByteBuffer keyEstablishmentBlock(std::span<const uint8_t> encapsulated,
                                 const ByteBuffer* dhValue) {
  ByteBuffer block;
  block.appendU16(kKeyBlockVersion);
  block.appendCounted(encapsulated.data(), encapsulated.size());
  if (dhValue != nullptr) block.appendCounted(*dhValue);
  return block;
}

ByteBuffer signedBlock(const StartChunkInput& input, const ByteBuffer& nonce,
                       uint32_t serverKeyNumber, const ByteBuffer& keyBlock) {
  ByteBuffer block;
  block.appendCounted(nonce);
  block.appendU32(serverKeyNumber);
  block.appendCounted(keyBlock);
  block.appendU8(input.encrypt ? 1 : 0);
  block.appendCounted(input.accountString.data(), input.accountString.size());
  if (input.first) block.appendU16(0);
  return block;
}

// Everything but the keys; false with nothing usable in `out`.
bool assembleStart(const StartChunkInput& input, const ServerKey& server, RandomPool* pool,
                   ByteBuffer* secret, BuiltStart* out) {
  ByteBuffer nonce;
  ByteBuffer encapsulated;
  if (pool == nullptr || !pool->generate(kStartNonceSize, nonce) ||
      nonce.size() != kStartNonceSize ||
      !encapsulateForServer(server, pool, secret, &encapsulated)) {
    return false;
  }
  ByteBuffer dhValue;
  if (input.encrypt && !TransportDh::generate(pool, &out->dhExponent, &dhValue)) return false;

  const ByteBuffer keyBlock =
      keyEstablishmentBlock(encapsulated.span(), input.encrypt ? &dhValue : nullptr);
  const ByteBuffer block = signedBlock(input, nonce, server.keyNumber, keyBlock);
  const ByteBuffer signature = signMessage(block.span(), input.signingKey, pool);
  if (signature.empty()) return false;

  ByteBuffer& chunk = out->chunk;
  appendChunkHeader(chunk, ChunkType::kExchangeStart);
  chunk.appendU16(kStartProtocol);
  chunk.appendU16(kStartVersion);
  chunk.appendU32(input.userNumber);
  chunk.appendCounted(block);
  chunk.appendCounted(signature);
  updateChunkLength(chunk);
  chunk.setReadPosition(kChunkHeaderSize);
  return true;
}

// The signed block's fields into `parsed`; its key-establishment block is
// left in `keyBlock`.
bool parseSignedBlock(std::span<const uint8_t> block, ParsedStart* parsed,
                      std::span<const uint8_t>* keyBlock) {
  StrictReader in(block);
  if (!in.readCounted(&parsed->nonce) || parsed->nonce.size() != kStartNonceSize ||
      !in.readU32(&parsed->serverKeyNumber) || !in.readCounted(keyBlock) ||
      !in.readU8(&parsed->encryptionFlag) || !in.readCounted(&parsed->accountString)) {
    return false;
  }
  if (in.atEnd()) {
    parsed->first = false;
    return true;
  }
  uint16_t marker = 1;
  parsed->first = true;
  return in.readU16(&marker) && marker == 0 && in.atEnd();
}

bool parseKeyBlock(std::span<const uint8_t> block, ParsedStart* parsed) {
  StrictReader in(block);
  if (!in.readU16(&parsed->keyBlockVersion) || !in.readCounted(&parsed->encapsulated)) {
    return false;
  }
  if (in.atEnd()) return true;
  std::span<const uint8_t> dhValue;
  if (!in.readCounted(&dhValue) || !in.atEnd()) return false;
  parsed->dhValue = dhValue;
  return true;
}

}  // namespace

std::optional<uint32_t> serverModulusBytes(uint16_t sizeCode) {
  switch (sizeCode) {
    case 0:
      return 256;
    case 1:
      return 384;
    case 2:
      return 512;
    default:
      return std::nullopt;
  }
}

bool encapsulateForServer(const ServerKey& server, RandomPool* pool, ByteBuffer* secret,
                          ByteBuffer* encapsulated) {
  RsaKey serverKey;
  if (pool == nullptr || !loadServerPublicKey(server, pool, &serverKey) ||
      !serverKey.encapsulate(pool, secret, encapsulated)) {
    *secret = ByteBuffer();
    *encapsulated = ByteBuffer();
    return false;
  }
  return true;
}

bool buildStartChunk(const StartChunkInput& input, const ServerKey& server, RandomPool* pool,
                     ExchangeKeys* keys, BuiltStart* out) {
  keys->clear();
  BuiltStart built;
  ByteBuffer secret;
  if (!assembleStart(input, server, pool, &secret, &built) || !keys->derive(secret.span())) {
    keys->clear();
    *out = BuiltStart{};
    return false;
  }
  *out = std::move(built);
  return true;
}

bool parseStartChunk(std::span<const uint8_t> chunk, ParsedStart* parsed) {
  if (chunkTypeOf(chunk) != ChunkType::kExchangeStart) return false;
  ParsedStart read;
  std::span<const uint8_t> keyBlock;
  StrictReader in(chunk.subspan(kChunkHeaderSize));
  if (!in.readU16(&read.protocol) || !in.readU16(&read.version) ||
      !in.readU32(&read.userNumber) || !in.readCounted(&read.signedBlock) ||
      !in.readCounted(&read.signature) || !in.atEnd() ||
      !parseSignedBlock(read.signedBlock, &read, &keyBlock) || !parseKeyBlock(keyBlock, &read)) {
    return false;
  }
  *parsed = read;
  return true;
}

}  // namespace vl
