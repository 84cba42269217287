// The texts with which the exchanges tell the user why they ended before
// their work began: the server's refusal of a start, a startup answer that
// does not verify, a failed key set-up, and a lost or missing connection.
//
// Each text comes in both languages, Swedish first, as every report of the
// program carries it; the caller logs the one the language flag picks and
// shows both through the progress callback. The exchanges do not all say the
// same thing: which one asks decides the wording (ExchangeKind).
#pragma once

#include <cstdint>
#include <string>

#include "net/chunk_framing.h"

namespace vl {

// The exchanges; each exchange object knows which one it is.
enum class ExchangeKind { kBackup, kRestore, kSetup, kList, kArchive, kRecover };

// A message in both languages, Swedish first.
struct ExchangeMessage {
  std::string swedish;
  std::string english;
  bool operator==(const ExchangeMessage&) const = default;
};

// The server's answer to a start chunk, as the u16 it travels as. Any value
// not named here is a refusal too.
enum class StartAnswerCode : uint16_t {
  kAdmitted = 0,
  kUserNotFound = 1,
  kOutdatedClient = 2,  // the chunk's versions or the server key number are not the server's
  kRefused = 3,         // the start did not decapsulate, verify or offer a usable DH value
  kBlocked = 4,
  kOtherInstallation = 5,
};

// The message for a non-zero answer code. The archive exchange has shorter
// Swedish texts for codes 1, 2 and 4.
ExchangeMessage answerCodeMessage(ExchangeKind kind, uint16_t code);

// A code-0 startup answer whose MAC does not verify, or that cannot be
// read. The backup exchange has always spelt its English text differently.
ExchangeMessage startupVerificationMessage(ExchangeKind kind);

// The Diffie-Hellman step of a code-0 answer failed.
ExchangeMessage keySetupMessage();

// The transport's kinds of failure, as the number the transport reports.
enum class TransferErrorKind : uint32_t {
  kNoContact = 0,
  kLostConnection = 1,
  kReadFailed = 2,
  kReadWaitFailed = 3,
  kReadSocketFailed = 4,
  kWriteFailed = 5,
  kConnectionDropped = 6,
  kInvalidSocket = 7,
};

// The message for a transport failure of `kind` (any number; unknown ones
// get the general text). The backup and restore exchanges name each kind and
// add " (code: N)" / " (kod: N)" for a non-zero platform code; the others
// only tell a failed connect from a lost connection and give no code.
ExchangeMessage transferErrorMessage(ExchangeKind exchange, uint32_t kind, uint32_t platformCode);

// Why an answer to a request was not acted on: its MAC does not verify
// (kNotAuthentic), its payload does not decrypt, or it does not echo the
// number last sent. An answer that is authentic but does not read whole is
// told as the last, a transfer error.
ExchangeMessage answerOpeningMessage(OpenStatus status);
// A non-zero result that the exchange has no text of its own for.
ExchangeMessage unknownErrorMessage();

}  // namespace vl
