#include "model/list_record.h"

#include <cstring>

#include "codec/table_huffman_coder.h"
#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/key_derivation.h"
#include "crypto/section_cipher.h"
#include "model/record_field.h"

namespace vl {

namespace {

constexpr uint32_t kHeaderBytes = 6;
// A count-table stream holds at least its B, N and w.
constexpr uint32_t kMinCompressedBytes = 9;

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
  // The header goes in front of the sealed body inside the same buffer: the
  // list of a large copy is tens of MiB, and a second copy of it would be
  // the largest thing a backup holds while it finishes.
  const uint32_t sealedSize = body.size();
  if (sealedSize > UINT32_MAX - kHeaderBytes - 4) return {};
  body.resize(kHeaderBytes + 4 + size_t{sealedSize});
  std::memmove(body.data() + kHeaderBytes + 4, body.data(), sealedSize);
  ByteBuffer header;
  header.appendU16(kListRecordType);
  header.appendU16(1);
  header.appendU8(0);
  header.appendU8(0);
  header.appendU32(sealedSize);
  std::memcpy(body.data(), header.data(), header.size());
  body.setReadPosition(0);
  return body;
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
  std::optional<std::span<const uint8_t>> body = readRecordField(record, position);
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
    std::optional<std::span<const uint8_t>> tag = readRecordField(record, position);
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
