// AesCipher::decryptBuffer (CBC with unpadding) on arbitrary bytes, run on
// the AES instructions and on the portable code side by side: both must give
// the same verdict and the same bytes. The first input byte picks the key
// length and whether a progress record is attached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/byte_buffer.h"
#include "crypto/aes_cipher.h"
#include "crypto/cpu_features.h"

namespace {

struct Ciphers {
  explicit Ciphers(size_t key_length) {
    uint8_t key[32];
    for (size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<uint8_t>(i * 37 + key_length);
    std::span<const uint8_t> bytes(key, key_length);
    detected = new vl::AesCipher(bytes);
    vl::forcePortableCrypto(true);
    portable = new vl::AesCipher(bytes);
    vl::forcePortableCrypto(false);
  }
  vl::AesCipher* detected;
  vl::AesCipher* portable;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Ciphers by_length[3] = {Ciphers(16), Ciphers(24), Ciphers(32)};
  static vl::ProgressCounter progress;
  if (size < 17) return 0;
  Ciphers& ciphers = by_length[(data[0] & 3) % 3];
  vl::ProgressCounter* counter = (data[0] & 4) ? &progress : nullptr;
  ciphers.detected->setProgress(counter);
  ciphers.portable->setProgress(counter);
  // Bytes 1..16 are the IV.
  std::span<const uint8_t, 16> iv(data + 1, 16);
  vl::ByteBuffer a(data + 17, size - 17);
  vl::ByteBuffer b = a;
  ciphers.detected->setChainingValue(iv);
  ciphers.portable->setChainingValue(iv);
  const bool ok_a = ciphers.detected->decryptBuffer(a);
  const bool ok_b = ciphers.portable->decryptBuffer(b);
  if (ok_a != ok_b || !(a == b)) std::abort();
  const size_t length = size - 17;
  const bool whole_blocks = length != 0 && length % 16 == 0;
  if (ok_a) {
    // At most one block of padding came off.
    if (!whole_blocks || a.size() > length || (a.size() + 16 < length && !a.empty())) std::abort();
  } else if (whole_blocks ? !a.empty() : !(a == vl::ByteBuffer(data + 17, length))) {
    // Refused lengths leave the buffer alone; every other refusal empties it.
    std::abort();
  }
  return 0;
}
