#include "net/server_setting.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace vl {
namespace {

// A well-formed record: size code 0, key number 7, an odd 256-byte modulus
// with its top byte set.
ByteBuffer keyRecord(uint16_t sizeCode = 0, uint32_t modulusSize = 256) {
  ByteBuffer modulus(modulusSize);
  for (uint32_t i = 0; i < modulusSize; ++i) modulus[i] = static_cast<uint8_t>(i * 7 + 3);
  modulus[0] |= 1;
  modulus[modulusSize - 1] = 0xc5;
  ByteBuffer record;
  record.appendU16(sizeCode);
  record.appendU32(7);
  record.appendCounted(modulus);
  return record;
}

std::string text(const ByteBuffer& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(ServerKeyRecordTest, OnlyAWholeRecordOfAKnownSizeIsAccepted) {
  ServerKey key;
  ByteBuffer record = keyRecord();
  ASSERT_EQ(record.size(), 266u);
  ASSERT_TRUE(parseServerKeyRecordStrict(record.span(), &key));
  EXPECT_EQ(key.sizeCode, 0);
  EXPECT_EQ(key.keyNumber, 7u);
  EXPECT_EQ(key.modulus.size(), 256u);
  EXPECT_TRUE(parseServerKeyRecordStrict(keyRecord(2, 512).span(), &key));

  EXPECT_FALSE(parseServerKeyRecordStrict(record.span().first(265), &key));  // cut short
  ByteBuffer longer = record;
  longer.appendU8(0);
  EXPECT_FALSE(parseServerKeyRecordStrict(longer.span(), &key));             // trailing byte
  EXPECT_FALSE(parseServerKeyRecordStrict(keyRecord(1, 256).span(), &key));  // code and length disagree
  EXPECT_FALSE(parseServerKeyRecordStrict(keyRecord(3, 256).span(), &key));  // unknown code
  ByteBuffer even = record;
  even[10] &= 0xfe;
  EXPECT_FALSE(parseServerKeyRecordStrict(even.span(), &key));
  ByteBuffer small = record;
  small[265] = 0;  // really a shorter key
  EXPECT_FALSE(parseServerKeyRecordStrict(small.span(), &key));
}

TEST(ServerAddressTextTest, HostsPortsAndIpv6Literals) {
  ServerEndpoint endpoint;
  ASSERT_TRUE(parseServerAddressText("backup.example.org", &endpoint));
  EXPECT_EQ(endpoint.host, "backup.example.org");
  EXPECT_EQ(endpoint.port, kDefaultServerPort);
  ASSERT_TRUE(parseServerAddressText("10.0.0.5:6000", &endpoint));
  EXPECT_EQ(endpoint.host, "10.0.0.5");
  EXPECT_EQ(endpoint.port, 6000);
  ASSERT_TRUE(parseServerAddressText("[2001:db8::1]:65535", &endpoint));
  EXPECT_EQ(endpoint.host, "2001:db8::1");
  EXPECT_EQ(endpoint.port, 65535);
  ASSERT_TRUE(parseServerAddressText("fe80::1%eth0", &endpoint));
  EXPECT_EQ(endpoint.port, kDefaultServerPort);

  for (const char* bad : {"", ":80", "host:", "host:0", "host:65536", "host:80x", "host:+80", "ho st",
                          "host/x", "[::1", "[::1]80", "[::1]/8080", "[]:80", "[host]:80", "a%b"}) {
    EXPECT_FALSE(parseServerAddressText(bad, &endpoint)) << bad;
  }
  EXPECT_FALSE(parseServerAddressText(std::string(256, 'a'), &endpoint));
}

TEST(ServerSettingTest, AStoredServerIsChosenOverTheBuiltInOneUntilForgotten) {
  test::TempDir dir;
  const std::string setting = dir.file("server.bin");
  std::optional<ServerSetting> chosen = chooseServer(setting);
  ASSERT_TRUE(chosen);
  EXPECT_TRUE(chosen->builtIn);
  EXPECT_EQ(chosen->endpoint.port, kDefaultServerPort);
  EXPECT_EQ(chosen->endpoint.host, builtInServerEndpoint().host);
  EXPECT_EQ(chosen->key.keyNumber, kServerKeyNumber);

  // The address of the server used so far goes with any change of server.
  test::writeFile(dir.file("last_ip.bin"), std::string("\x04\0\0\0\xc0\0\x02\x01", 8));
  test::writeFile(dir.file("key.rec"), text(keyRecord()));
  ASSERT_EQ(storeServer("[::1]:6001", dir.file("key.rec"), setting), StoreServerResult::kStored);
  EXPECT_TRUE(nameIsFree(dir.file("last_ip.bin")));
  chosen = chooseServer(setting);
  ASSERT_TRUE(chosen);
  EXPECT_FALSE(chosen->builtIn);
  EXPECT_EQ(chosen->endpoint.host, "::1");
  EXPECT_EQ(chosen->endpoint.port, 6001);
  EXPECT_EQ(chosen->endpoint.address, 0u);
  EXPECT_EQ(chosen->key.keyNumber, 7u);

  test::writeFile(dir.file("last_ip.bin"), std::string("\x04\0\0\0\xc0\0\x02\x01", 8));
  ASSERT_TRUE(forgetServer(setting));
  EXPECT_TRUE(nameIsFree(dir.file("last_ip.bin")));
  EXPECT_TRUE(forgetServer(setting));
  chosen = chooseServer(setting);
  ASSERT_TRUE(chosen);
  EXPECT_TRUE(chosen->builtIn);
}

TEST(ServerSettingTest, NothingIsStoredFromABadAddressOrKeyFile) {
  test::TempDir dir;
  const std::string setting = dir.file("server.bin");
  test::writeFile(dir.file("key.rec"), text(keyRecord()));
  ByteBuffer cut = keyRecord();
  cut.resize(200);
  test::writeFile(dir.file("cut.rec"), text(cut));
  test::writeFile(dir.file("huge.rec"), std::string(5000, 'x'));
  EXPECT_EQ(storeServer("host:0", dir.file("key.rec"), setting), StoreServerResult::kBadAddress);
  EXPECT_EQ(storeServer("host", dir.file("none.rec"), setting), StoreServerResult::kKeyFileUnreadable);
  EXPECT_EQ(storeServer("host", dir.file("huge.rec"), setting), StoreServerResult::kKeyFileUnreadable);
  EXPECT_EQ(storeServer("host", dir.file("cut.rec"), setting), StoreServerResult::kBadKeyRecord);
  EXPECT_EQ(storeServer("host", dir.file("key.rec"), dir.file("missing/server.bin")),
            StoreServerResult::kWriteFailed);
  EXPECT_TRUE(chooseServer(setting)->builtIn);
}

TEST(ServerSettingTest, ADamagedSettingChoosesNoServerAtAll) {
  test::TempDir dir;
  const std::string setting = dir.file("server.bin");
  ServerEndpoint endpoint;
  endpoint.host = "backup.example";
  endpoint.port = 6000;
  ByteBuffer good = serverSettingBytes(endpoint, keyRecord().span());
  ServerSetting parsed;
  ASSERT_TRUE(parseServerSetting(good.span(), &parsed));

  ByteBuffer trailing = good;
  trailing.appendU8(0);
  ByteBuffer badKey = serverSettingBytes(endpoint, keyRecord(1, 256).span());
  endpoint.port = 0;
  ByteBuffer noPort = serverSettingBytes(endpoint, keyRecord().span());
  endpoint.port = 6000;
  endpoint.host = "bad host";
  ByteBuffer badHost = serverSettingBytes(endpoint, keyRecord().span());
  for (const ByteBuffer* damaged : {&trailing, &badKey, &noPort, &badHost}) {
    EXPECT_FALSE(parseServerSetting(damaged->span(), &parsed));
    ByteBuffer copy = *damaged;
    ASSERT_TRUE(copy.saveToFile(setting));
    EXPECT_FALSE(chooseServer(setting));
  }
  test::writeFile(setting, "not a buffer file");
  EXPECT_FALSE(chooseServer(setting));
}

}  // namespace
}  // namespace vl
