#include "model/list_record.h"

#include "codec/table_huffman_coder.h"
#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/key_derivation.h"
#include "crypto/section_cipher.h"

namespace vl {

namespace {

constexpr uint32_t kHeaderBytes = 6;
// A count-table stream holds at least its B, N and w.
constexpr uint32_t kMinCompressedBytes = 9;

// A field that must lie wholly inside `record`; nothing when it does not.
std::optional<std::span<const uint8_t>> readField(std::span<const uint8_t> record,
                                                  size_t& position) {
  if (record.size() - position < 4) return std::nullopt;
  const uint8_t* p = record.data() + position;
  uint32_t length = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                    (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  position += 4;
  if (record.size() - position < length) return std::nullopt;
  std::span<const uint8_t> field = record.subspan(position, length);
  position += length;
  return field;
}

bool tagsEqual(const ByteBuffer& a, std::span<const uint8_t> b) {
  if (a.size() != b.size()) return false;
  uint8_t difference = 0;
  for (size_t i = 0; i < b.size(); ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

// Checks `tag` against HMAC-SHA256 of `sealed` (IV, then ciphertext) and
// decrypts. Version 1 bodies use the two keys derived from the local key, as
// SectionCipher does; version 0 bodies use the local key for both. Opening
// draws nothing from a random pool, so none is needed here.
bool openSealed(std::span<const uint8_t> sealed, std::span<const uint8_t> tag,
                std::span<const uint8_t> encryptionKey, std::span<const uint8_t> macKey,
                ByteBuffer& plain) {
  HmacSha256 mac(macKey);
  if (!tagsEqual(mac.mac(sealed), tag)) return false;
  if (sealed.size() < AesCipher::kBlockSize) return false;
  AesCipher aes(encryptionKey);
  aes.setChainingValue(sealed.first<AesCipher::kBlockSize>());
  plain = ByteBuffer(sealed.subspan(AesCipher::kBlockSize));
  return aes.decryptBuffer(plain);
}

}  // namespace

ByteBuffer sealList(std::span<const uint8_t> payload, std::span<const uint8_t> localKey,
                    RandomPool& pool) {
  ByteBuffer body;
  if (!payload.empty() && !TableHuffmanCoder::encode(payload, &body)) return {};
  SectionCipher cipher(localKey, &pool);
  if (!cipher.seal(body)) return {};
  ByteBuffer record;
  record.reserve(kHeaderBytes + 4 + body.size());
  record.appendU16(kListRecordType);
  record.appendU16(1);
  record.appendU8(0);
  record.appendU8(0);
  record.appendCounted(body);
  return record;
}

std::optional<ByteBuffer> openList(std::span<const uint8_t> record,
                                   std::span<const uint8_t> localKey) {
  if (record.size() < kHeaderBytes) return std::nullopt;
  uint16_t type = static_cast<uint16_t>(record[0] | (record[1] << 8));
  uint16_t version = static_cast<uint16_t>(record[2] | (record[3] << 8));
  if (type != kListRecordType || version > 1 || record[4] != 0 || record[5] != 0) {
    return std::nullopt;
  }
  size_t position = kHeaderBytes;
  std::optional<std::span<const uint8_t>> body = readField(record, position);
  if (!body) return std::nullopt;

  ByteBuffer plain;
  if (version == 1) {
    if (body->size() < SectionCipher::kTagSize) return std::nullopt;
    KeyPair keys = deriveKeys(localKey);
    if (keys.count != 2) return std::nullopt;
    size_t sealedLength = body->size() - SectionCipher::kTagSize;
    if (!openSealed(body->first(sealedLength), body->subspan(sealedLength), keys.key(0).span(),
                    keys.key(1).span(), plain)) {
      return std::nullopt;
    }
  } else {
    std::optional<std::span<const uint8_t>> tag = readField(record, position);
    if (!tag || !openSealed(*body, *tag, localKey, localKey, plain)) return std::nullopt;
  }

  ByteBuffer payload;
  if (plain.empty()) return payload;
  if (plain.size() < kMinCompressedBytes || !TableHuffmanCoder::decode(plain.span(), &payload)) {
    return std::nullopt;
  }
  return payload;
}

}  // namespace vl
