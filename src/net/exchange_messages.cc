#include "net/exchange_messages.h"

namespace vl {
namespace {

struct Texts {
  const char* swedish;
  const char* english;
};

ExchangeMessage message(const Texts& texts) { return {texts.swedish, texts.english}; }

// The backup and restore exchanges' texts by TransferErrorKind; the last one
// is for every other kind.
constexpr Texts kTransferTexts[] = {
    {"Fel: Fick ingen kontakt med servern!", "Error: No contact with server!"},
    {"Fel: Förlorade kontakten med servern.", "Error: Lost connection to server."},
    {"Fel: Fel vid läsning, fick ingen kontakt med servern.",
     "Error: Error when reading data, connetion to server lost."},
    {"Fel: Fel vid läsning, fick ingen kontakt med servern (select).",
     "Error: Error when reading data, connetion to server lost (select)."},
    {"Fel: Fel vid läsning, fick ingen kontakt med servern (socket).",
     "Error: Error when reading data, connetion to server lost (socket)."},
    {"Fel: Fel vid skrivning, fick ingen kontakt med servern.",
     "Error: Error when writing data, connetion to server lost."},
    {"Fel: Tappade kontakten med servern!", "Error: Connection to server lost!"},
    {"Fel: Invalid socket, fick ingen kontakt med servern.",
     "Error: Invalid socket, connection to server lost."},
    {"Fel: Generellt fel under överföringen.", "Error: General transfer error."},
};
constexpr uint32_t kTransferKinds = sizeof kTransferTexts / sizeof kTransferTexts[0] - 1;

bool reportsEveryKind(ExchangeKind exchange) {
  return exchange == ExchangeKind::kBackup || exchange == ExchangeKind::kRestore;
}

}  // namespace

ExchangeMessage answerCodeMessage(ExchangeKind kind, uint16_t code) {
  const bool archive = kind == ExchangeKind::kArchive;
  switch (static_cast<StartAnswerCode>(code)) {
    case StartAnswerCode::kUserNotFound:
      return {archive ? "Fel: Hittade inte användaren på servern."
                      : "Fel: Hittade inte denna användaren på servern.",
              "Error: User not found on server."};
    case StartAnswerCode::kOutdatedClient:
      return {archive ? "Fel: Klientprogramvaran är föråldrad."
                      : "Fel: Klientprogramvaran är föråldrad och måste bytas.",
              "Error: Client software is out-dated and must be replaced with later version."};
    case StartAnswerCode::kBlocked:
      return {archive ? "Fel: Servern blockerar användning."
                      : "Fel: Servern blockerar användning av detta konto, blockeringen släpper "
                        "inom 24 timmar.",
              "Error: The server is blocking this account for use, the blocking is released "
              "within 24 houers."};
    case StartAnswerCode::kOtherInstallation:
      return message({"Fel: Kontot används av en annan installation.",
                      "Error: This account is used by another installation."});
    default:
      return message(
          {"Fel: Servern avvisar klientens anslutning.", "Error: Connection refused by server."});
  }
}

ExchangeMessage startupVerificationMessage(ExchangeKind kind) {
  return {"Fel: Internt verifieringsfel.", kind == ExchangeKind::kBackup
                                               ? "Error: Internal verrification error."
                                               : "Error: Internal verification error."};
}

ExchangeMessage keySetupMessage() {
  return message({"Fel: Nyckeletableringsfel.", "Error: Key setup error."});
}

ExchangeMessage transferErrorMessage(ExchangeKind exchange, uint32_t kind, uint32_t platformCode) {
  if (!reportsEveryKind(exchange)) {
    return kind == static_cast<uint32_t>(TransferErrorKind::kNoContact)
               ? message({"Fel: Kunde inte kontakta servern!", "Error: Could not connect to server!"})
               : message({"Fel: Förlorade kontakten med servern!",
                          "Error: Lost connection to server!"});
  }
  ExchangeMessage result = message(kTransferTexts[kind < kTransferKinds ? kind : kTransferKinds]);
  if (platformCode != 0) {
    const std::string number = std::to_string(platformCode);
    result.swedish += " (kod: " + number + ")";
    result.english += " (code: " + number + ")";
  }
  return result;
}

ExchangeMessage answerOpeningMessage(OpenStatus status) {
  switch (status) {
    case OpenStatus::kNotDecrypted:
      return message({"Fel: Internt krypteringsfel.", "Error: Internal encryption error."});
    case OpenStatus::kOutOfSequence:
      return message({"Fel: Internt protokollfel.", "Error: Internal transfer error."});
    default:
      return message({"Fel: Internt verifieringsfel.", "Error: Internal verification error."});
  }
}

ExchangeMessage unknownErrorMessage() {
  return message({"Fel: Ett oväntat fel har inträffat.", "Error: Unknown error."});
}

}  // namespace vl
