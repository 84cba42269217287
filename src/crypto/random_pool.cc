#include "crypto/random_pool.h"

#include <memory>

#include "core/secure_wipe.h"
#include "crypto/sha256.h"
#include "platform/c_rand.h"
#include "platform/clock.h"

namespace vl {

RandomPool::RandomPool() {
  for (uint32_t i = 0; i < kPoolSize; ++i) pool_[i] = static_cast<uint8_t>(cRand());
}

RandomPool::~RandomPool() { secureWipe(pool_, sizeof pool_); }

void RandomPool::setProgress(ProgressCounter* progress) {
  std::lock_guard lock(mutex_);
  progress_ = progress;
}

void RandomPool::mixLocked(uint8_t byte) {
  pool_[position_] ^= byte;
  if (++position_ == kPoolSize) stirLocked();
}

void RandomPool::addBytes(std::span<const uint8_t> bytes, bool credited) {
  std::lock_guard lock(mutex_);
  for (uint8_t byte : bytes) mixLocked(byte);
  if (credited) credit_ = credit_ > UINT32_MAX - kSeedCredit ? UINT32_MAX : credit_ + kSeedCredit;
}

void RandomPool::addEventLocked(uint16_t x, uint16_t y, uint32_t time) {
  mixLocked(static_cast<uint8_t>(x));
  mixLocked(static_cast<uint8_t>(y));
  mixLocked(static_cast<uint8_t>(x >> 8));
  mixLocked(static_cast<uint8_t>(y >> 8));
  for (int i = 0; i < 4; ++i) mixLocked(static_cast<uint8_t>(time >> (8 * i)));
}

void RandomPool::addEvent(uint16_t x, uint16_t y, uint32_t time) {
  std::lock_guard lock(mutex_);
  addEventLocked(x, y, time);
}

void RandomPool::addCredit(uint32_t units) {
  std::lock_guard lock(mutex_);
  credit_ = credit_ > UINT32_MAX - units ? UINT32_MAX : credit_ + units;
}

uint32_t RandomPool::credit() const {
  std::lock_guard lock(mutex_);
  return credit_;
}

bool RandomPool::ready() const { return credit() >= kReadyCredit; }

uint32_t RandomPool::position() const {
  std::lock_guard lock(mutex_);
  return position_;
}

// Encrypts the pool block by block (no chaining) under the SHA-256 of the
// pool itself, and returns the cipher keyed with that hash.
std::unique_ptr<AesCipher> RandomPool::encryptPoolLocked() {
  uint8_t key[Sha256::kDigestSize];
  Sha256 hash;
  hash.update(pool_, kPoolSize);
  hash.final(key);
  auto cipher = std::make_unique<AesCipher>(std::span<const uint8_t>(key, sizeof key));
  secureWipe(key, sizeof key);
  for (uint32_t block = 0; block < kPoolSize; block += AesCipher::kBlockSize) {
    cipher->encryptBlock(pool_ + block);
  }
  return cipher;
}

void RandomPool::stirLocked() {
  encryptPoolLocked();
  position_ = 0;
}

// The output is the counter stream under the same key; the position stays
// where it was.
bool RandomPool::generateLocked(uint32_t length, ByteBuffer& out) {
  std::unique_ptr<AesCipher> cipher = encryptPoolLocked();
  cipher->setProgress(progress_);
  out = cipher->keystream(length);
  return out.size() == length;
}

bool RandomPool::generate(uint32_t length, ByteBuffer& out, uint32_t cipherKind) {
  out.clear();
  std::lock_guard lock(mutex_);
  if (credit_ < kReadyCredit || cipherKind != kCipherAes) return false;
  if (!generateLocked(length, out)) {
    out.clear();
    return false;
  }
  return true;
}

bool RandomPool::generateWord(uint32_t& word) {
  word = 0;
  ByteBuffer bytes;
  if (!generate(4, bytes)) return false;
  word = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
  return true;
}

void RandomPool::recordMouse(uint16_t x, uint16_t y) {
  std::lock_guard lock(mutex_);
  if (!mouse_collection_ || (x == last_mouse_x_ && y == last_mouse_y_)) return;
  addEventLocked(x, y, secondsSince1970() ^ millisecondClock());
  if (credit_ != UINT32_MAX) ++credit_;
  last_mouse_x_ = x;
  last_mouse_y_ = y;
}

void RandomPool::setMouseCollection(bool on) {
  std::lock_guard lock(mutex_);
  mouse_collection_ = on;
}

bool RandomPool::mouseCollection() const {
  std::lock_guard lock(mutex_);
  return mouse_collection_;
}

void RandomPool::addDispatchEvent() {
  const uint32_t value = secondsSince1970() ^ millisecondClock() ^ 0xFFFFFFFFu;
  addEvent(static_cast<uint16_t>(value), static_cast<uint16_t>(value >> 16), 0);
}

bool RandomPool::saveSeed(const std::string& path) {
  ByteBuffer seed;
  if (!generate(kSeedSize, seed)) return false;
  ByteBuffer record;
  record.appendCounted(seed);
  return record.saveToFile(path);
}

bool RandomPool::loadSeed(const std::string& path) {
  ByteBuffer record;
  if (!record.loadFromFile(path)) return false;
  ByteBuffer seed = record.readCounted();
  if (seed.size() != kSeedSize) return false;
  addBytes(seed.span(), true);
  return true;
}

void RandomPool::wipe() {
  std::lock_guard lock(mutex_);
  secureWipe(pool_, sizeof pool_);
  position_ = 0;
  credit_ = 0;
}

}  // namespace vl
