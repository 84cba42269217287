#include "crypto/random_pool.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <string>
#include <thread>
#include <vector>

#include "crypto/random_pool_startup.h"
#include "platform/c_rand.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

// A pool made right after seeding the C generator, so its bytes are known.
std::unique_ptr<RandomPool> poolFromSeed(uint32_t seed) {
  cSrand(seed);
  return std::make_unique<RandomPool>();
}

void credit(RandomPool& pool) { pool.addBytes(ByteBuffer(std::string(1024, 'c')).span(), true); }

// The pool rules written out again with OpenSSL doing the hashing and the
// block encryption.
class PoolModel {
 public:
  explicit PoolModel(uint32_t seed) : pool_(4096) {
    cSrand(seed);
    for (auto& byte : pool_) byte = static_cast<uint8_t>(cRand());
  }
  void mix(const std::vector<uint8_t>& bytes) {
    for (uint8_t byte : bytes) {
      pool_[position_] ^= byte;
      if (++position_ == 4096) {
        encryptUnderOwnHash();
        position_ = 0;
      }
    }
  }
  std::vector<uint8_t> generate(size_t length) {
    std::vector<uint8_t> counters;
    for (uint32_t i = 0; i * 16 < length; ++i) {
      for (int copy = 0; copy < 4; ++copy) {
        for (int b = 0; b < 4; ++b) counters.push_back(static_cast<uint8_t>(i >> (8 * b)));
      }
    }
    std::vector<uint8_t> key = encryptUnderOwnHash();
    std::vector<uint8_t> out = ecb(key, counters);
    out.resize(length);
    return out;
  }

