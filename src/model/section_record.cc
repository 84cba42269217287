#include "model/section_record.h"

#include <algorithm>
#include <utility>

#include "codec/block_codec.h"
#include "core/secure_wipe.h"
#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/key_derivation.h"
#include "crypto/section_cipher.h"
#include "model/record_field.h"

namespace vl {
namespace {

constexpr uint32_t kHeaderBytes = 6;
constexpr uint32_t kKeySize = 32;
constexpr uint8_t kHighestKind = static_cast<uint8_t>(CompressionKind::kRunLengthTreeHuffman);
// A count-table stream holds at least its header.
constexpr uint32_t kMinTableStream = 9;

// K = local key XOR S, byte by byte.
ByteBuffer recordKey(std::span<const uint8_t> localKey, const ByteBuffer& secret) {
  ByteBuffer key(kKeySize);
  for (uint32_t i = 0; i < kKeySize; ++i) key[i] = localKey[i] ^ secret[i];
  return key;
}

// Bytes hashed and then decrypted at a time: a piece is still in the
// nearest cache when it is decrypted.
constexpr size_t kPieceBytes = 16384;

// Checks the HMAC of IV || ciphertext (in constant time) and decrypts the
// ciphertext `text` in place, a piece at a time. The plain data is then the
// first (returned) bytes of `text`. Nothing, with `text` wiped, when the tag
// or the padding is wrong.
std::optional<size_t> openInPlace(std::span<const uint8_t> iv, std::span<uint8_t> text,
                                  std::span<const uint8_t> tag, std::span<const uint8_t> aesKey,
                                  std::span<const uint8_t> macKey) {
  if (iv.size() != SectionCipher::kIvSize || tag.size() != SectionCipher::kTagSize ||
      text.empty() || text.size() % AesCipher::kBlockSize != 0) {
    return std::nullopt;
  }
  HmacSha256 mac(macKey);
  AesCipher aes(aesKey);
  Sha256 inner;
  mac.start(&inner);
  inner.update(iv);
  aes.setChainingValue(iv.first<SectionCipher::kIvSize>());
  bool decrypted = true;
  for (size_t done = 0; done < text.size(); done += kPieceBytes) {
    std::span<uint8_t> piece = text.subspan(done, std::min(kPieceBytes, text.size() - done));
    inner.update(piece);
    decrypted = aes.decryptBlocks(piece) && decrypted;
  }
  aes.endChaining();
  ByteBuffer expected = mac.finish(&inner);
  uint8_t difference = expected.size() == tag.size() ? 0 : 1;
  for (size_t i = 0; i < tag.size() && i < expected.size(); ++i) difference |= expected[i] ^ tag[i];
  const size_t padding = text.back();
  if (difference != 0 || !decrypted || padding > AesCipher::kBlockSize) {
    secureWipe(text.data(), text.size());
    return std::nullopt;
  }
  return padding >= text.size() ? 0 : text.size() - padding;
}

}  // namespace

ByteBuffer sealSection(std::span<const uint8_t> piece, std::span<const uint8_t> localKey,
                       const RsaKey& encryptionKey, bool compress, RandomPool& pool,
                       SectionStats* stats) {
  if (localKey.size() != kKeySize || !encryptionKey.valid() ||
      encryptionKey.modulusBytes() != RsaKey::kModulusBytes) {
    return {};
  }
  ByteBuffer data;
  CompressionKind kind = CompressionKind::kStored;
  bool useless = false;
  if (compress) {
    ByteBuffer compressed;
    // A result that would not be shorter is not even written out.
    if (!compressSectionBelow(piece, piece.size(), &compressed)) return {};
    if (!compressed.empty()) {
      data = std::move(compressed);
      kind = CompressionKind::kRunLengthTreeHuffman;
    } else {
      useless = true;
    }
  }
  if (kind == CompressionKind::kStored) data = ByteBuffer(piece);
  *stats = SectionStats{kind != CompressionKind::kStored, useless,
                        static_cast<uint32_t>(piece.size()), data.size()};

  ByteBuffer secret;
  ByteBuffer wrapped;
  if (!encryptionKey.encapsulate(&pool, &secret, &wrapped)) return {};
  SectionCipher cipher(recordKey(localKey, secret).span(), &pool);
  if (!cipher.seal(data)) return {};

  ByteBuffer record;
  record.reserve(kHeaderBytes + 8 + wrapped.size() + data.size());
  record.appendU16(kSectionRecordType);
  record.appendU16(kSectionRecordVersion);
  record.appendU8(0);
  record.appendU8(static_cast<uint8_t>(kind));
  record.appendCounted(wrapped);
  record.appendCounted(data);
  return record;
}

namespace {

// The parts of a record that need no key, checked: what it holds and where.
struct SealedSection {
  uint16_t version = 0;
  uint8_t kind = 0;
  std::span<const uint8_t> wrapped;
  std::span<const uint8_t> body;
  std::span<const uint8_t> tag;  // version 0 only
};

// The fields of a record, with every check that needs no key.
std::optional<SealedSection> readSealedFields(std::span<const uint8_t> record) {
  if (record.size() < kHeaderBytes) return std::nullopt;
  SealedSection sealed;
  uint16_t type = static_cast<uint16_t>(record[0] | (record[1] << 8));
  sealed.version = static_cast<uint16_t>(record[2] | (record[3] << 8));
  sealed.kind = record[5];
  if (type != kSectionRecordType || sealed.version > 1 || record[4] != 0 ||
      sealed.kind > kHighestKind) {
    return std::nullopt;
  }
  size_t position = kHeaderBytes;
  auto wrapped = readRecordField(record, position);
  auto body = readRecordField(record, position);
  std::optional<std::span<const uint8_t>> tag;
  if (sealed.version == 0) tag = readRecordField(record, position);
  if (!wrapped || !body || (sealed.version == 0 && !tag)) return std::nullopt;
  sealed.wrapped = *wrapped;
  sealed.body = *body;
  if (tag) sealed.tag = *tag;
  return sealed;
}

// Everything that needs no private operation is checked before it.
std::optional<SealedSection> readSealed(std::span<const uint8_t> record,
                                        std::span<const uint8_t> localKey,
                                        const RsaKey& encryptionKey) {
  if (localKey.size() != kKeySize) return std::nullopt;
  std::optional<SealedSection> sealed = readSealedFields(record);
  if (!sealed || sealed->wrapped.size() != encryptionKey.modulusBytes()) return std::nullopt;
  return sealed;
}

// The AES and HMAC keys of a record, from its record key K.
struct BodyKeys {
  ByteBuffer aes;
  ByteBuffer mac;
};

std::optional<BodyKeys> bodyKeys(const SealedSection& sealed, std::span<const uint8_t> localKey,
                                 const ByteBuffer& secret) {
  if (secret.size() != kKeySize) return std::nullopt;
  ByteBuffer key = recordKey(localKey, secret);
  if (sealed.version == 0) return BodyKeys{key, key};
  KeyPair keys = deriveKeys(key);
  if (keys.count != 2) return std::nullopt;
  return BodyKeys{keys.key(0), keys.key(1)};
}

// Where the parts of a record's body are: IV, ciphertext, tag.
struct BodyParts {
  std::span<const uint8_t> iv;
  size_t textOffset = 0;  // from the start of the body
  size_t textLength = 0;
  std::span<const uint8_t> tag;
};

std::optional<BodyParts> bodyParts(const SealedSection& sealed) {
  std::span<const uint8_t> sealedBytes = sealed.body;
  BodyParts parts;
  if (sealed.version == 1) {
    if (sealedBytes.size() < SectionCipher::kTagSize) return std::nullopt;
    parts.tag = sealedBytes.last(SectionCipher::kTagSize);
    sealedBytes = sealedBytes.first(sealedBytes.size() - SectionCipher::kTagSize);
  } else {
    parts.tag = sealed.tag;
  }
  if (sealedBytes.size() < SectionCipher::kIvSize) return std::nullopt;
  parts.iv = sealedBytes.first(SectionCipher::kIvSize);
  parts.textOffset = SectionCipher::kIvSize;
  parts.textLength = sealedBytes.size() - SectionCipher::kIvSize;
  return parts;
}

// The piece from the plain body: stored as it is, or expanded.
std::optional<ByteBuffer> pieceOf(uint8_t kind, std::span<const uint8_t> plain) {
  if (kind == static_cast<uint8_t>(CompressionKind::kStored)) return ByteBuffer(plain);
  // A count-table body holds at least its stream header.
  if (kind == static_cast<uint8_t>(CompressionKind::kTableHuffman) &&
      plain.size() < kMinTableStream) {
    return std::nullopt;
  }
  ByteBuffer piece;
  if (!decompress(kind, plain, &piece, kMaxSectionSize)) return std::nullopt;
  return piece;
}

// The piece, from the checked record and its unwrapped secret S. The
// ciphertext is decrypted in a copy.
std::optional<ByteBuffer> openSealed(const SealedSection& sealed, std::span<const uint8_t> localKey,
                                     const ByteBuffer& secret) {
  std::optional<BodyKeys> keys = bodyKeys(sealed, localKey, secret);
  std::optional<BodyParts> parts = bodyParts(sealed);
  if (!keys || !parts) return std::nullopt;
  ByteBuffer text(sealed.body.subspan(parts->textOffset, parts->textLength));
  std::optional<size_t> length =
      openInPlace(parts->iv, text.mutableSpan(), parts->tag, keys->aes.span(), keys->mac.span());
  if (!length) return std::nullopt;
  text.resize(*length);
  if (sealed.kind == static_cast<uint8_t>(CompressionKind::kStored)) return text;
  return pieceOf(sealed.kind, text.span());
}

}  // namespace

std::optional<ByteBuffer> openSection(std::span<const uint8_t> record,
                                      std::span<const uint8_t> localKey,
                                      const RsaKey& encryptionKey) {
  std::optional<SealedSection> sealed = readSealed(record, localKey, encryptionKey);
  if (!sealed) return std::nullopt;
  return openSealed(*sealed, localKey, encryptionKey.decapsulate(sealed->wrapped));
}

std::vector<std::optional<ByteBuffer>> unwrapSectionSecrets(
    std::span<const std::span<const uint8_t>> records, std::span<const uint8_t> localKey,
    const RsaKey& encryptionKey) {
  std::vector<std::optional<ByteBuffer>> secrets(records.size());
  std::vector<bool> passed(records.size());
  std::vector<std::span<const uint8_t>> wrapped;
  for (size_t i = 0; i < records.size(); ++i) {
    std::optional<SealedSection> sealed = readSealed(records[i], localKey, encryptionKey);
    passed[i] = sealed.has_value();
    if (sealed) wrapped.push_back(sealed->wrapped);
  }
  // One private operation per record that passed the checks, all at once.
  std::vector<ByteBuffer> unwrapped = encryptionKey.decapsulateBatch(wrapped);
  size_t next = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (passed[i]) secrets[i] = std::move(unwrapped[next++]);
  }
  return secrets;
}

