#include "net/startup_answer.h"

#include <utility>

#include "core/strict_reader.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/transport_dh.h"

namespace vl {
namespace {

// The code at the front of the payload of a complete type-1 chunk, read
// before the MAC is looked at.
bool readAnswerCode(std::span<const uint8_t> chunk, uint16_t* code) {
  if (chunkTypeOf(chunk) != ChunkType::kStartupResponse) return false;
  StrictReader body(chunk.subspan(kChunkHeaderSize));
  std::span<const uint8_t> payload;
  if (!body.readCounted(&payload)) return false;
  StrictReader in(payload);
  return in.readU16(code);
}

StartupResult notVerified(ExchangeKind kind) {
  return {StartupOutcome::kNotVerified, 0, startupVerificationMessage(kind)};
}

// The DH step of an admission whose MAC verified; `rest` follows the code.
bool establishCipherKey(StrictReader& rest, ExchangeKeys* keys, const ByteBuffer& dhExponent) {
  std::span<const uint8_t> serverValue;
  if (!rest.readCounted(&serverValue) || !rest.atEnd()) return false;
  const ByteBuffer secret = TransportDh::agree(dhExponent.span(), serverValue);
  return secret.size() == TransportDh::kSecretSize && keys->establish(secret.span());
}

}  // namespace

StartupResult handleStartupAnswer(std::span<const uint8_t> chunk, ExchangeKind kind, bool encrypt,
                                  ExchangeKeys* keys, ByteBuffer* dhExponent) {
  const ByteBuffer exponent = std::move(*dhExponent);
  dhExponent->clear();

  uint16_t code = 0;
  if (!readAnswerCode(chunk, &code)) return notVerified(kind);
  if (code != 0) return {StartupOutcome::kRefused, code, answerCodeMessage(kind, code)};

  ByteBuffer payload;
  if (verifyAndOpen(ByteBuffer(chunk), ChunkType::kStartupResponse, false, *keys, &payload) !=
      OpenStatus::kOpened) {
    return notVerified(kind);
  }
  StrictReader rest(payload.span());
  if (!rest.skip(2)) return notVerified(kind);
  if (!encrypt) {
    if (!rest.atEnd()) return notVerified(kind);
    return {StartupOutcome::kAdmitted, 0, {}};
  }
  if (!establishCipherKey(rest, keys, exponent)) {
    return {StartupOutcome::kKeySetupFailed, 0, keySetupMessage()};
  }
  return {StartupOutcome::kAdmitted, 0, {}};
}

}  // namespace vl
