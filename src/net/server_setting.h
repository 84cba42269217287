// Which server the client talks to: the one built in, or one the user chose.
//
// A user who runs their own server stores its endpoint and its key record
// in the working directory (the `vardlok server` command calls storeServer);
// from then on every operation uses them instead of the built-in ones, until
// forgetServer removes them. Nothing else (no environment variable) chooses.
//
// "server.bin" is a buffer file whose buffer holds: u16 port, field: host
// (a name or an IP literal), field: the server key record (u16 size code,
// u32 key number, field: modulus, little-endian; 266 bytes for a 2048-bit
// key). It is written in one piece, so the endpoint and key always belong
// together. A file that is there but does not read strictly is damaged: the
// client then refuses to talk to any server rather than fall back to the
// built-in one behind the user's back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "crypto/server_key.h"
#include "net/server_endpoint.h"

namespace vl {

inline constexpr char kServerSettingFile[] = "server.bin";
// The longest host a setting may name (a DNS name has at most 253 characters).
inline constexpr size_t kMaxServerHostLength = 255;

struct ServerSetting {
  ServerEndpoint endpoint;
  ServerKey key;
  bool builtIn = true;
};

// A server key record read strictly: a known size code, a modulus of exactly
// that code's length, odd and with its top byte set (so really of that
// size), and nothing after it.
[[nodiscard]] bool parseServerKeyRecordStrict(std::span<const uint8_t> record, ServerKey* key);

// "HOST", "HOST:PORT", "[IPV6]:PORT" or a bare IPv6 literal. The host holds
// only letters, digits and ".-_" (with ":" and "%" in an IPv6 literal); the
// port is 1 to 65535 in decimal, 55502 when not given.
[[nodiscard]] bool parseServerAddressText(std::string_view text, ServerEndpoint* endpoint);

// The buffer of "server.bin", built and read strictly.
ByteBuffer serverSettingBytes(const ServerEndpoint& endpoint, std::span<const uint8_t> keyRecord);
[[nodiscard]] bool parseServerSetting(std::span<const uint8_t> bytes, ServerSetting* setting);

enum class StoreServerResult : uint8_t {
  kStored,
  kBadAddress,         // the HOST[:PORT] text does not parse
  kKeyFileUnreadable,  // the key record file cannot be read (or is far too long)
  kBadKeyRecord,       // the file is not a key record
  kWriteFailed,        // "server.bin" could not be written; the old one stays
};

// Stores the server given as HOST[:PORT] with the key record in the file
// `keyRecordPath` (the record's bytes, nothing else). The stored address of
// the server used so far ("last_ip.bin" beside the setting) goes first.
StoreServerResult storeServer(std::string_view address, const std::string& keyRecordPath,
                              const std::string& settingPath = kServerSettingFile);
// Goes back to the built-in server, removing the stored address too; true
// when neither is left.
bool forgetServer(const std::string& settingPath = kServerSettingFile);

// The server to use: the stored one when "server.bin" exists, else the
// built-in one. Nothing when the stored setting is damaged or the built-in
// key does not read.
std::optional<ServerSetting> chooseServer(const std::string& settingPath = kServerSettingFile);

}  // namespace vl
