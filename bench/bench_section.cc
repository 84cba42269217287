// Sealing and opening section records: a 2 MiB text-like piece each way,
// and opening 4 KiB pieces (where the private-key operation dominates).
//
// The reference does the same work with zlib at level 1 and OpenSSL's
// libcrypto on the same data and key: compress, wrap a 256-byte secret with
// raw RSA, AES-256-CBC and HMAC-SHA256 over IV and ciphertext; and back.
// The reference uses OpenSSL's RSA and SHA256 calls directly; they are
// deprecated in OpenSSL 3 but remain the plainest way to write it.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "../tests/codec/sample_data.h"
#include "crypto/rsa_key.h"
#include "model/section_record.h"
#include "platform/os_random.h"

namespace {

using vl::ByteBuffer;
using vl::RsaKey;
using Bytes = std::vector<uint8_t>;

constexpr size_t kLarge = 2 * 1024 * 1024;
constexpr size_t kSmall = 4096;

struct Setup {
  vl::RandomPool pool;
  RsaKey key;
  ByteBuffer localKey{std::string_view("0123456789abcdef0123456789abcdef")};
  Bytes large = vl::test::textLike(kLarge, 1);
  Bytes small = vl::test::textLike(kSmall, 2);
  ByteBuffer largeRecord;
  ByteBuffer smallRecord;
  RSA* rsa = nullptr;  // the same key for the reference

  Setup() {
    uint8_t seed[32];
    if (!vl::osRandomBytes(seed, sizeof seed)) std::abort();
    pool.addBytes(seed, true);
    if (!key.generate(vl::RsaKeyKind::kEncryption, &pool)) std::abort();
    vl::SectionStats stats;
    largeRecord = vl::sealSection(large, localKey.span(), key, true, pool, &stats);
    smallRecord = vl::sealSection(small, localKey.span(), key, true, pool, &stats);
    if (largeRecord.empty() || smallRecord.empty()) std::abort();
    rsa = referenceKey();
  }

