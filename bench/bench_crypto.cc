// Throughput of our SHA-256, HMAC-SHA256 and AES-256-CBC, and the time of
// the AES-256 key expansion, beside OpenSSL's
// libcrypto on the same inputs, in the same run. Compare the bytes_per_second
// of each "Ours" line with the "OpenSsl" line below it. The "Portable" lines
// show the fallback code for reference.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/aes_cipher.h"
#include "crypto/cpu_features.h"
#include "crypto/hmac_sha256.h"
#include "crypto/sha256.h"

namespace {

constexpr size_t kHashSize = 1 << 20;  // 1 MiB
constexpr size_t kMacSize = 2 << 20;   // 2 MiB, a whole section
constexpr size_t kCbcSize = 1 << 20;

vl::ByteBuffer pseudoRandom(size_t length) {
  vl::ByteBuffer out(length);
  uint32_t x = 12345;
  for (size_t i = 0; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

const uint8_t kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const uint8_t kIv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

// Our SHA-256 on the path of the argument: 0 portable, 1 AVX2, 2 the SHA
// instructions. Run with OPENSSL_ia32cap hiding the SHA instructions from
// OpenSSL (bench/fallback_speed.py) to compare the fallbacks.
void Sha256_Ours(benchmark::State& state) {
  const auto path = static_cast<vl::Sha256Path>(state.range(0));
  if (!vl::sha256PathAvailable(path)) {
    state.SkipWithError("not on this processor");
    return;
  }
  vl::forceSha256Path(path);
  const vl::ByteBuffer data = pseudoRandom(kHashSize);
  for (auto _ : state) benchmark::DoNotOptimize(vl::sha256(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHashSize));
  vl::forceSha256Path(std::nullopt);
}
BENCHMARK(Sha256_Ours)->Arg(0)->Arg(1)->Arg(2)->ArgName("path");

void Sha256_OpenSsl(benchmark::State& state) {
  const vl::ByteBuffer data = pseudoRandom(kHashSize);
  uint8_t digest[32];
  for (auto _ : state) {
    EVP_Digest(data.data(), data.size(), digest, nullptr, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHashSize));
}
BENCHMARK(Sha256_OpenSsl);

void HmacSha256_Ours(benchmark::State& state) {
  const vl::ByteBuffer data = pseudoRandom(kMacSize);
  vl::HmacSha256 mac(std::span<const uint8_t>(kKey, 32));
  for (auto _ : state) benchmark::DoNotOptimize(mac.mac(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMacSize));
}
BENCHMARK(HmacSha256_Ours);

void HmacSha256_OpenSsl(benchmark::State& state) {
  const vl::ByteBuffer data = pseudoRandom(kMacSize);
  uint8_t tag[32];
  for (auto _ : state) {
    HMAC(EVP_sha256(), kKey, 32, data.data(), data.size(), tag, nullptr);
    benchmark::DoNotOptimize(tag);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMacSize));
}
BENCHMARK(HmacSha256_OpenSsl);

// encryptBuffer pads in place; the buffer has room for the padding, and is
// cut back to the plaintext length before each round (what is in it does not
// change the speed).
void CbcEncrypt_Ours(benchmark::State& state) {
  vl::forcePortableCrypto(state.range(0) != 0);
  vl::AesCipher aes(std::span<const uint8_t>(kKey, 32));
  vl::ByteBuffer buffer = pseudoRandom(kCbcSize);
  buffer.reserve(kCbcSize + 16);
  for (auto _ : state) {
    buffer.resize(kCbcSize);
    aes.setChainingValue(std::span<const uint8_t, 16>(kIv, 16));
    aes.encryptBuffer(buffer);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCbcSize));
  vl::forcePortableCrypto(false);
}
BENCHMARK(CbcEncrypt_Ours)->Arg(0)->Arg(1)->ArgName("portable");

void CbcEncrypt_OpenSsl(benchmark::State& state) {
  const vl::ByteBuffer input = pseudoRandom(kCbcSize);
  std::vector<uint8_t> output(kCbcSize + 16);
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    int length = 0, tail = 0;
    EVP_EncryptInit_ex(context, EVP_aes_256_cbc(), nullptr, kKey, kIv);
    EVP_EncryptUpdate(context, output.data(), &length, input.data(), static_cast<int>(kCbcSize));
    EVP_EncryptFinal_ex(context, output.data() + length, &tail);
    benchmark::DoNotOptimize(output.data());
  }
  EVP_CIPHER_CTX_free(context);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCbcSize));
}
BENCHMARK(CbcEncrypt_OpenSsl);

