// RSA-2048 beside OpenSSL's libcrypto on the same key: the private operation
// (CRT, against RSA_private_decrypt with no padding; also eight at a time as
// sections are opened, per section), the public operation
// with e = 65537 (against RSA_public_encrypt with no padding), and key
// generation (against OpenSSL's 2048-bit generator, as `openssl genrsa`
// uses it). Generation varies a lot from key to key, so it is repeated and
// reported as a median.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <vector>

#include "crypto/bignum_montgomery.h"
#include "crypto/rsa_key.h"
#include "platform/os_random.h"

namespace {

using vl::BigNumber;
using vl::ByteBuffer;
using vl::RsaKey;

vl::RandomPool& pool() {
  static vl::RandomPool* pool = [] {
    auto* made = new vl::RandomPool;
    uint8_t seed[32];
    if (!vl::osRandomBytes(seed, sizeof seed)) std::abort();
    made->addBytes(seed, true);
    return made;
  }();
  return *pool;
}

const RsaKey& ourKey() {
  static RsaKey* key = [] {
    auto* made = new RsaKey;
    if (!made->generate(vl::RsaKeyKind::kEncryption, &pool())) std::abort();
    return made;
  }();
  return *key;
}

BIGNUM* fromLittleEndian(const uint8_t* bytes, int length) {
  return BN_lebin2bn(bytes, length, nullptr);
}

// Our key in OpenSSL's form, CRT values included.
EVP_PKEY* openSslKey() {
  static EVP_PKEY* key = [] {
    ByteBuffer full = ourKey().exportFull();
    const uint8_t* b = full.data();
    BIGNUM* p = fromLittleEndian(b, 128);
    BIGNUM* q = fromLittleEndian(b + 128, 128);
    BIGNUM* dp = fromLittleEndian(b + 256, 128);
    BIGNUM* dq = fromLittleEndian(b + 384, 128);
    BIGNUM* qinv = fromLittleEndian(b + 512, 128);
    BIGNUM* n = fromLittleEndian(b + 640, 256);
    BIGNUM* e = BN_new();
    BIGNUM* d = BN_new();
    BIGNUM* phi = BN_new();
    BIGNUM* p1 = BN_dup(p);
    BIGNUM* q1 = BN_dup(q);
    BN_CTX* ctx = BN_CTX_new();
    BN_set_word(e, 65537);
    BN_sub_word(p1, 1);
    BN_sub_word(q1, 1);
    BN_mul(phi, p1, q1, ctx);
    BN_mod_inverse(d, e, phi, ctx);
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_D, d);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_FACTOR1, p);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_FACTOR2, q);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* made = nullptr;
    if (EVP_PKEY_fromdata_init(context) <= 0 ||
        EVP_PKEY_fromdata(context, &made, EVP_PKEY_KEYPAIR, params) <= 0) {
      std::abort();
    }
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_CTX_free(ctx);
    for (BIGNUM* bn : {p, q, dp, dq, qinv, n, e, d, phi, p1, q1}) BN_clear_free(bn);
    return made;
  }();
  return key;
}

// A value below n, in our form and big-endian for OpenSSL.
BigNumber input() {
  std::vector<uint8_t> bytes(256);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  BigNumber x;
  x.fromBytes(bytes);
  RsaKey::reduceBelow(&x, ourKey().modulus());
  return x;
}

std::vector<uint8_t> bigEndianInput() {
  ByteBuffer little = input().toBytes(256);
  return std::vector<uint8_t>(little.span().rbegin(), little.span().rend());
}

EVP_PKEY_CTX* openSslContext(bool decrypt) {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(openSslKey(), nullptr);
  if ((decrypt ? EVP_PKEY_decrypt_init(context) : EVP_PKEY_encrypt_init(context)) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) <= 0) {
    std::abort();
  }
  return context;
}

void OursPrivate(benchmark::State& state) {
  BigNumber x = input();
  BigNumber y;
  for (auto _ : state) {
    if (!ourKey().privateOperation(x, &y)) std::abort();
    benchmark::DoNotOptimize(y.limbs());
  }
}