  RSA* referenceKey() {
    ByteBuffer full = key.exportFull();
    auto number = [&](uint32_t offset, int length) {
      return BN_lebin2bn(full.data() + offset, length, nullptr);
    };
    BIGNUM* p = number(0, 128);
    BIGNUM* q = number(128, 128);
    BIGNUM* e = BN_new();
    BN_set_word(e, 65537);
    BIGNUM* p1 = BN_dup(p);
    BIGNUM* q1 = BN_dup(q);
    BIGNUM* phi = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_sub_word(p1, 1);
    BN_sub_word(q1, 1);
    BN_mul(phi, p1, q1, ctx);
    BIGNUM* d = BN_mod_inverse(nullptr, e, phi, ctx);
    RSA* made = RSA_new();
    RSA_set0_key(made, number(640, 256), e, d);
    RSA_set0_factors(made, p, q);
    RSA_set0_crt_params(made, number(256, 128), number(384, 128), number(512, 128));
    BN_CTX_free(ctx);
    BN_free(p1);
    BN_free(q1);
    BN_free(phi);
    return made;
  }
};

Setup& setup() {
  static Setup* made = new Setup;
  return *made;
}

const Bytes& piece(bool large) { return large ? setup().large : setup().small; }

void report(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void OursSeal(benchmark::State& state) {
  const Bytes& in = piece(true);
  vl::SectionStats stats;
  for (auto _ : state) {
    ByteBuffer record =
        vl::sealSection(in, setup().localKey.span(), setup().key, true, setup().pool, &stats);
    if (record.empty()) std::abort();
    benchmark::DoNotOptimize(record.data());
  }
  report(state, in.size());
}

void OursOpen(benchmark::State& state) {
  bool large = state.range(0) != 0;
  const ByteBuffer& record = large ? setup().largeRecord : setup().smallRecord;
  for (auto _ : state) {
    auto opened = vl::openSection(record.span(), setup().localKey.span(), setup().key);
    if (!opened || opened->size() != piece(large).size()) std::abort();
    benchmark::DoNotOptimize(opened->data());
  }
  report(state, piece(large).size());
}

// --- The reference: zlib level 1 and OpenSSL. ---

Bytes hmac(const uint8_t* key, const Bytes& data) {
  Bytes tag(32);
  unsigned int length = 32;
  HMAC(EVP_sha256(), key, 32, data.data(), data.size(), tag.data(), &length);
  return tag;
}

Bytes aesCbc(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* in,
             size_t length) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  Bytes out(length + 16);
  int written = 0;
  int last = 0;
  if (EVP_CipherInit_ex(context, EVP_aes_256_cbc(), nullptr, key, iv, encrypt ? 1 : 0) <= 0 ||
      EVP_CipherUpdate(context, out.data(), &written, in, static_cast<int>(length)) <= 0 ||
      EVP_CipherFinal_ex(context, out.data() + written, &last) <= 0) {
    std::abort();
  }
  EVP_CIPHER_CTX_free(context);
  out.resize(static_cast<size_t>(written + last));
  return out;
}

struct ReferenceRecord {
  Bytes wrapped;
  Bytes body;  // IV || ciphertext
  Bytes tag;
};

ReferenceRecord referenceSeal(const Bytes& in) {
  uLongf packedLength = compressBound(in.size());
  Bytes packed(packedLength);
  if (compress2(packed.data(), &packedLength, in.data(), in.size(), 1) != Z_OK) std::abort();
  packed.resize(packedLength);
  ReferenceRecord record;
  Bytes secret(256);
  ByteBuffer random;
  if (!setup().pool.generate(256 + 16, random)) std::abort();
  std::memcpy(secret.data(), random.data(), 256);
  secret[0] = 0;  // below n
  record.wrapped.resize(256);
  if (RSA_public_encrypt(256, secret.data(), record.wrapped.data(), setup().rsa, RSA_NO_PADDING) !=
      256) {
    std::abort();
  }
  uint8_t keys[32];
  SHA256(secret.data(), secret.size(), keys);
  record.body.assign(random.data() + 256, random.data() + 272);
  Bytes cipher = aesCbc(true, keys, record.body.data(), packed.data(), packed.size());
  record.body.insert(record.body.end(), cipher.begin(), cipher.end());
  record.tag = hmac(keys, record.body);
  return record;
}

Bytes referenceOpen(const ReferenceRecord& record, size_t plainLength) {
  Bytes secret(256);
  if (RSA_private_decrypt(256, record.wrapped.data(), secret.data(), setup().rsa, RSA_NO_PADDING) !=
      256) {
    std::abort();
  }
  uint8_t keys[32];
  SHA256(secret.data(), secret.size(), keys);
  if (hmac(keys, record.body) != record.tag) std::abort();
  Bytes packed =
      aesCbc(false, keys, record.body.data(), record.body.data() + 16, record.body.size() - 16);
  Bytes out(plainLength);
  uLongf length = out.size();
  if (uncompress(out.data(), &length, packed.data(), packed.size()) != Z_OK) std::abort();
  return out;
}

void ReferenceSeal(benchmark::State& state) {
  const Bytes& in = piece(true);
  for (auto _ : state) {
    ReferenceRecord record = referenceSeal(in);
    benchmark::DoNotOptimize(record.body.data());
  }
  report(state, in.size());
}

void ReferenceOpen(benchmark::State& state) {
  bool large = state.range(0) != 0;
  const Bytes& in = piece(large);
  ReferenceRecord record = referenceSeal(in);
  for (auto _ : state) {
    Bytes out = referenceOpen(record, in.size());
    benchmark::DoNotOptimize(out.data());
  }
  report(state, in.size());
}

BENCHMARK(OursSeal)->Unit(benchmark::kMillisecond);
BENCHMARK(ReferenceSeal)->Unit(benchmark::kMillisecond);
BENCHMARK(OursOpen)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ReferenceOpen)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(OursOpen)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReferenceOpen)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
