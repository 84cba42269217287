#include "crypto/key_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "crypto/account_keys.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"
#include "rsa_test_keys.h"
#include "rsa_test_util.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::fixedKeys;
using test::TempDir;

bool contains(const std::string& haystack, const ByteBuffer& needle) {
  return haystack.find(std::string(reinterpret_cast<const char*>(needle.data()), needle.size())) !=
         std::string::npos;
}

ByteBuffer bytesOf(const std::string& text) { return ByteBuffer(std::string_view(text)); }

RecoveryRecord sampleRecovery() {
  RecoveryRecord record;
  record.userNumber = 0x01020304;
  record.localKey = ByteBuffer(std::string(32, 'L'));
  record.encryptionKey = fixedKeys().encryption.exportFull();
  record.signingKey = fixedKeys().signing.exportShort();
  record.logKey = ByteBuffer(std::string(32, 'G'));
  return record;
}

ByteBuffer sampleLocalKey() {
  return encodeLocalKey(77, ByteBuffer(std::string(32, 'L')), fixedKeys().encryption.exportFull(),
                        fixedKeys().signing.exportShort());
}

// A new account's key set through all four files: the sizes on disk, what
// comes back, and what local_key.bin must never hold.
TEST(KeyFilesTest, NewAccountKeysRoundTripThroughTheFiles) {
  RandomPool pool;
  test::creditFromOs(pool);
  AccountKeys keys;
  ASSERT_TRUE(makeAccountKeys(&pool, &keys));
  EXPECT_EQ(keys.localKey.size(), 32u);
  EXPECT_EQ(keys.encryptionKey.size(), 896u);
  EXPECT_EQ(keys.signingKey.size(), 256u);
  EXPECT_EQ(keys.signingPublicKey.size(), 256u);
  EXPECT_EQ(keys.logKey.size(), 32u);

  TempDir dir;
  ByteBuffer installId;
  ASSERT_TRUE(pool.generate(kInstallIdSize, installId));
  ASSERT_TRUE(writeInstallId(dir.file(kInstallIdFile), installId));
  ASSERT_TRUE(writeLocalKey(dir.file(kLocalKeyFile), 4242, keys.localKey, keys.encryptionKey,
                            keys.signingKey));
  RecoveryRecord recovery;
  recovery.userNumber = 4242;
  recovery.localKey = keys.localKey;
  recovery.encryptionKey = keys.encryptionKey;
  recovery.signingKey = keys.signingKey;
  recovery.logKey = keys.logKey;
  ASSERT_TRUE(writeRecovery(dir.file("account.drf"), recovery));
  ASSERT_TRUE(writeLogKey(dir.file(kLogKeyFile), keys.logKey));

  EXPECT_EQ(std::filesystem::file_size(dir.file(kInstallIdFile)), 16u);
  EXPECT_EQ(std::filesystem::file_size(dir.file(kLogKeyFile)), 40u);
  EXPECT_EQ(std::filesystem::file_size(dir.file(kLocalKeyFile)), 568u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("account.drf")), 1245u);

  RecoveryRecord readBack;
  ASSERT_TRUE(readRecovery(dir.file("account.drf"), &readBack));
  EXPECT_EQ(readBack.userNumber, 4242u);
  EXPECT_EQ(readBack.localKey, keys.localKey);
  EXPECT_EQ(readBack.encryptionKey, keys.encryptionKey);
  EXPECT_EQ(readBack.signingKey, keys.signingKey);
  EXPECT_EQ(readBack.logKey, keys.logKey);
  EXPECT_FALSE(readBack.serverKeyFlag());

  LocalKeyRecord local;
  ASSERT_TRUE(readLocalKey(dir.file(kLocalKeyFile), &local));
  EXPECT_EQ(local.userNumber, 4242u);
  EXPECT_EQ(local.localKey, keys.localKey);
  EXPECT_EQ(local.signingKey, keys.signingKey);
  EXPECT_EQ(local.encryptionPublicKey, ByteBuffer(keys.encryptionKey.data() + 640, 256));
  // Neither prime, exponent nor coefficient of the encryption key is there.
  std::string onDisk = test::readFile(dir.file(kLocalKeyFile));
  for (uint32_t part = 0; part < 5; ++part) {
    EXPECT_FALSE(contains(onDisk, ByteBuffer(keys.encryptionKey.data() + 128 * part, 128))) << part;
  }

  ByteBuffer id;
  ByteBuffer logKey;
  ASSERT_TRUE(readInstallId(dir.file(kInstallIdFile), &id));
  ASSERT_TRUE(readLogKey(dir.file(kLogKeyFile), &logKey));
  EXPECT_EQ(id, installId);
  EXPECT_EQ(logKey, keys.logKey);

  RandomPool empty;
  EXPECT_FALSE(makeAccountKeys(&empty, &keys));
  EXPECT_TRUE(keys.localKey.empty() && keys.encryptionKey.empty());
}

