// Fixed RSA keys in full form (hex), made once with our own generator, and a
// fixture that loads them with a credited pool. For tests that need working
// keys but do not test generation: loading a key costs nothing, generating
// one costs seconds in the sanitizer build.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "platform/os_random.h"

namespace vl::test {

// An encryption key (kind 0).
inline constexpr const char* kAccountEncryptionKey =
    "6b7019c074296802119a3ab1fcc35d827cdc690f1557b6679ebd5707e1720df4fd8b10c50e22862c9e55de8d"
    "fb8e2b4da05b31b47d20ab15459c4096453fea7c1977474c3854df89d5ab5817c4a6c7b2c95840b426127a71"
    "16bc957e7997bdc2d5048a7a6bddd23cf7b2ea54475d9ab94156c61a80da063671595e830c1179f223163d08"
    "1702afb2e8adaaf225628a86a3e36038534b8815a0af119d0249ac6d9ab6a2c434b91fda1a4c2044af86600f"
    "b4008982b0b5e6eb77db689b5f79d9822013b5736fa697bd103cff556ef59275a93dae467337d926303b03de"
    "3c2ef3e446dbc07d115fe8d30ebf8fda8a8176256f6924d88a62171a74ef9586c81c70dc2dc91dfebbbbcbac"
    "615005dbd92faee12672711461f46bbdb5320c0e240e90c5e9de00b948ea0e0772b1dadb77739f8f12635a91"
    "e461f5814b2d58fa7a7fd8b80ea2bcfba79d7418a616cf28abd0448633c8bd1a31be311b4251d1fe8c7b7e6f"
    "f0149bc0595f8b555d23df7384034d6f1c5d75fefdcf1ea6f53ed5e300973f1f198a4ac498c4e4cc68b7f9aa"
    "7f56a93ab0703f73dc06eb746b3ece5f513872dcf0c1761c9b9fd26d55e2240feba2a5d019a016bd2cd3bea2"
    "1896348e4eb063dd5ab072a39c9ea208911751e0970346d060f0a1007f1db6ef1cff4f49cc235a6ad4be7437"
    "16dab6b44ee7ac8b0de242443fa8fd3ff5f759f3466615aa482423a2434afcfbfda7e3730bce9300ef68d060"
    "10c2f1eccfcca6af9f7252bb04a08e8d4e6ee6e4da0565b58866912d257883d014438442d4fb2adf14a554ba"
    "94aec11ef328403ba6909f22653f93b3979a45596a82161bd40f60c27d5525ae95db8c0e7dae2de4d7578ef8"
    "e0be19163b6177145303abcfe1b819d4979a41d1a77eda29a190a294a834ef82292f852362e81b9576834c79"
    "f22c74835593419c2a32927737098cb8069ca65c0d47fd3644ab7a8c7d57aae4f252d08e9ec739ecd23b4f96"
    "b2b3691c84675a2b79e62760a8a2d19315e09c64bf946a161f9140d574b0b67b732ced4d9d9eb2438ac2455f"
    "61fb9a9e8d450562cd29f99a8f69f82425e3e03dea99a3d49f2ab5965d5007ab36f926bb86cb62a9b03e0651"
    "4d9c49d5626ca810057e8230a7655dda7cb5e79512a79d56e8e4e2f563d69bf9d2d5a2e9385c5f4f03dc03c3"
    "c5d9c2747df1bcb45f2eabd4fa535af858debed1e62e0e03f7bb64aa0f80924f9d4016f525b2133d80e4a44a"
    "e021b6391e7cfcd679a04a62e13acad0";

// A second encryption key, as another account would have.
inline constexpr const char* kOtherEncryptionKey =
    "77e13ce2d267a70539ceb9f5827237e82f456b0d4ce300a68729785d27206e75daacef96edc5c210494c07b9"
    "9f57c151c3b7ce4ed4cfa7167f2a5e8bb5a6e9ce42d2979ed41c0e5ad85aecf24a31e64b9ff19a347ca0f8a2"
    "2c9e3486ed65a4715c6bf662ada92c3cc0c14ee8b86a69a73064295ebc335440848ebc4d1b86fffe23e2cec4"
    "f19d2f23969ac0ed2880f8883acffc4bd416bc33509c70c10b399e5e1f3d12d2312766cd4b343da92ac03b03"
    "39205f99fa6c42ad0faf11982b3d36f30585537140f44a47a1a1db0516c92881847f5de537d90993c933f3a2"
    "0c2e2d03b0d9ab7105af8c94406cb69f0bb2a68a89a894ad3485db9814adf8e66def2fd7b52000ea73c7696d"
    "3591f6b1749e4ff45abdae4007ef96baf2fb413db556ab6a3cc791f41e30cb0de31fdb1d296ec633cf00ed60"
    "da893020eaca7b67c94e20382c2ee9e5eb38f4c3c766d89c74acf042f84b3769e11f22232991c3d49f093d71"
    "195b0b93915a4040ea169543fcee54885ac300383fa655919d43d9d808040d6007d5147471ddf8dd60319978"
    "3f8457e5d310a9254373c04d1f0726a55a69854737b4d0d33c7f16aac45b05a449549ba74e5dd0fecd9e3460"
    "e37618303c6f799fc14bfd89f435c9dbf8f6b31a3704b74666aad91dbcbb4e3f935027d195ca2d3d4fb751f6"
    "8a8150575a552badcf97e17f2069749cad922f24cbb5d1337d05da1c14f282876c15ccbd44aa1768db2efce7"
    "979ab22e1e8237cc4f6003d7137973e3001b69b61c62ab63fb48265dbff5ffef7370124ee7fc123910ac19d1"
    "493850a56b1e5c480ab268deb485ede61ae3402d971e2a46b1eabf55132088d4614a38083ac4165c9de247d6"
    "8914692781b82de31d7748364c02b55df102f5e03303194a45e11f373243e38bfde02490f6c180976889df20"
    "05b99db0a535b254eb150a266fd2208209d1a6a1e734c1c42a037b68ed4e3568557b33640e3906ef89f5b7bd"
    "c876cbfc884ecf08e2dd5d7581e0d2bfc64de382961146a958d3dead30482f5ca25e21fb6309e4677d99600d"
    "d5c6bf2f3793d7ef284e8a628e3ebf22636935fc3a93b42a88cdfcfb89b0ebc1ead28704db8c2baee57fc128"
    "26f15034a5c67fa9373f0494a5fe25645f692e2af86a77c511e4ffd7cec20ab6361bdd8c3377aa2ca73ce189"
    "6387f25ab6df52af9bb713a456f245ab4696cb5805b61fe938f6f9c1274f6225df3b39fc8a525fa1c49d2a24"
    "cc0cc33c8db2c802f07e5d94085958d6";

// A signing key (kind 1).
inline constexpr const char* kAccountSigningKey =
    "9949957ec7e03583ed3191dfb118f7ea33016ef661321db7d6d446af56b13d84206debf5f5b4007c0522b098"
    "a08b34d179f14dcb5de9b341a562b8b508dc16a4aa9c27cb7c0b178173e4c98a872313dfebb8efe5e9b55ca0"
    "4dbbed75a84564914f44eef3422df21b43598f99e9463e1fd92d062553ae7237e5e01173104818c2f5958c33"
    "7ea5e2e1650b8ee9f25131a723fe573f360c3aaf337c1e52f63876a6ceedc1909bba2dc7d50392b305fd468c"
    "e7190a6372cf427260f74a740346c15d12b90191fec633aa5fa22731692bddc6eb2e6948ec272cb14104f9dc"
    "34d20ff930156b914184669198883374df9eedba9bbd76f4e5fce0be20a8077caca93fc119034464eae2325a"
    "b918428e086c88c3edbf6ec59f2aad5c2ad6831f75b7f3f467d0578d84fe02462a3e2027b2a556b58e09f01d"
    "d2c61005fd46e16e37969d61680591533e49d35de53738764940a67578e01da1316a7d942e7f627a540b984f"
    "81f484695cbbd779ec98c751ee5687a75a91342e0d4bbcc315eaa490d7fd250959565e227b09cc96d5d6a07e"
    "9dd1cc6542fe0762307de89c47aab2de4948a474d037310d23416ab4d9abb552aedc9db49c5bb323d0837bf5"
    "d0d91d85eac60645c1bff5691a51c0006f307e5bc9bf399da788ffe737c062109d94f24be083274a5458b75e"
    "603dcc314c090ec3fb0d4a44de7f442693219cddad811c6c15f333363a6d8dabf71261e09c4dadb9283e3d68"
    "f866c193112c129e7a3c02390ff41ec7f2b1dde36c234898726db7f6ed26e6be44db428ddf5c99e7424b3212"
    "f50e186499db856f2571b7579c31f98ca42e0a614b1c12b0a748f2ae4cb33bb3893bf120383a9075575e8964"
    "9829db0527ade8153f9dc6b8d1e7ec54b49b8bf43e032cb16d7c61c33409b191894bbd9ade85c93327af138f"
    "28daf0b89076384e1647dbb7f815c54da78c17fcbf77094f191b772ae5b76c674a3675ca72bea0696636f564"
    "262325094a197352e01ac03440df20c5e23b32875a97555c9e8101ddd4bb2eda500be33d02166fe5fa801597"
    "cadbd794e5a7577b463425c498f95d4f3cca15a4467f670c4c5665228c248a877cf8c8169c2f7dac3344dbf3"
    "e682a1c39b33d0b22c09dc1143e4adfc6f42ed4670c8af83c0676aad8a88a88ba9781294993beadd444ba5ca"
    "3223a7df7b54d5a8368e3229c0e4d187a5b0c1a8d438e28dcf6301a2cc6fb8d68fc7b7eeef7f3095823d547d"
    "2f2a425ab9bcecf701a4b9f0f2928492";

// A pool credited from the operating system's generator (as vltool does).
inline void creditFromOs(RandomPool& pool) {
  uint8_t seed[32];
  osRandomBytes(seed, sizeof seed);
  pool.addBytes(seed, true);
}

// The fixed keys of rsa_test_keys.h, loaded, with a credited pool.
struct FixedKeys {
  RandomPool pool;
  RsaKey encryption;
  RsaKey other;
  RsaKey signing;
  bool ok = false;

  FixedKeys() {
    creditFromOs(pool);
    ok = load(encryption, kAccountEncryptionKey, RsaKeyKind::kEncryption) &&
         load(other, kOtherEncryptionKey, RsaKeyKind::kEncryption) &&
         load(signing, kAccountSigningKey, RsaKeyKind::kSigning);
  }

 private:
  bool load(RsaKey& key, std::string_view hex, RsaKeyKind kind) {
    ByteBuffer full;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
      full.appendU8(static_cast<uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
    }
    return key.load(full.span(), true, RsaKey::kBits, kind, &pool);
  }
};

inline FixedKeys& fixedKeys() {
  static FixedKeys keys;
  return keys;
}

}  // namespace vl::test
