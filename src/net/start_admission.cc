#include "net/start_admission.h"

#include "crypto/signature_check.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/transport_dh.h"

namespace vl {
namespace {

bool readsAsOurs(std::span<const uint8_t> chunk, uint32_t keyNumber, ParsedStart* start) {
  return parseStartChunk(chunk, start) && start->protocol == kStartProtocol &&
         start->version == kStartVersion && start->keyBlockVersion == kKeyBlockVersion &&
         start->serverKeyNumber == keyNumber;
}

bool signedByAccount(const ParsedStart& start, const ByteBuffer& signingPublicKey) {
  RsaKey key;
  return key.load(signingPublicKey.span(), false, RsaKey::kBits, RsaKeyKind::kSigning, nullptr) &&
         verifySignature(start.signedBlock, start.signature, key);
}

// Step 5: what the flag and X ask for is coherent and X is usable.
bool offersUsableDh(const ParsedStart& start) {
  if (start.encryptionFlag == 0) return !start.dhValue.has_value();
  return start.encryptionFlag == 1 && start.dhValue.has_value() &&
         TransportDh::acceptablePeerValue(*start.dhValue);
}

// The server's half of the DH step: Y into `admission`, the secret into
// the cipher key.
bool completeDh(const ParsedStart& start, RandomPool* pool, ExchangeKeys* keys,
                StartAdmission* admission) {
  ByteBuffer exponent;
  if (!TransportDh::generate(pool, &exponent, &admission->serverDhValue)) return false;
  const ByteBuffer secret = TransportDh::agree(exponent.span(), *start.dhValue);
  return keys->establish(secret.span());
}

}  // namespace

StartAdmission admitStart(std::span<const uint8_t> chunk, const RsaKey& serverKey,
                          uint32_t keyNumber, const SigningKeyLookup& lookup, RandomPool* pool,
                          ExchangeKeys* keys) {
  keys->clear();
  StartAdmission admission;
  if (!readsAsOurs(chunk, keyNumber, &admission.start)) return admission;

  admission.code = StartAnswerCode::kRefused;
  const ByteBuffer secret = serverKey.decapsulate(admission.start.encapsulated);
  if (!keys->derive(secret.span())) return admission;

  ByteBuffer signingPublicKey;
  if (!lookup(admission.start.userNumber, &signingPublicKey)) {
    admission.code = StartAnswerCode::kUserNotFound;
    return admission;
  }
  if (!signedByAccount(admission.start, signingPublicKey) || !offersUsableDh(admission.start)) {
    return admission;
  }
  if (admission.start.encryptionFlag == 1) {
    if (!completeDh(admission.start, pool, keys, &admission)) {
      admission.serverDhValue.clear();
      return admission;
    }
    admission.encrypt = true;
  }
  admission.code = StartAnswerCode::kAdmitted;
  return admission;
}

ByteBuffer buildStartupAnswer(StartAnswerCode code, bool encrypt,
                              std::span<const uint8_t> serverDhValue, const ExchangeKeys& keys) {
  ByteBuffer payload;
  payload.appendU16(static_cast<uint16_t>(code));
  if (code == StartAnswerCode::kAdmitted && encrypt) {
    if (serverDhValue.size() != TransportDh::kValueSize) return {};
    payload.appendCounted(serverDhValue.data(), serverDhValue.size());
  }
  if (keys.canAuthenticate() || code == StartAnswerCode::kAdmitted) {
    return buildChunk(ChunkType::kStartupResponse, std::move(payload), false, keys);
  }
  ByteBuffer chunk;
  appendChunkHeader(chunk, ChunkType::kStartupResponse);
  chunk.appendCounted(payload);
  const ByteBuffer zeros(kChunkMacSize);
  chunk.appendCounted(zeros);
  updateChunkLength(chunk);
  chunk.setReadPosition(kChunkHeaderSize);
  return chunk;
}

}  // namespace vl