void OpenSslPrivate(benchmark::State& state) {
  std::vector<uint8_t> in = bigEndianInput();
  std::vector<uint8_t> out(256);
  EVP_PKEY_CTX* context = openSslContext(true);
  for (auto _ : state) {
    size_t length = out.size();
    if (EVP_PKEY_decrypt(context, out.data(), &length, in.data(), in.size()) <= 0) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  EVP_PKEY_CTX_free(context);
}

void OursPublic(benchmark::State& state) {
  BigNumber x = input();
  BigNumber y;
  for (auto _ : state) {
    if (!ourKey().publicOperation(x, &y)) std::abort();
    benchmark::DoNotOptimize(y.limbs());
  }
}

void OpenSslPublic(benchmark::State& state) {
  std::vector<uint8_t> in = bigEndianInput();
  std::vector<uint8_t> out(256);
  EVP_PKEY_CTX* context = openSslContext(false);
  for (auto _ : state) {
    size_t length = out.size();
    if (EVP_PKEY_encrypt(context, out.data(), &length, in.data(), in.size()) <= 0) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  EVP_PKEY_CTX_free(context);
}

// The private operation on each path this processor has, chosen by the
// argument: 0 the portable code, 1 MULX/ADCX/ADOX (BMI2 and ADX), 2 AVX-512
// IFMA. Run with OPENSSL_ia32cap hiding the same instructions from OpenSSL
// (bench/fallback_speed.py) to compare each fallback with OpenSSL's own.
void OursPrivateOnPath(benchmark::State& state) {
  const auto path = static_cast<vl::ArithmeticPath>(state.range(0));
  if (!vl::arithmeticPathAvailable(path)) {
    state.SkipWithError("not on this processor");
    return;
  }
  vl::forceArithmeticPath(path);
  RsaKey key;
  if (!key.load(ourKey().exportFull().span(), true, 2048, vl::RsaKeyKind::kEncryption, nullptr)) {
    std::abort();
  }
  vl::forceArithmeticPath(std::nullopt);
  BigNumber x = input();
  BigNumber y;
  for (auto _ : state) {
    if (!key.privateOperation(x, &y)) std::abort();
    benchmark::DoNotOptimize(y.limbs());
  }
}

// Opening wrapped section secrets: one at a time, and `range(0)` at once
// through the batch. "per_section" is the time per ciphertext, to set beside
// OpenSslPrivate (the hash of the result is noise at this scale).
std::vector<ByteBuffer> ciphertexts(size_t count) {
  std::vector<ByteBuffer> out;
  for (size_t i = 0; i < count; ++i) {
    ByteBuffer secret;
    ByteBuffer ciphertext;
    if (!ourKey().encapsulate(&pool(), &secret, &ciphertext)) std::abort();
    out.push_back(std::move(ciphertext));
  }
  return out;
}

void perSection(benchmark::State& state, size_t count) {
  state.counters["per_section"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void OursDecapsulate(benchmark::State& state) {
  std::vector<ByteBuffer> wrapped = ciphertexts(1);
  for (auto _ : state) {
    ByteBuffer secret = ourKey().decapsulate(wrapped[0].span());
    if (secret.empty()) std::abort();
    benchmark::DoNotOptimize(secret.data());
  }
  perSection(state, 1);
}

void OursDecapsulateBatch(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  std::vector<ByteBuffer> wrapped = ciphertexts(count);
  std::vector<std::span<const uint8_t>> spans;
  for (const ByteBuffer& c : wrapped) spans.push_back(c.span());
  for (auto _ : state) {
    std::vector<ByteBuffer> secrets = ourKey().decapsulateBatch(spans);
    if (secrets.back().empty()) std::abort();
    benchmark::DoNotOptimize(secrets.data());
  }
  perSection(state, count);
}

void OursGenerate(benchmark::State& state) {
  for (auto _ : state) {
    RsaKey key;
    if (!key.generate(vl::RsaKeyKind::kEncryption, &pool())) std::abort();
    benchmark::DoNotOptimize(&key);
  }
}

void OpenSslGenerate(benchmark::State& state) {
  for (auto _ : state) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    if (key == nullptr) std::abort();
    EVP_PKEY_free(key);
  }
}

BENCHMARK(OursPrivate)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslPrivate)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursPrivateOnPath)->Arg(0)->Arg(1)->Arg(2)->ArgName("path")->Unit(benchmark::kMicrosecond);
BENCHMARK(OursDecapsulate)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursDecapsulateBatch)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursPublic)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslPublic)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursGenerate)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(21)
    ->ReportAggregatesOnly(true);
BENCHMARK(OpenSslGenerate)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(21)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
