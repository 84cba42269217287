// The readers of key material on arbitrary bytes: the four key-file records,
// the server key record, RsaKey::load in every form and decapsulate. The
// first input byte picks the reader; what a reader accepts must have exactly
// the sizes the formats give.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "../tests/crypto/rsa_test_keys.h"
#include "crypto/key_files.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const vl::ByteBuffer record(data + 1, size - 1);
  const std::span<const uint8_t> rest = record.span();
  switch (data[0] % 8) {
    case 0: {
      vl::RecoveryRecord out;
      if (vl::decodeRecovery(record, &out)) {
        check(record.size() == 1241 && out.localKey.size() == 32 &&
              out.encryptionKey.size() == 896 && out.signingKey.size() == 256 &&
              out.logKey.size() == 32);
      }
      break;
    }
    case 1: {
      vl::LocalKeyRecord out;
      if (vl::decodeLocalKey(record, &out)) {
        check(record.size() == 564 && out.localKey.size() == 32 &&
              out.encryptionPublicKey.size() == 256 && out.signingKey.size() == 256);
      }
      break;
    }
    case 2: {
      vl::ByteBuffer out;
      if (vl::decodeInstallId(record, &out)) check(out.size() == 8);
      if (vl::decodeLogKey(record, &out)) check(out.size() == 32);
      break;
    }
    case 3: {
      vl::ServerKey out;
      if (vl::parseServerKeyRecord(record, &out)) check(out.modulus.size() + 10 <= record.size());
      break;
    }
    case 4:
    case 5: {
      // Private forms at the sizes that are read (short and full), padded or
      // cut from the input; the operations must then work on what loaded.
      const size_t length = data[0] % 8 == 4 ? 256 : 896;
      vl::ByteBuffer form(length);
      if (!rest.empty()) {
        std::memcpy(form.data(), rest.data(), rest.size() < length ? rest.size() : length);
      }
      vl::RsaKey key;
      if (key.load(form.span(), true, 2048, vl::RsaKeyKind::kSigning, nullptr)) {
        check(key.exportFull().size() == 896);
        // A form whose numbers are not a real key loads, but its signatures
        // do not verify and are refused: none, or one of the full size.
        uint8_t digest[32] = {};
        const size_t signature = key.sign(digest).size();
        check(signature == 0 || signature == 256);
      }
      break;
    }
    case 6: {
      vl::RsaKey key;
      if (key.load(rest, false, 8 * static_cast<uint32_t>(rest.size()), vl::RsaKeyKind::kEncryption,
                   nullptr)) {
        check(key.exportPublic().size() == rest.size());
      }
      break;
    }
    case 7: {
      if (!vl::test::fixedKeys().ok) break;
      vl::ByteBuffer secret = vl::test::fixedKeys().encryption.decapsulate(rest);
      check(secret.empty() || (secret.size() == 32 && rest.size() == 256));
      break;
    }
  }
  return 0;
}