std::optional<ByteBuffer> openUnwrappedSection(std::span<const uint8_t> record,
                                               std::span<const uint8_t> localKey,
                                               const ByteBuffer& secret) {
  // Only the key-free checks again; the secret stands for the private half.
  if (localKey.size() != kKeySize) return std::nullopt;
  std::optional<SealedSection> sealed = readSealedFields(record);
  if (!sealed) return std::nullopt;
  return openSealed(*sealed, localKey, secret);
}

std::optional<ByteBuffer> openUnwrappedSection(ByteBuffer& record,
                                               std::span<const uint8_t> localKey,
                                               const ByteBuffer& secret) {
  if (localKey.size() != kKeySize) return std::nullopt;
  std::optional<SealedSection> sealed = readSealedFields(record.span());
  if (!sealed) return std::nullopt;
  std::optional<BodyKeys> keys = bodyKeys(*sealed, localKey, secret);
  std::optional<BodyParts> parts = bodyParts(*sealed);
  if (!keys || !parts) return std::nullopt;
  const size_t bodyOffset = static_cast<size_t>(sealed->body.data() - record.data());
  std::span<uint8_t> text =
      record.mutableSpan().subspan(bodyOffset + parts->textOffset, parts->textLength);
  std::optional<size_t> length =
      openInPlace(parts->iv, text, parts->tag, keys->aes.span(), keys->mac.span());
  if (!length) return std::nullopt;
  return pieceOf(sealed->kind, text.first(*length));
}

std::vector<std::optional<ByteBuffer>> openSections(
    std::span<const std::span<const uint8_t>> records, std::span<const uint8_t> localKey,
    const RsaKey& encryptionKey) {
  std::vector<std::optional<ByteBuffer>> secrets =
      unwrapSectionSecrets(records, localKey, encryptionKey);
  std::vector<std::optional<ByteBuffer>> pieces(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    if (secrets[i]) pieces[i] = openUnwrappedSection(records[i], localKey, *secrets[i]);
  }
  return pieces;
}

std::optional<std::span<const uint8_t>> wrappedSecretOf(std::span<const uint8_t> record) {
  std::optional<SealedSection> sealed = readSealedFields(record);
  if (!sealed) return std::nullopt;
  return sealed->wrapped;
}

}  // namespace vl
