// The server's side of account setup and takeover, for the exchange tests:
// reading a setup request, answering it, and admitting a start and answering
// a RecoverChunk, all with the wire library's own functions and no socket.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/strict_reader.h"
#include "crypto/account_keys.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/setup_act.h"
#include "start_test_util.h"

namespace vl::test {

// A setup request as the server reads it.
struct ReadSetupRequest {
  uint16_t protocol = 0, version = 0;
  std::vector<std::string> strings;
  Bytes signingPublicKey;
  uint32_t value = 1;
  uint16_t keyBlockVersion = 0;
  Bytes encapsulated;
};

inline bool readSetupRequest(const ByteBuffer& chunk, ReadSetupRequest* out) {
  if (chunkTypeOf(chunk.span()) != ChunkType::kAccountSetupRequest) return false;
  StrictReader in(chunk.span().subspan(kChunkHeaderSize));
  std::span<const uint8_t> record, key, block, encapsulated;
  if (!in.readU16(&out->protocol) || !in.readU16(&out->version) || !in.readCounted(&record) ||
      !in.readCounted(&key) || !in.readU32(&out->value) || !in.readCounted(&block) ||
      !in.atEnd()) {
    return false;
  }
  StrictReader strings(record);
  std::span<const uint8_t> text;
  while (strings.readCounted(&text)) out->strings.emplace_back(text.begin(), text.end());
  StrictReader keyBlock(block);
  if (!strings.atEnd() || !keyBlock.readU16(&out->keyBlockVersion) ||
      !keyBlock.readCounted(&encapsulated) || !keyBlock.atEnd()) {
    return false;
  }
  out->signingPublicKey = bytesOf(key);
  out->encapsulated = bytesOf(encapsulated);
  return true;
}

// New account keys made of the fixed test keys (generating costs seconds).
inline AccountKeys fixedAccountKeys() {
  FixedKeys& keys = fixedKeys();
  AccountKeys account;
  account.localKey = ByteBuffer(Bytes(32, 0x11));
  account.encryptionKey = keys.other.exportFull();
  account.signingKey = keys.signing.exportShort();
  account.signingPublicKey = keys.signing.exportPublic();
  account.logKey = ByteBuffer(Bytes(32, 0x22));
  return account;
}

// An account setup answer MAC'd under `keys` (or with one MAC byte flipped).
inline ByteBuffer setupAnswer(const ByteBuffer& payload, const ExchangeKeys& keys,
                              bool goodMac = true, ChunkType type = ChunkType::kAccountSetupResponse) {
  ByteBuffer chunk;
  appendChunkHeader(chunk, type);
  chunk.appendCounted(payload);
  ByteBuffer mac = chunkMac(keys, ChunkType::kAccountSetupResponse, payload.span());
  if (mac.empty()) mac = ByteBuffer(Bytes(32, 0));
  if (!goodMac) mac[0] ^= 1;
  chunk.appendCounted(mac);
  updateChunkLength(chunk);
  return chunk;
}

inline ByteBuffer createdPayload(uint32_t account, std::span<const uint8_t> echo,
                                 uint32_t reservedGib) {
  ByteBuffer payload;
  payload.appendU16(0);
  payload.appendU32(account);
  payload.appendCounted(echo.data(), echo.size());
  payload.appendU32(reservedGib);
  return payload;
}

}  // namespace vl::test
