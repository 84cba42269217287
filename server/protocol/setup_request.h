// The account setup request (type 10) as the server reads it.
//
// After the chunk header, neither signed nor MAC'd:
//   u16 1, u16 7,
//   field: account setup record,
//   field: the signing public key (the modulus, 256 bytes),
//   u32 0 (reserved for a later client),
//   field: key-establishment block: u16 1, field: RSA encapsulation of the
//          secret from which the answer's MAC key comes (no DH value).
// Account setup record: three counted strings, the user's name, the company
// or organisation and the e-mail address, in that order.
//
// Reading is in two steps, so that an outdated client still gets its answer
// (result 2) even when the rest of its request is laid out differently.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vl {

inline constexpr uint32_t kMaxSetupStringBytes = 1024;

struct SetupRequest {
  uint16_t protocol = 0;
  uint16_t version = 0;
  std::span<const uint8_t> setupRecord;
  std::span<const uint8_t> signingPublicKey;
  uint32_t value = 0;
  uint16_t keyBlockVersion = 0;
  std::span<const uint8_t> encapsulated;
};

// The two version numbers of a complete type-10 chunk; false when the chunk
// is too short to hold them.
[[nodiscard]] bool readSetupVersions(std::span<const uint8_t> chunk, SetupRequest* request);

// The whole request: false when a field is cut short, the key-establishment
// block has anything after its ciphertext, or anything follows the block.
// Spans point into `chunk`.
[[nodiscard]] bool parseSetupRequest(std::span<const uint8_t> chunk, SetupRequest* request);

// The account details of a setup record.
struct SetupDetails {
  std::string name;
  std::string organisation;
  std::string email;
};

// Exactly three counted strings of at most kMaxSetupStringBytes each;
// false for anything else.
[[nodiscard]] bool parseSetupRecord(std::span<const uint8_t> record, SetupDetails* details);

}  // namespace vl
