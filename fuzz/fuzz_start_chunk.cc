// The exchange start on arbitrary bytes: the server's strict parser and its
// checks, and the client's handling of a startup answer.
//
// The first byte steers. Bit 0: the rest is a startup answer instead of a
// start chunk. For a start chunk, bit 1 wraps the rest in a type-0 header of
// the right length, and bit 2 re-signs a parsed chunk's signed block with the
// account's key and puts a real encapsulation in it, so that the DH checks
// behind the signature are reached. For an answer, bit 1 wraps the rest as
// its payload with the right MAC and bit 2 turns transport encryption on.
//
// A parsed start chunk written again from its parts must give back the same
// bytes: there is exactly one way to write what the parser accepts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/start_admission.h"
#include "net/start_chunk.h"
#include "net/startup_answer.h"
#include "net/transport_dh.h"
#include "tests/crypto/rsa_test_keys.h"

namespace {

using vl::ByteBuffer;

void check(bool condition) {
  if (!condition) std::abort();
}

// A deterministic pool and the fixed test keys: the account's encryption key
// plays the server's.
struct World {
  vl::RandomPool pool;
  const vl::RsaKey& server = vl::test::fixedKeys().encryption;
  ByteBuffer signingKey = vl::test::fixedKeys().signing.exportShort();
  ByteBuffer signingPublic = vl::test::fixedKeys().signing.exportPublic();
  ByteBuffer encapsulated;
  ByteBuffer secret;  // what `encapsulated` carries: the client's exchange secret
  vl::ExchangeKeys clientKeys{&pool};
  ByteBuffer dhExponent;
  World() {
    const uint8_t seed[32] = {9, 8, 7};
    pool.addBytes(seed, true);
    check(vl::test::fixedKeys().ok && server.encapsulate(&pool, &secret, &encapsulated) &&
          clientKeys.derive(secret.span()));
    dhExponent = ByteBuffer(std::string(64, '\x33'));
  }
};

World& world() {
  static World w;
  return w;
}

ByteBuffer keyBlockOf(const vl::ParsedStart& p, std::span<const uint8_t> encapsulated) {
  ByteBuffer block;
  block.appendU16(p.keyBlockVersion);
  block.appendCounted(encapsulated.data(), encapsulated.size());
  if (p.dhValue) block.appendCounted(p.dhValue->data(), p.dhValue->size());
  return block;
}

ByteBuffer signedBlockOf(const vl::ParsedStart& p, const ByteBuffer& keyBlock) {
  ByteBuffer block;
  block.appendCounted(p.nonce.data(), p.nonce.size());
  block.appendU32(p.serverKeyNumber);
  block.appendCounted(keyBlock);
  block.appendU8(p.encryptionFlag);
  block.appendCounted(p.accountString.data(), p.accountString.size());
  if (p.first) block.appendU16(0);
  return block;
}

ByteBuffer chunkOf(const vl::ParsedStart& p, const ByteBuffer& signedBlock,
                   std::span<const uint8_t> signature) {
  ByteBuffer chunk;
  vl::appendChunkHeader(chunk, vl::ChunkType::kExchangeStart);
  chunk.appendU16(p.protocol);
  chunk.appendU16(p.version);
  chunk.appendU32(p.userNumber);
  chunk.appendCounted(signedBlock);
  chunk.appendCounted(signature.data(), signature.size());
  vl::updateChunkLength(chunk);
  return chunk;
}

void admit(const ByteBuffer& chunk) {
  World& w = world();
  vl::ExchangeKeys keys(&w.pool);
  auto lookup = [&w](uint32_t user, ByteBuffer* key) {
    if (user % 2 != 0) return false;
    *key = w.signingPublic;
    return true;
  };
  const vl::StartAdmission admission =
      vl::admitStart(chunk.span(), w.server, vl::kServerKeyNumber, lookup, &w.pool, &keys);
  const bool admitted = admission.code == vl::StartAnswerCode::kAdmitted;
  check(!admitted || keys.present());
  check(keys.established() == (admitted && admission.encrypt));
  check(admission.serverDhValue.size() ==
        (admitted && admission.encrypt ? vl::TransportDh::kValueSize : 0u));
  if (admission.code != vl::StartAnswerCode::kOutdatedClient) {
    check(!vl::buildStartupAnswer(admission.code, admission.encrypt,
                                  admission.serverDhValue.span(), keys).empty());
  }
}

void startChunk(uint8_t steer, const uint8_t* data, size_t size) {
  ByteBuffer chunk;
  if (steer & 2) {
    vl::appendChunkHeader(chunk, vl::ChunkType::kExchangeStart);
    chunk.appendBytes(data, size);
    vl::updateChunkLength(chunk);
  } else {
    chunk = ByteBuffer(data, size);
  }
  vl::ParsedStart p;
  if (!vl::parseStartChunk(chunk.span(), &p)) {
    admit(chunk);
    return;
  }
  check(p.nonce.size() == vl::kStartNonceSize);
  const ByteBuffer signedBlock = signedBlockOf(p, keyBlockOf(p, p.encapsulated));
  check(signedBlock.span().size() == p.signedBlock.size() &&
        std::equal(p.signedBlock.begin(), p.signedBlock.end(), signedBlock.data()));
  check(chunkOf(p, signedBlock, p.signature) == chunk);
  if (steer & 4) {
    World& w = world();
    const ByteBuffer block = signedBlockOf(p, keyBlockOf(p, w.encapsulated.span()));
    chunk = chunkOf(p, block, vl::signMessage(block.span(), w.signingKey.span(), &w.pool).span());
  }
  admit(chunk);
}

void startupAnswer(uint8_t steer, const uint8_t* data, size_t size) {
  World& w = world();
  ByteBuffer chunk;
  if (steer & 2) {
    vl::appendChunkHeader(chunk, vl::ChunkType::kStartupResponse);
    chunk.appendCounted(data, size);
    chunk.appendCounted(vl::chunkMac(w.clientKeys, vl::ChunkType::kStartupResponse,
                                     std::span<const uint8_t>(data, size)));
    vl::updateChunkLength(chunk);
  } else {
    chunk = ByteBuffer(data, size);
  }
  const bool encrypt = (steer & 4) != 0;
  // The keys as the start chunk left them.
  vl::ExchangeKeys keys(&w.pool);
  check(keys.derive(w.secret.span()));
  ByteBuffer exponent = w.dhExponent;
  const vl::StartupResult result =
      vl::handleStartupAnswer(chunk.span(), vl::ExchangeKind::kBackup, encrypt, &keys, &exponent);
  check(exponent.empty());
  switch (result.outcome) {
    case vl::StartupOutcome::kAdmitted:
      check(result.code == 0 && result.message.english.empty());
      check(keys.established() == encrypt);
      break;
    case vl::StartupOutcome::kRefused:
      check(result.code != 0 && !result.message.swedish.empty());
      break;
    default:
      check(!result.message.english.empty() && !keys.established());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    startupAnswer(data[0], data + 1, size - 1);
  } else {
    startChunk(data[0], data + 1, size - 1);
  }
  return 0;
}