// decryptBuffer works in place, so each round first copies the ciphertext
// back in (outside the timing); OpenSSL decrypts into a separate buffer.
void CbcDecrypt_Ours(benchmark::State& state) {
  vl::forcePortableCrypto(state.range(0) != 0);
  vl::AesCipher aes(std::span<const uint8_t>(kKey, 32));
  vl::ByteBuffer cipher = pseudoRandom(kCbcSize - 1);
  aes.encryptBuffer(cipher);
  vl::ByteBuffer buffer;
  buffer.reserve(cipher.size());
  for (auto _ : state) {
    state.PauseTiming();
    buffer.resize(cipher.size());
    std::memcpy(buffer.data(), cipher.data(), cipher.size());
    state.ResumeTiming();
    aes.setChainingValue(std::span<const uint8_t, 16>(kIv, 16));
    aes.decryptBuffer(buffer);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCbcSize));
  vl::forcePortableCrypto(false);
}
BENCHMARK(CbcDecrypt_Ours)->Arg(0)->Arg(1)->ArgName("portable");

void CbcDecrypt_OpenSsl(benchmark::State& state) {
  const vl::ByteBuffer plain = pseudoRandom(kCbcSize - 1);
  std::vector<uint8_t> cipher(kCbcSize + 16);
  int length = 0, tail = 0;
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(context, EVP_aes_256_cbc(), nullptr, kKey, kIv);
  EVP_EncryptUpdate(context, cipher.data(), &length, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(context, cipher.data() + length, &tail);
  const int cipher_length = length + tail;
  std::vector<uint8_t> output(kCbcSize + 16);
  for (auto _ : state) {
    EVP_DecryptInit_ex(context, EVP_aes_256_cbc(), nullptr, kKey, kIv);
    EVP_DecryptUpdate(context, output.data(), &length, cipher.data(), cipher_length);
    EVP_DecryptFinal_ex(context, output.data() + length, &tail);
    benchmark::DoNotOptimize(output.data());
  }
  EVP_CIPHER_CTX_free(context);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCbcSize));
}
BENCHMARK(CbcDecrypt_OpenSsl);

// Keying: both round-key arrays, once per section record and per key
// derivation. With portable:1 the schedule is the table-based one that every
// object used before the AES instructions took over the key expansion too.
void KeyExpansion_Ours(benchmark::State& state) {
  vl::forcePortableCrypto(state.range(0) != 0);
  for (auto _ : state) {
    vl::AesCipher aes(std::span<const uint8_t>(kKey, 32));
    benchmark::DoNotOptimize(&aes);
  }
  vl::forcePortableCrypto(false);
}
BENCHMARK(KeyExpansion_Ours)->Arg(0)->Arg(1)->ArgName("portable");

// OpenSSL keys one context for encryption and one for decryption.
void KeyExpansion_OpenSsl(benchmark::State& state) {
  EVP_CIPHER_CTX* encrypt = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* decrypt = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(encrypt, EVP_aes_256_cbc(), nullptr, nullptr, nullptr);
  EVP_DecryptInit_ex(decrypt, EVP_aes_256_cbc(), nullptr, nullptr, nullptr);
  for (auto _ : state) {
    EVP_EncryptInit_ex(encrypt, nullptr, nullptr, kKey, kIv);
    EVP_DecryptInit_ex(decrypt, nullptr, nullptr, kKey, kIv);
    benchmark::DoNotOptimize(encrypt);
    benchmark::DoNotOptimize(decrypt);
  }
  EVP_CIPHER_CTX_free(encrypt);
  EVP_CIPHER_CTX_free(decrypt);
}
BENCHMARK(KeyExpansion_OpenSsl);

}  // namespace

BENCHMARK_MAIN();
