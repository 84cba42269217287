// Helpers for the RSA and key tests: conversions to OpenSSL's numbers and
// keys, the oracle.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/bignum.h"
#include "crypto/rsa_key.h"
#include "rsa_test_keys.h"

namespace vl::test {

// An owned OpenSSL number.
class Bn {
 public:
  Bn() : bn_(BN_new()) {}
  explicit Bn(BIGNUM* bn) : bn_(bn) {}
  Bn(const Bn&) = delete;
  Bn& operator=(const Bn&) = delete;
  Bn(Bn&& other) noexcept : bn_(other.bn_) { other.bn_ = nullptr; }
  ~Bn() { BN_clear_free(bn_); }
  BIGNUM* get() const { return bn_; }

 private:
  BIGNUM* bn_;
};

inline Bn toOpenSsl(const BigNumber& x) {
  ByteBuffer bytes = x.toBytes(0);
  Bn result(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
  BN_set_negative(result.get(), x.isNegative() ? 1 : 0);
  return result;
}

inline Bn bnFromLittleEndian(std::span<const uint8_t> bytes) {
  return Bn(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

inline BigNumber fromOpenSsl(const BIGNUM* bn) {
  std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2lebinpad(bn, bytes.data(), static_cast<int>(bytes.size()));
  BigNumber x;
  x.fromBytes(bytes);
  x.setNegative(BN_is_negative(bn) != 0);
  return x;
}

inline ByteBuffer littleEndian(const BIGNUM* bn, uint32_t length) {
  ByteBuffer out(length);
  BN_bn2lebinpad(bn, out.data(), static_cast<int>(length));
  return out;
}

// The full private form (p, q, dP, dQ, qInv, n, each half the modulus bytes
// but n) as an OpenSSL key, with d = e^-1 mod lcm(p - 1, q - 1).
inline EVP_PKEY* openSslKeyFromFull(std::span<const uint8_t> full) {
  const size_t half = full.size() / 7;
  Bn p = bnFromLittleEndian(full.subspan(0, half));
  Bn q = bnFromLittleEndian(full.subspan(half, half));
  Bn dp = bnFromLittleEndian(full.subspan(2 * half, half));
  Bn dq = bnFromLittleEndian(full.subspan(3 * half, half));
  Bn qinv = bnFromLittleEndian(full.subspan(4 * half, half));
  Bn n = bnFromLittleEndian(full.subspan(5 * half, 2 * half));
  Bn e, d, p1, q1, gcd, lcm;
  BN_set_word(e.get(), RsaKey::kPublicExponent);
  BN_CTX* ctx = BN_CTX_new();
  BN_sub(p1.get(), p.get(), BN_value_one());
  BN_sub(q1.get(), q.get(), BN_value_one());
  BN_gcd(gcd.get(), p1.get(), q1.get(), ctx);
  BN_mul(lcm.get(), p1.get(), q1.get(), ctx);
  BN_div(lcm.get(), nullptr, lcm.get(), gcd.get(), ctx);
  BN_mod_inverse(d.get(), e.get(), lcm.get(), ctx);
  BN_CTX_free(ctx);

  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e.get());
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_D, d.get());
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_FACTOR1, p.get());
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_FACTOR2, q.get());
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get());
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get());
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get());
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(context);
  EVP_PKEY_fromdata(context, &key, EVP_PKEY_KEYPAIR, params);
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(build);
  return key;
}

// OpenSSL's raw RSA (no padding) on big-endian blocks: `decrypt` selects the
// private operation. Empty on failure.
inline std::vector<uint8_t> openSslRaw(EVP_PKEY* key, bool decrypt, std::vector<uint8_t> in) {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
  std::vector<uint8_t> out(in.size());
  size_t length = out.size();
  bool ok = (decrypt ? EVP_PKEY_decrypt_init(context) : EVP_PKEY_encrypt_init(context)) > 0 &&
            EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) > 0 &&
            (decrypt ? EVP_PKEY_decrypt(context, out.data(), &length, in.data(), in.size())
                     : EVP_PKEY_encrypt(context, out.data(), &length, in.data(), in.size())) > 0;
  EVP_PKEY_CTX_free(context);
  if (!ok) return {};
  out.resize(length);
  return out;
}

}  // namespace vl::test
