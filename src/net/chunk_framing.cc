#include "net/chunk_framing.h"

#include <cstring>
#include <utility>

#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/random_pool.h"
#include "crypto/sha256.h"
#include "crypto/tag_compare.h"
#include "net/chunk_header.h"

namespace vl {
namespace {

// What a chunk adds around its payload: header, payload count, IV, MAC field.
constexpr uint32_t kChunkFraming = kChunkHeaderSize + 4 + kChunkIvSize + 4 + kChunkMacSize;

// Encrypts `plaintext` in place under a fresh IV, given back in `iv`.
bool encryptPayload(const ExchangeKeys& keys, ByteBuffer& plaintext, ByteBuffer* iv) {
  if (!keys.canEncrypt() || !keys.pool()->generate(kChunkIvSize, *iv) ||
      iv->size() != kChunkIvSize) {
    return false;
  }
  AesCipher cipher(keys.cipherKey());
  cipher.setChainingValue(std::span<const uint8_t, kChunkIvSize>(iv->data(), kChunkIvSize));
  return cipher.encryptBuffer(plaintext);
}

// Leaves in `chunk` the `length` bytes that began at `offset`, decrypted
// when `decrypt` is set (the first 16 being the IV).
bool keepPayload(ByteBuffer& chunk, size_t offset, size_t length, bool decrypt,
                 const ExchangeKeys& keys) {
  uint8_t iv[kChunkIvSize];
  if (decrypt) {
    if (!keys.canDecrypt() || length < kChunkIvSize) return false;
    std::memcpy(iv, chunk.data() + offset, kChunkIvSize);
    offset += kChunkIvSize;
    length -= kChunkIvSize;
  }
  std::memmove(chunk.data(), chunk.data() + offset, length);
  chunk.resize(length);
  if (!decrypt) return true;
  AesCipher cipher(keys.cipherKey());
  cipher.setChainingValue(iv);
  return cipher.decryptBuffer(chunk);
}

// verifyAndOpen, then the leading sequence number.
OpenStatus openNumbered(ByteBuffer chunk, ChunkType type, bool decrypt, const ExchangeKeys& keys,
                        OpenedChunk* opened) {
  OpenStatus status = verifyAndOpen(std::move(chunk), type, decrypt, keys, &opened->plaintext);
  if (status != OpenStatus::kOpened) return status;
  StrictReader in(opened->plaintext.span());
  if (!in.readU32(&opened->number)) {
    opened->plaintext.clear();
    return OpenStatus::kOutOfSequence;
  }
  return OpenStatus::kOpened;
}

}  // namespace

ByteBuffer chunkMac(const ExchangeKeys& keys, ChunkType type, std::span<const uint8_t> payload) {
  if (!isAuthenticated(type) || !keys.canAuthenticate()) return {};
  HmacSha256 hmac(keys.macKey());
  Sha256 inner;
  hmac.start(&inner);
  const std::string_view label = chunkLabel(type);
  const uint8_t zero = 0;
  if (!inner.update(label.data(), label.size()) || !inner.update(&zero, 1) ||
      !inner.update(payload)) {
    return {};
  }
  return hmac.finish(&inner);
}

// The chunk is built in the plaintext's own memory: once the payload is
// encrypted in place, it moves up to make room for the header, its count and
// the IV. A 2 MiB record is then neither copied to a second buffer nor
// allocated twice.
ByteBuffer buildChunk(ChunkType type, ByteBuffer plaintext, bool encrypt,
                      const ExchangeKeys& keys) {
  if (!isAuthenticated(type) || !keys.canAuthenticate()) return {};
  ByteBuffer iv;
  if (encrypt && !encryptPayload(keys, plaintext, &iv)) return {};
  const uint32_t body = plaintext.size();
  const uint64_t payloadSize = uint64_t{iv.size()} + body;
  const uint64_t total = kChunkHeaderSize + 4 + payloadSize + 4 + kChunkMacSize;
  if (total > kMaxChunkLength) return {};

  ByteBuffer front;
  appendChunkHeader(front, type);
  front.appendU32(static_cast<uint32_t>(payloadSize));
  front.appendBytes(iv);
  ByteBuffer chunk = std::move(plaintext);
  chunk.reserve(total);
  chunk.resize(front.size() + body);
  std::memmove(chunk.data() + front.size(), chunk.data(), body);
  std::memcpy(chunk.data(), front.data(), front.size());
  ByteBuffer mac = chunkMac(keys, type, chunk.span().subspan(kChunkHeaderSize + 4));
  if (mac.size() != kChunkMacSize) return {};
  chunk.appendCounted(mac);
  updateChunkLength(chunk);
  chunk.setReadPosition(kChunkHeaderSize);
  return chunk;
}

ByteBuffer startRequestPlaintext(ChunkSequence& sequence, uint32_t fieldsSize) {
  ByteBuffer plaintext;
  plaintext.reserve(size_t{4} + fieldsSize + AesCipher::kBlockSize + kChunkFraming);
  plaintext.appendU32(sequence.next());
  return plaintext;
}

bool readFields(std::span<const uint8_t> chunk, ChunkFields* fields) {
  if (!isCompleteChunk(chunk)) return false;
  StrictReader in(chunk.subspan(kChunkHeaderSize));
  ChunkFields read;
  if (!in.readCounted(&read.payload) || !in.readCounted(&read.mac) ||
      read.mac.size() != kChunkMacSize || !in.atEnd()) {
    return false;
  }
  *fields = read;
  return true;
}

OpenStatus verifyAndOpen(ByteBuffer chunk, ChunkType type, bool decrypt,
                         const ExchangeKeys& keys, ByteBuffer* plaintext) {
  plaintext->clear();
  ChunkFields fields;
  if (!readFields(chunk.span(), &fields) ||
      !tagsMatch(chunkMac(keys, type, fields.payload).span(), fields.mac)) {
    return OpenStatus::kNotAuthentic;
  }
  const size_t offset = static_cast<size_t>(fields.payload.data() - chunk.data());
  if (!keepPayload(chunk, offset, fields.payload.size(), decrypt, keys)) {
    return OpenStatus::kNotDecrypted;
  }
  *plaintext = std::move(chunk);
  return OpenStatus::kOpened;
}

OpenStatus openAnswer(ByteBuffer chunk, ChunkType type, bool decrypt, const ExchangeKeys& keys,
                      const ChunkSequence& sequence, OpenedChunk* opened) {
  OpenStatus status = openNumbered(std::move(chunk), type, decrypt, keys, opened);
  if (status != OpenStatus::kOpened) return status;
  if (opened->number != sequence.last()) {
    opened->plaintext.clear();
    return OpenStatus::kOutOfSequence;
  }
  return OpenStatus::kOpened;
}

OpenStatus openRequest(ByteBuffer chunk, ChunkType type, bool decrypt, const ExchangeKeys& keys,
                       ChunkSequence& sequence, OpenedChunk* opened) {
  OpenStatus status = openNumbered(std::move(chunk), type, decrypt, keys, opened);
  if (status != OpenStatus::kOpened) return status;
  if (!sequence.acceptNext(opened->number)) {
    opened->plaintext.clear();
    return OpenStatus::kOutOfSequence;
  }
  return OpenStatus::kOpened;
}

}  // namespace vl
