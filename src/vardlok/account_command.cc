// vardlok account create|recover: a new account with its recovery file, or
// the account of a recovery file taken over on this computer.
#include <filesystem>

#include "crypto/key_files.h"
#include "vardlok/command_registry.h"
#include "vardlok/options.h"
#include "vardlok/terminal.h"

namespace vardlok {
namespace {

bool exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

int runCreate(const Args& args) {
  const auto options =
      parseOptions(args, {"--name", "--organisation", "--email"}, {"--replace"});
  if (!options || options->positional.size() != 1 || !options->value("--name") ||
      !options->value("--organisation") || !options->value("--email")) {
    return usageError("account");
  }
  const std::string recoveryPath = absolutePath(options->positional[0]);
  std::unique_ptr<vl::BackupSystem> system = openSystem();
  if (!system) return kFailed;
  const uint32_t language = system->language();
  // Both files hold the only copies of keys that existing backups need.
  if (!options->has("--replace") && (exists(vl::kLocalKeyFile) || exists(recoveryPath))) {
    say(language,
        "Fel: Det finns redan ett konto eller en återställningsfil; ange --replace för att "
        "ersätta dem.",
        "Error: There is an account or a recovery file already; give --replace to replace "
        "them.");
    return kFailed;
  }
  if (!ensureRandomCredit(*system)) {
    say(language, "Fel: Det finns inte tillräckligt med slumpdata.",
        "Error: There is not enough random data.");
    return kFailed;
  }
  say(language, "Skapar krypteringsnycklar, detta kan ta flera minuter...",
      "Creating encryption keys, this may take several minutes...");
  TerminalSetup callbacks(language);
  const vl::AccountDetails details{*options->value("--name"), *options->value("--organisation"),
                                   *options->value("--email")};
  if (!system->createAccount(&callbacks, recoveryPath, details)) {
    say(language, "Fel: Kunde inte starta skapandet av kontot.",
        "Error: Could not start creating the account.");
    return kFailed;
  }
  system->runConnection();
  if (!callbacks.succeeded()) return kFailed;
  say(language,
      "Kontot är skapat. Förvara återställningsfilen på en annan plats: " + recoveryPath,
      "The account is created. Keep the recovery file somewhere else: " + recoveryPath);
  return kSucceeded;
}

// Whether "local_key.bin" is there for another account than `userNumber`
// (or is there and does not read): taking over would replace its keys.
bool holdsAnotherAccount(uint32_t userNumber) {
  if (!exists(vl::kLocalKeyFile)) return false;
  vl::LocalKeyRecord installed;
  return !vl::readLocalKey(vl::kLocalKeyFile, &installed) || installed.userNumber != userNumber;
}

int runRecover(const Args& args) {
  const auto options = parseOptions(args, {}, {"--replace"});
  if (!options || options->positional.size() != 1) return usageError("account");
  const std::string recoveryPath = absolutePath(options->positional[0]);
  std::unique_ptr<vl::BackupSystem> system = openSystem();
  if (!system) return kFailed;
  const uint32_t language = system->language();
  vl::RecoveryRecord record;
  if (!readRecoveryFile(language, recoveryPath, &record)) return kFailed;
  if (!options->has("--replace") && holdsAnotherAccount(record.userNumber)) {
    say(language,
        "Fel: Här finns redan ett annat konto; ange --replace för att ersätta det.",
        "Error: There is another account here already; give --replace to replace it.");
    return kFailed;
  }
  if (!ensureRandomCredit(*system)) {
    say(language, "Fel: Det finns inte tillräckligt med slumpdata.",
        "Error: There is not enough random data.");
    return kFailed;
  }
  TerminalRecover callbacks(language);
  bool serverKeyFlag = false;
  if (!system->recoverAccount(&callbacks, recoveryPath, &serverKeyFlag)) {
    say(language, "Fel: Kunde inte starta återställningen av kontot.",
        "Error: Could not start taking the account over.");
    return kFailed;
  }
  system->runConnection();
  if (!callbacks.succeeded()) return kFailed;
  say(language, "Kontot är återställt på den här datorn.",
      "The account is taken over on this computer.");
  return kSucceeded;
}

int runAccount(const Args& args) {
  if (args.empty()) return usageError("account");
  const Args rest(args.begin() + 1, args.end());
  if (args[0] == "create") return runCreate(rest);
  if (args[0] == "recover") return runRecover(rest);
  return usageError("account");
}

}  // namespace

VARDLOK_COMMAND("account",
                "vardlok account create FILE --name NAME --organisation ORG --email ADDRESS "
                "[--replace]\n"
                "    create an account; FILE is the recovery file to keep elsewhere\n"
                "vardlok account recover FILE [--replace]\n"
                "    take the account of the recovery file FILE over on this computer\n"
                "    (--replace: also when another account is installed here)\n",
                runAccount);

}  // namespace vardlok