 private:
  std::vector<uint8_t> encryptUnderOwnHash() {
    std::vector<uint8_t> key(32);
    SHA256(pool_.data(), pool_.size(), key.data());
    pool_ = ecb(key, pool_);
    return key;
  }
  static std::vector<uint8_t> ecb(const std::vector<uint8_t>& key, const std::vector<uint8_t>& in) {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(context, EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(context, 0);
    std::vector<uint8_t> out(in.size());
    int length = 0;
    EVP_EncryptUpdate(context, out.data(), &length, in.data(), static_cast<int>(in.size()));
    EVP_CIPHER_CTX_free(context);
    return out;
  }
  std::vector<uint8_t> pool_;
  uint32_t position_ = 0;
};

TEST(RandomPoolTest, MixingStirringAndGeneratingFollowTheRules) {
  auto pool = poolFromSeed(77);
  PoolModel model(77);
  std::vector<uint8_t> seed(1024);
  for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(i * 7);
  pool->addBytes(seed, true);
  model.mix(seed);
  pool->addEvent(0x1234, 0xabcd, 0x01020304);
  model.mix({0x34, 0xcd, 0x12, 0xab, 0x04, 0x03, 0x02, 0x01});
  // Enough bytes to wrap the position once: one stir in the middle.
  std::vector<uint8_t> bulk(4000, 0x5a);
  pool->addBytes(bulk, false);
  model.mix(bulk);
  EXPECT_EQ(pool->position(), (1024 + 8 + 4000) % 4096);

  ByteBuffer out;
  ASSERT_TRUE(pool->generate(100, out));
  std::vector<uint8_t> expected = model.generate(100);
  EXPECT_EQ(out, ByteBuffer(expected.data(), expected.size()));
  // Generating changed the pool, so the next draw differs, as in the model.
  uint32_t word = 0;
  ASSERT_TRUE(pool->generateWord(word));
  expected = model.generate(4);
  EXPECT_EQ(word, expected[0] | (expected[1] << 8) | (expected[2] << 16) |
                      (static_cast<uint32_t>(expected[3]) << 24));
}

TEST(RandomPoolTest, MixingExactlyOnePoolLengthStirsOnceAndRestartsThePosition) {
  auto pool = poolFromSeed(3);
  PoolModel model(3);
  std::vector<uint8_t> bytes(4096, 0x11);
  pool->addBytes(bytes, false);
  model.mix(bytes);
  EXPECT_EQ(pool->position(), 0u);
  credit(*pool);
  model.mix(std::vector<uint8_t>(1024, 'c'));
  ByteBuffer out;
  ASSERT_TRUE(pool->generate(32, out));
  std::vector<uint8_t> expected = model.generate(32);
  EXPECT_EQ(out, ByteBuffer(expected.data(), expected.size()));
}

TEST(RandomPoolTest, RefusesOutputUntilCreditedWithFiveHundredTwelve) {
  RandomPool pool;
  pool.addBytes(ByteBuffer(std::string(32, 'o')).span(), false);
  ByteBuffer out(std::string_view("stale"));
  EXPECT_FALSE(pool.generate(16, out));
  EXPECT_TRUE(out.empty());
  uint32_t word = 7;
  EXPECT_FALSE(pool.generateWord(word));
  EXPECT_EQ(word, 0u);
  pool.addCredit(511);
  EXPECT_FALSE(pool.ready());
  pool.addCredit(1);
  EXPECT_TRUE(pool.generate(16, out));
  EXPECT_EQ(out.size(), 16u);
  // Credit is not consumed, and unknown cipher kinds are refused.
  EXPECT_EQ(pool.credit(), 512u);
  EXPECT_FALSE(pool.generate(16, out, 1));
  // Credit never wraps round to below the threshold.
  pool.addCredit(UINT32_MAX);
  credit(pool);
  EXPECT_EQ(pool.credit(), UINT32_MAX);
  EXPECT_TRUE(pool.ready());
}

TEST(RandomPoolTest, MouseCreditsOnlyNewPositionsWhileCollectionIsOn) {
  RandomPool pool;
  pool.recordMouse(10, 20);
  EXPECT_EQ(pool.credit(), 0u);  // collection starts off in a bare pool
  pool.setMouseCollection(true);
  for (int i = 0; i < 600; ++i) pool.recordMouse(10, 20);
  EXPECT_EQ(pool.credit(), 1u);
  EXPECT_EQ(pool.position(), 8u);
  pool.recordMouse(11, 20);
  pool.recordMouse(10, 20);
  EXPECT_EQ(pool.credit(), 3u);
  pool.setMouseCollection(false);
  pool.recordMouse(99, 99);
  EXPECT_EQ(pool.credit(), 3u);
}

TEST(RandomPoolTest, CancelAbortsGeneration) {
  RandomPool pool;
  credit(pool);
  ProgressCounter progress;
  pool.setProgress(&progress);
  ByteBuffer out;
  ASSERT_TRUE(pool.generate(256, out));
  progress.requestCancel();
  EXPECT_FALSE(pool.generate(256, out));
  EXPECT_TRUE(out.empty());
}

TEST(RandomPoolTest, SeedFileIsWrittenOnlyWithCreditAndIsAlways1032Bytes) {
  test::TempDir dir;
  const std::string path = dir.file("rand.bin");
  RandomPool pool;
  EXPECT_FALSE(pool.saveSeed(path));
  EXPECT_TRUE(test::readFile(path).empty());
  credit(pool);
  ASSERT_TRUE(pool.saveSeed(path));
  const std::string file = test::readFile(path);
  ASSERT_EQ(file.size(), 1032u);
  EXPECT_EQ(file.substr(0, 8), std::string("\x04\x04\x00\x00\x00\x04\x00\x00", 8));

  RandomPool next;
  EXPECT_TRUE(next.loadSeed(path));
  EXPECT_TRUE(next.ready());
}

TEST(RandomPoolTest, SeedFileGivesCreditOnlyForExactlyAThousandAndTwentyFourBytes) {
  test::TempDir dir;
  for (uint32_t length : {0u, 1023u, 1024u, 1025u}) {
    ByteBuffer record;
    record.appendCounted(ByteBuffer(std::string(length, 'r')));
    ASSERT_TRUE(record.saveToFile(dir.file("rand.bin")));
    RandomPool pool;
    EXPECT_EQ(pool.loadSeed(dir.file("rand.bin")), length == 1024) << length;
    EXPECT_EQ(pool.ready(), length == 1024) << length;
  }
  // A field that claims 1024 bytes but is cut short.
  test::writeFile(dir.file("short.bin"), std::string("\x04\x03\x00\x00\x00\x04\x00\x00", 8) +
                                             std::string(1020, 'r'));
  RandomPool pool;
  EXPECT_FALSE(pool.loadSeed(dir.file("short.bin")));
  EXPECT_FALSE(pool.loadSeed(dir.file("missing.bin")));
  EXPECT_EQ(pool.credit(), 0u);
}

TEST(RandomPoolStartupTest, StartsUncreditedWithoutASeedAndCarriesCreditAcrossRuns) {
  test::TempDir dir;
  const std::string path = dir.file("rand.bin");
  uint32_t code = 0;
  std::unique_ptr<RandomPool> first = startRandomPool(path, code);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(first->ready());  // the OS generator alone gives no credit
  EXPECT_TRUE(first->mouseCollection());
  // Nothing is written at the end of an uncredited run.
  EXPECT_FALSE(finishRandomPool(*first, path));
  EXPECT_TRUE(test::readFile(path).empty());

  for (uint16_t i = 1; i <= 512; ++i) first->recordMouse(i, i);
  ASSERT_TRUE(first->ready());
  EXPECT_TRUE(finishRandomPool(*first, path));
  EXPECT_EQ(first->credit(), 0u);  // wiped after the last write
  EXPECT_EQ(test::readFile(path).size(), 1032u);

  std::unique_ptr<RandomPool> second = startRandomPool(path, code);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->ready());
}

// The window thread feeds mouse positions while an exchange thread draws
// bytes; the lock keeps every operation whole (run under the sanitizers).
TEST(RandomPoolTest, FeedingAndDrawingFromTwoThreads) {
  RandomPool pool;
  credit(pool);
  pool.setMouseCollection(true);
  std::thread window([&] {
    for (uint16_t i = 1; i <= 5000; ++i) pool.recordMouse(i, static_cast<uint16_t>(i * 3));
  });
  for (int i = 0; i < 200; ++i) {
    ByteBuffer out;
    ASSERT_TRUE(pool.generate(64, out));
  }
  window.join();
  EXPECT_EQ(pool.credit(), 512u + 5000u);
}

}  // namespace
}  // namespace vl