TEST(KeyFilesTest, WrongTypeOrVersionIsRefused) {
  ASSERT_TRUE(fixedKeys().ok);
  ByteBuffer local = sampleLocalKey();
  ByteBuffer recovery = encodeRecovery(sampleRecovery());
  ASSERT_EQ(local.size(), 564u);
  ASSERT_EQ(recovery.size(), 1241u);
  LocalKeyRecord localOut;
  RecoveryRecord recoveryOut;
  ASSERT_TRUE(decodeLocalKey(local, &localOut));
  ASSERT_TRUE(decodeRecovery(recovery, &recoveryOut));

  for (uint32_t offset : {0u, 1u, 2u, 3u}) {  // type and version bytes
    ByteBuffer badLocal = local;
    badLocal[offset] ^= offset == 2 ? 0x01 : 0x10;  // offset 2: version 1
    EXPECT_FALSE(decodeLocalKey(badLocal, &localOut)) << offset;
    ByteBuffer badRecovery = recovery;
    badRecovery[offset] ^= offset == 2 ? 0x01 : 0x10;
    EXPECT_FALSE(decodeRecovery(badRecovery, &recoveryOut)) << offset;
  }
  // Each record type is refused by the other reader.
  EXPECT_FALSE(decodeLocalKey(recovery, &localOut));
  EXPECT_FALSE(decodeRecovery(local, &recoveryOut));
}

// Every shorter record, a longer one and a changed field length are refused,
// and a refusal leaves the output as it was.
TEST(KeyFilesTest, CutShortOrOverlongRecordsAreNeverHalfRead) {
  ASSERT_TRUE(fixedKeys().ok);
  ByteBuffer local = sampleLocalKey();
  ByteBuffer recovery = encodeRecovery(sampleRecovery());
  LocalKeyRecord localOut;
  localOut.userNumber = 9;
  RecoveryRecord recoveryOut;
  recoveryOut.userNumber = 9;
  for (uint32_t length = 0; length < recovery.size(); ++length) {
    if (length < local.size()) {
      EXPECT_FALSE(decodeLocalKey(ByteBuffer(local.data(), length), &localOut)) << length;
    }
    EXPECT_FALSE(decodeRecovery(ByteBuffer(recovery.data(), length), &recoveryOut)) << length;
  }
  EXPECT_EQ(localOut.userNumber, 9u);
  EXPECT_TRUE(localOut.localKey.empty());
  EXPECT_EQ(recoveryOut.userNumber, 9u);
  EXPECT_TRUE(recoveryOut.encryptionKey.empty());

  ByteBuffer longer = local;
  longer.appendU8(0);
  EXPECT_FALSE(decodeLocalKey(longer, &localOut));
  longer = recovery;
  longer.appendU8(0);
  EXPECT_FALSE(decodeRecovery(longer, &recoveryOut));
  // The local key field claims 31 bytes (and the record is one byte shorter).
  ByteBuffer shortKey;
  shortKey.appendU16(kLocalKeyRecordType);
  shortKey.appendU16(0);
  shortKey.appendU32(1);
  shortKey.appendCounted(std::string(31, 'L').data(), 31);
  shortKey.appendBytes(local.data() + 44, local.size() - 44);
  EXPECT_FALSE(decodeLocalKey(shortKey, &localOut));

  ByteBuffer id;
  EXPECT_FALSE(decodeInstallId(encodeLogKey(ByteBuffer(std::string(32, 'G'))), &id));
  EXPECT_FALSE(decodeLogKey(encodeInstallId(ByteBuffer(std::string(8, 'I'))), &id));
  EXPECT_TRUE(id.empty());
}

