// A whole exchange start without sockets: the client builds the signed start
// chunk, the server parses it, decapsulates the secret, checks the signature,
// makes its DH value and answer, and the client handles the answer. The
// target is under 5 ms, with and without transport encryption (argument 1
// and 0).
//
// Beside it, OpenSSL doing the same public-key work on its own key: two
// RSA-2048 private operations (signing, decapsulation), two public ones
// (encapsulation, checking the signature) and, with encryption, four powers
// modulo the group-14 prime with 512-bit exponents. The ratio says how much
// of our time is arithmetic and how much the rest.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <string_view>
#include <vector>

#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"
#include "net/start_admission.h"
#include "net/start_chunk.h"
#include "net/startup_answer.h"
#include "platform/os_random.h"
#include "tests/crypto/rsa_test_keys.h"

namespace {

using vl::ByteBuffer;

// Client and server share a process here, but not their keys' roles: the
// fixed account encryption key plays the server's key.
struct Sides {
  vl::RandomPool clientPool;
  vl::RandomPool serverPool;
  const vl::RsaKey& serverKey = vl::test::fixedKeys().encryption;
  vl::ServerKey serverPublic{0, vl::kServerKeyNumber, serverKey.exportPublic()};
  ByteBuffer signingKey = vl::test::fixedKeys().signing.exportShort();
  ByteBuffer signingPublic = vl::test::fixedKeys().signing.exportPublic();
  ByteBuffer account{std::string_view("installation-7")};

  Sides() {
    vl::test::creditFromOs(clientPool);
    vl::test::creditFromOs(serverPool);
    if (!vl::test::fixedKeys().ok) std::abort();
  }
};

Sides& sides() {
  static Sides* made = new Sides;
  return *made;
}

void ExchangeStart(benchmark::State& state) {
  Sides& s = sides();
  const bool encrypt = state.range(0) != 0;
  const vl::StartChunkInput input{4711, s.account.span(), s.signingKey.span(), encrypt, true};
  auto lookup = [&s](uint32_t, ByteBuffer* key) {
    *key = s.signingPublic;
    return true;
  };
  for (auto _ : state) {
    vl::ExchangeKeys client(&s.clientPool);
    vl::ExchangeKeys server(&s.serverPool);
    vl::BuiltStart built;
    if (!vl::buildStartChunk(input, s.serverPublic, &s.clientPool, &client, &built)) std::abort();
    const vl::StartAdmission admission = vl::admitStart(
        built.chunk.span(), s.serverKey, vl::kServerKeyNumber, lookup, &s.serverPool, &server);
    const ByteBuffer answer = vl::buildStartupAnswer(admission.code, admission.encrypt,
                                                     admission.serverDhValue.span(), server);
    const vl::StartupResult result = vl::handleStartupAnswer(
        answer.span(), vl::ExchangeKind::kBackup, encrypt, &client, &built.dhExponent);
    if (result.outcome != vl::StartupOutcome::kAdmitted || client.established() != encrypt) {
      std::abort();
    }
    benchmark::DoNotOptimize(client.cipherKey().data());
  }
}

struct OpenSslWork {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  std::vector<uint8_t> input = std::vector<uint8_t>(256, 0x5a);
  BIGNUM* prime = BN_get_rfc3526_prime_2048(nullptr);
  BIGNUM* base = BN_new();
  BIGNUM* exponent = BN_new();
  BIGNUM* result = BN_new();
  BN_CTX* ctx = BN_CTX_new();
  EVP_PKEY_CTX* privateContext = context(true);
  EVP_PKEY_CTX* publicContext = context(false);

  OpenSslWork() {
    input[0] = 0;  // below any 2048-bit modulus
    BN_set_word(base, 2);
    std::vector<uint8_t> bytes(64, 0xa7);
    BN_bin2bn(bytes.data(), 64, exponent);
  }
  EVP_PKEY_CTX* context(bool decrypt) {
    EVP_PKEY_CTX* made = EVP_PKEY_CTX_new(key, nullptr);
    if ((decrypt ? EVP_PKEY_decrypt_init(made) : EVP_PKEY_encrypt_init(made)) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(made, RSA_NO_PADDING) <= 0) {
      std::abort();
    }
    return made;
  }
  void rsa(EVP_PKEY_CTX* context, bool decrypt) {
    uint8_t out[256];
    size_t length = sizeof out;
    const int ok = decrypt ? EVP_PKEY_decrypt(context, out, &length, input.data(), input.size())
                           : EVP_PKEY_encrypt(context, out, &length, input.data(), input.size());
    if (ok <= 0) std::abort();
    benchmark::DoNotOptimize(out);
  }
};

void OpenSslSamePublicKeyWork(benchmark::State& state) {
  static OpenSslWork* work = new OpenSslWork;
  const bool encrypt = state.range(0) != 0;
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      work->rsa(work->privateContext, true);
      work->rsa(work->publicContext, false);
    }
    for (int i = 0; encrypt && i < 4; ++i) {
      BN_mod_exp_mont_consttime(work->result, work->base, work->exponent, work->prime, work->ctx,
                                nullptr);
    }
    benchmark::DoNotOptimize(work->result);
  }
}

BENCHMARK(ExchangeStart)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslSamePublicKeyWork)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
