// vardlok server HOST[:PORT] --key-record FILE: the server every later
// operation talks to instead of the built-in one.
#include "core/working_directory.h"
#include "net/server_setting.h"
#include "vardlok/command_registry.h"
#include "vardlok/options.h"
#include "vardlok/terminal.h"

namespace vardlok {
namespace {

constexpr uint32_t kLanguage = 0;  // no system object: the default setting

int runServer(const Args& args) {
  const auto options = parseOptions(args, {"--key-record"});
  if (!options || options->positional.size() != 1 || !options->value("--key-record")) {
    return usageError("server");
  }
  // Read relative to where the user is, before the working directory is entered.
  const std::string keyRecord = absolutePath(*options->value("--key-record"));
  if (!vl::enterWorkingDirectory()) {
    say(kLanguage, "Fel: Kunde inte öppna arbetskatalogen.",
        "Error: Could not open the working directory.");
    return kFailed;
  }
  switch (vl::storeServer(options->positional[0], keyRecord)) {
    case vl::StoreServerResult::kStored:
      say(kLanguage, "Servern är sparad: " + options->positional[0],
          "The server is stored: " + options->positional[0]);
      return kSucceeded;
    case vl::StoreServerResult::kBadAddress:
      say(kLanguage, "Fel: Serverns adress ska skrivas VÄRD eller VÄRD:PORT.",
          "Error: The server's address must be HOST or HOST:PORT.");
      return kUsage;
    case vl::StoreServerResult::kKeyFileUnreadable:
      say(kLanguage, "Fel: Kunde inte läsa filen med serverns nyckel.",
          "Error: Could not read the server's key file.");
      return kFailed;
    case vl::StoreServerResult::kBadKeyRecord:
      say(kLanguage, "Fel: Filen innehåller ingen servernyckel.",
          "Error: The file holds no server key record.");
      return kFailed;
    case vl::StoreServerResult::kWriteFailed:
      break;
  }
  say(kLanguage, "Fel: Kunde inte spara serverinställningen.",
      "Error: Could not store the server setting.");
  return kFailed;
}

}  // namespace

VARDLOK_COMMAND("server",
                "vardlok server HOST[:PORT] --key-record FILE\n"
                "    use this server (and its 266-byte key record) from now on\n",
                runServer);

}  // namespace vardlok