TEST(KeyFilesTest, ServerKeyByteIsReportedAsAFlag) {
  ASSERT_TRUE(fixedKeys().ok);
  RecoveryRecord record = sampleRecovery();
  for (uint8_t code : {0, 1, 2}) {
    record.serverKeyCode = code;
    RecoveryRecord out;
    ASSERT_TRUE(decodeRecovery(encodeRecovery(record), &out));
    EXPECT_EQ(out.serverKeyFlag(), code == 1) << int{code};
  }
}

TEST(KeyFilesTest, WritersRefuseWrongKeySizesAndLeaveNoFile) {
  ASSERT_TRUE(fixedKeys().ok);
  TempDir dir;
  ByteBuffer full = fixedKeys().encryption.exportFull();
  ByteBuffer signing = fixedKeys().signing.exportShort();
  EXPECT_FALSE(
      writeLocalKey(dir.file(kLocalKeyFile), 1, bytesOf(std::string(31, 'L')), full, signing));
  EXPECT_FALSE(writeLocalKey(dir.file(kLocalKeyFile), 1, bytesOf(std::string(32, 'L')),
                             fixedKeys().encryption.exportPublic(), ByteBuffer(255)));
  RecoveryRecord record = sampleRecovery();
  record.logKey.resize(33);
  EXPECT_FALSE(writeRecovery(dir.file("x.drf"), record));
  EXPECT_FALSE(writeInstallId(dir.file(kInstallIdFile), ByteBuffer(7)));
  EXPECT_FALSE(writeLogKey(dir.file(kLogKeyFile), ByteBuffer(0)));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  // The short private form is accepted as well; only n is stored.
  ByteBuffer local = encodeLocalKey(1, bytesOf(std::string(32, 'L')),
                                    fixedKeys().encryption.exportShort(), signing);
  LocalKeyRecord out;
  ASSERT_TRUE(decodeLocalKey(local, &out));
  EXPECT_EQ(out.encryptionPublicKey, fixedKeys().encryption.exportPublic());
}

TEST(ServerKeyTest, BuiltInRecordHoldsA2048BitModulusNumber303) {
  ByteBuffer record = builtInServerKeyRecord();
  EXPECT_EQ(record.size(), 2u + 4u + 4u + 256u);
  ServerKey key;
  ASSERT_TRUE(loadServerKey(&key));
  EXPECT_EQ(key.sizeCode, 0);
  EXPECT_EQ(key.keyNumber, 303u);
  ASSERT_EQ(key.modulus.size(), 256u);
  RsaKey server;
  ASSERT_TRUE(server.load(key.modulus.span(), false, 2048, RsaKeyKind::kEncryption, nullptr));
  EXPECT_EQ(server.modulus().bitLength(), 2048u);

  ServerKey untouched;
  for (uint32_t length : {0u, 6u, 9u, 265u}) {
    EXPECT_FALSE(parseServerKeyRecord(ByteBuffer(record.data(), length), &untouched)) << length;
  }
  EXPECT_TRUE(untouched.modulus.empty());
}

}  // namespace
}  // namespace vl
