#include "net/server_setting.h"

#include <algorithm>
#include <charconv>

#include "core/strict_reader.h"
#include "net/last_address.h"
#include "net/start_chunk.h"
#include "platform/file.h"

namespace vl {
namespace {

// A key record file is 266 bytes for a 2048-bit key, 522 for a 4096-bit one.
constexpr size_t kMaxKeyRecordFile = 4096;

bool isHostCharacter(char c, bool ipv6) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  if (c == '.' || c == '-' || c == '_') return true;
  return ipv6 && (c == ':' || c == '%');
}

bool validHost(std::string_view host, bool ipv6) {
  if (host.empty() || host.size() > kMaxServerHostLength) return false;
  if (ipv6 && host.find(':') == std::string_view::npos) return false;
  return std::all_of(host.begin(), host.end(), [ipv6](char c) { return isHostCharacter(c, ipv6); });
}

bool parsePort(std::string_view text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// Splits the text into host and port text; whether the host is an IPv6 literal.
bool splitAddress(std::string_view text, std::string_view* host, std::string_view* port, bool* ipv6) {
  *port = {};
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    *host = text.substr(1, close - 1);
    *ipv6 = true;
    std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return true;
    if (rest.front() != ':') return false;
    *port = rest.substr(1);
    return !port->empty();
  }
  size_t colons = static_cast<size_t>(std::count(text.begin(), text.end(), ':'));
  *ipv6 = colons > 1;
  *host = text;
  if (colons != 1) return true;
  size_t colon = text.find(':');
  *host = text.substr(0, colon);
  *port = text.substr(colon + 1);
  return !port->empty();
}

std::optional<ByteBuffer> readSmallFile(const std::string& path, size_t limit) {
  File file;
  if (!file.openRegularForReading(path)) return std::nullopt;
  ByteBuffer bytes(limit + 1);
  size_t held = 0;
  while (held <= limit) {
    std::optional<size_t> got = file.read(bytes.data() + held, limit + 1 - held);
    if (!got) return std::nullopt;
    if (*got == 0) break;
    held += *got;
  }
  if (held > limit) return std::nullopt;
  bytes.resize(held);
  return bytes;
}

// "last_ip.bin" beside the setting. The address in it is the old server's:
// were it kept, a failed look-up of the new server's name would send the
// exchanges to the server the user just left.
std::string lastAddressBeside(const std::string& settingPath) {
  const size_t slash = settingPath.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : settingPath.substr(0, slash + 1);
  return folder + kLastAddressFile;
}

bool forgetLastAddress(const std::string& settingPath) {
  const std::string path = lastAddressBeside(settingPath);
  return deleteFile(path) || nameIsFree(path);
}

}  // namespace

bool parseServerKeyRecordStrict(std::span<const uint8_t> record, ServerKey* key) {
  StrictReader reader(record);
  uint16_t sizeCode = 0;
  uint32_t keyNumber = 0;
  std::span<const uint8_t> modulus;
  if (!reader.readU16(&sizeCode) || !reader.readU32(&keyNumber) || !reader.readCounted(&modulus) ||
      !reader.atEnd()) {
    return false;
  }
  std::optional<uint32_t> expected = serverModulusBytes(sizeCode);
  if (!expected || modulus.size() != *expected) return false;
  // Little-endian: the first byte holds the lowest bit, the last the top ones.
  if ((modulus.front() & 1) == 0 || modulus.back() == 0) return false;
  key->sizeCode = sizeCode;
  key->keyNumber = keyNumber;
  key->modulus = ByteBuffer(modulus);
  return true;
}

bool parseServerAddressText(std::string_view text, ServerEndpoint* endpoint) {
  std::string_view host;
  std::string_view portText;
  bool ipv6 = false;
  uint16_t port = kDefaultServerPort;
  if (!splitAddress(text, &host, &portText, &ipv6) || !validHost(host, ipv6)) return false;
  if (!portText.empty() && !parsePort(portText, &port)) return false;
  endpoint->address = 0;
  endpoint->port = port;
  endpoint->host = std::string(host);
  return true;
}

ByteBuffer serverSettingBytes(const ServerEndpoint& endpoint, std::span<const uint8_t> keyRecord) {
  ByteBuffer bytes;
  bytes.appendU16(endpoint.port);
  bytes.appendCounted(endpoint.host.data(), endpoint.host.size());
  bytes.appendCounted(keyRecord.data(), keyRecord.size());
  return bytes;
}

bool parseServerSetting(std::span<const uint8_t> bytes, ServerSetting* setting) {
  StrictReader reader(bytes);
  uint16_t port = 0;
  std::span<const uint8_t> host;
  std::span<const uint8_t> record;
  if (!reader.readU16(&port) || !reader.readCounted(&host) || !reader.readCounted(&record) || !reader.atEnd()) {
    return false;
  }
  std::string_view hostText(reinterpret_cast<const char*>(host.data()), host.size());
  bool ipv6 = hostText.find(':') != std::string_view::npos;
  ServerKey key;
  if (port == 0 || !validHost(hostText, ipv6) || !parseServerKeyRecordStrict(record, &key)) return false;
  setting->endpoint.address = 0;
  setting->endpoint.port = port;
  setting->endpoint.host = std::string(hostText);
  setting->key = std::move(key);
  setting->builtIn = false;
  return true;
}

StoreServerResult storeServer(std::string_view address, const std::string& keyRecordPath,
                              const std::string& settingPath) {
  ServerEndpoint endpoint;
  if (!parseServerAddressText(address, &endpoint)) return StoreServerResult::kBadAddress;
  std::optional<ByteBuffer> record = readSmallFile(keyRecordPath, kMaxKeyRecordFile);
  if (!record) return StoreServerResult::kKeyFileUnreadable;
  ServerKey key;
  if (!parseServerKeyRecordStrict(record->span(), &key)) return StoreServerResult::kBadKeyRecord;
  ByteBuffer bytes = serverSettingBytes(endpoint, record->span());
  if (!forgetLastAddress(settingPath) || !bytes.saveToFile(settingPath)) {
    return StoreServerResult::kWriteFailed;
  }
  return StoreServerResult::kStored;
}

bool forgetServer(const std::string& settingPath) {
  return forgetLastAddress(settingPath) && (deleteFile(settingPath) || nameIsFree(settingPath));
}

std::optional<ServerSetting> chooseServer(const std::string& settingPath) {
  ServerSetting setting;
  if (nameIsFree(settingPath)) {
    setting.endpoint = builtInServerEndpoint();
    if (!loadServerKey(&setting.key)) return std::nullopt;
    setting.builtIn = true;
    return setting;
  }
  ByteBuffer bytes;
  if (!bytes.loadFromFile(settingPath) || !parseServerSetting(bytes.span(), &setting)) return std::nullopt;
  return setting;
}

}  // namespace vl
