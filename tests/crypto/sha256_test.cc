#include "crypto/sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>

#include "crypto/cpu_features.h"
#include "symmetric_test_util.h"

namespace vl {
namespace {

using test::hexOf;

std::string digestOf(const std::string& message) {
  return hexOf(sha256(ByteBuffer(std::string_view(message))));
}

std::string opensslDigest(const ByteBuffer& message) {
  uint8_t digest[32];
  unsigned int length = 0;
  EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha256(), nullptr);
  return hexOf(digest, length);
}

// Every SHA-256 path the processor has: portable, AVX2, SHA instructions.
class Sha256PathTest : public ::testing::TestWithParam<Sha256Path> {
 protected:
  void SetUp() override {
    if (!sha256PathAvailable(GetParam())) GTEST_SKIP() << "not on this processor";
    forceSha256Path(GetParam());
  }
  void TearDown() override { forceSha256Path(std::nullopt); }
};

std::string sha256PathName(const ::testing::TestParamInfo<Sha256Path>& info) {
  switch (info.param) {
    case Sha256Path::kPortable:
      return "Portable";
    case Sha256Path::kAvx2:
      return "Avx2";
    case Sha256Path::kShaInstructions:
      return "ShaInstructions";
  }
  return "Unknown";
}

// FIPS 180-4 examples, plus the lengths around the padding boundary: 55 bytes
// leave room for the length in the same block, 56 and 64 need another one.
TEST_P(Sha256PathTest, StandardDigests) {
  EXPECT_EQ(digestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(digestOf(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(digestOf(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(digestOf(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
  EXPECT_EQ(digestOf(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Random messages fed in random pieces, so every split of the buffered block
// is exercised, against OpenSSL; also with a progress record attached, which
// hands the blocks over in groups.
TEST_P(Sha256PathTest, MatchesOpenSslOverRandomMessagesAndSplits) {
  std::mt19937 random(1234);
  for (size_t length :
       {0u, 1u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 511u, 512u, 513u, 575u, 576u, 1000u,
        1025u, 4096u, 70001u}) {
    ByteBuffer message = test::randomBytes(random, length);
    for (bool withProgress : {false, true}) {
      ProgressCounter progress;
      Sha256 context;
      if (withProgress) context.setProgress(&progress);
      size_t done = 0;
      while (done < length) {
        size_t piece = std::min<size_t>(length - done, random() % (withProgress ? 1500 : 150));
        ASSERT_TRUE(context.update(message.data() + done, piece));
        done += piece;
      }
      EXPECT_EQ(hexOf(context.final()), opensslDigest(message))
          << "length " << length << (withProgress ? " with progress" : "");
      if (withProgress) {
        EXPECT_EQ(progress.bytes.load(), length / 64 * 64) << length;
      }
    }
  }
}

// Every length up to 20 blocks in one update, so that each count of blocks
// in a group of eight and every tail meets the portable code's answer.
TEST_P(Sha256PathTest, AgreesWithThePortablePathOnEveryLength) {
  std::mt19937 random(99);
  ByteBuffer message = test::randomBytes(random, 20 * 64 + 1);
  for (size_t length = 0; length <= message.size(); ++length) {
    std::span<const uint8_t> part = message.span().subspan(0, length);
    forceSha256Path(Sha256Path::kPortable);
    ByteBuffer portable = sha256(part);
    forceSha256Path(GetParam());
    ASSERT_EQ(sha256(part), portable) << "length " << length;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, Sha256PathTest,
                         ::testing::Values(Sha256Path::kPortable, Sha256Path::kAvx2,
                                           Sha256Path::kShaInstructions),
                         sha256PathName);

TEST(Sha256Test, FinalTwiceGivesTheSameDigestAndUpdateAfterFinalStartsAfresh) {
  Sha256 context;
  context.update(ByteBuffer(std::string_view("first message")));
  ByteBuffer first = context.final();
  EXPECT_EQ(context.final(), first);
  context.update(ByteBuffer(std::string_view("abc")));
  EXPECT_EQ(hexOf(context.final()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256Test, CancelMakesUpdateFailAndResetsTheContext) {
  ProgressCounter progress;
  Sha256 context;
  context.setProgress(&progress);
  ByteBuffer message(1 << 16);
  ASSERT_TRUE(context.update(message));
  EXPECT_EQ(progress.bytes.load(), 1u << 16);

  progress.requestCancel();
  EXPECT_FALSE(context.update(message));
  // Back at the initial state: hashing "abc" now gives the plain digest.
  progress.cancel.store(0);
  context.update(ByteBuffer(std::string_view("abc")));
  EXPECT_EQ(hexOf(context.final()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256Test, CancelFromAnotherThreadStopsALongHash) {
  // The flag is raised by another thread while megabyte updates run; the
  // hash must stop at the next block instead of running on.
  ProgressCounter progress;
  Sha256 context;
  context.setProgress(&progress);
  ByteBuffer piece(1u << 20);
  std::thread canceller([&] {
    while (progress.bytes.load() < (4u << 20)) std::this_thread::yield();
    progress.requestCancel();
  });
  bool ok = true;
  uint32_t pieces = 0;
  while (ok && pieces < 4000) {
    ok = context.update(piece);
    ++pieces;
  }
  canceller.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(pieces, 4000u);
}

}  // namespace
}  // namespace vl
