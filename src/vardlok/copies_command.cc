// vardlok copies and vardlok archive: what the server keeps of this account.
// `copies` lists the stored copies through the list exchange (it needs the
// recovery file, as restores do); `archive` lists or deletes the archived
// copies through the archive exchange (the installed account's keys). The
// tables go to standard output, one copy a line, fields separated by tabs.
#include <cstdio>
#include <filesystem>

#include "crypto/key_files.h"
#include "model/list_cache.h"
#include "vardlok/command_registry.h"
#include "vardlok/options.h"
#include "vardlok/terminal.h"

namespace vardlok {
namespace {

void printCopy(uint32_t number, uint32_t time, uint32_t files, uint64_t size) {
  std::printf("%u\t%s\t%u\t%llu\n", number, timeText(time).c_str(), files,
              static_cast<unsigned long long>(size));
}

bool installed() {
  std::error_code error;
  return std::filesystem::exists(vl::kLocalKeyFile, error);
}

void sayNoRandomness(uint32_t language) {
  say(language, "Fel: Det finns inte tillräckligt med slumpdata.",
      "Error: There is not enough random data.");
}

int runCopies(const Args& args) {
  const auto options = parseOptions(args, {"--count"}, {"--keep-lists"});
  uint32_t count = 0;
  if (!options || options->positional.size() != 1 ||
      (options->value("--count") && !parseNumber(*options->value("--count"), &count))) {
    return usageError("copies");
  }
  const std::string recoveryPath = absolutePath(options->positional[0]);
  std::unique_ptr<vl::BackupSystem> system = openSystem();
  if (!system) return kFailed;
  const uint32_t language = system->language();
  system->setRecoveryFile(recoveryPath);
  switch (system->checkRecoveryFileUser()) {
    case vl::RecoveryFileUser::kUnreadable:
      say(language, "Fel: Kunde inte läsa återställningsfil.",
          "Error: Could not read the recovery file.");
      return kFailed;
    case vl::RecoveryFileUser::kOtherUser:
      // Without an installed account (a new computer) there is no one to differ from.
      if (!installed()) break;
      say(language, "Varning! Användaren i återställningsfilen är inte samma som den installerade "
                    "användaren.",
          "Warning! The user of the recovery file is not the installed user.");
      break;
    case vl::RecoveryFileUser::kSameUser:
      break;
  }
  if (!ensureRandomCredit(*system)) {
    sayNoRandomness(language);
    return kFailed;
  }
  const bool keepLists = options->has("--keep-lists");
  // The kept lists then describe exactly the copies listed now.
  if (keepLists && !system->clearListCache()) {
    say(language, "Fel: Kunde inte radera de sparade listorna.",
        "Error: Could not delete the kept lists.");
    return kFailed;
  }
  TerminalList callbacks(language);
  if (!system->requestList(&callbacks, vl::ListRequest{count, keepLists})) {
    say(language, "Kunde inte ladda ned återställningsinformationen.",
        "Could not download the restore information.");
    return kFailed;
  }
  system->runConnection();
  if (!callbacks.succeeded()) return kFailed;
  if (system->storedCopies().empty()) {
    say(language, "Hittade ingen säkerhetskopia på servern.", "No backup copy found on the server.");
  }
  uint32_t number = 0;
  for (const vl::StoredCopy& copy : system->storedCopies()) {
    printCopy(number++, copy.time, copy.files, copy.size);
  }
  return kSucceeded;
}

// The archive exchange in `mode`; its callbacks, or nothing after saying why.
bool runArchive(uint32_t mode, std::vector<uint32_t> numbers, TerminalArchive* callbacks) {
  std::unique_ptr<vl::BackupSystem> system = openSystem();
  if (!system) return false;
  const uint32_t language = system->language();
  vl::LocalKeyRecord local;
  if (!vl::readLocalKey(vl::kLocalKeyFile, &local)) {
    say(language, "Fel: Det finns inget konto på den här datorn.",
        "Error: There is no account on this computer.");
    return false;
  }
  if (!ensureRandomCredit(*system)) {
    sayNoRandomness(language);
    return false;
  }
  if (!system->startArchive(callbacks, mode, std::move(numbers))) {
    if (mode == vl::kArchiveList) {
      say(language, "Fel: Kunde inte hämta information om arkivet från servern.",
          "Error: Could not fetch the archive's information from the server.");
    } else {
      say(language, "Fel: Kunde inte radera information från arkivet.",
          "Error: Could not delete information from the archive.");
    }
    return false;
  }
  system->runConnection();
  return callbacks->succeeded();
}

int runArchiveCommand(const Args& args) {
  if (args.empty()) return usageError("archive");
  const uint32_t language = 0;
  TerminalArchive callbacks(language);
  if (args[0] == "list" && args.size() == 1) {
    if (!runArchive(vl::kArchiveList, {}, &callbacks)) return kFailed;
    if (callbacks.copies().empty()) say(language, "Arkivet är tomt.", "The archive is empty.");
    for (const vl::ArchivedCopy& copy : callbacks.copies()) {
      printCopy(copy.values[0], copy.values[1], copy.values[2], copy.size);
    }
    return kSucceeded;
  }
  if (args[0] == "delete" && args.size() >= 2) {
    std::vector<uint32_t> numbers;
    for (size_t i = 1; i < args.size(); ++i) {
      uint32_t number = 0;
      if (!parseNumber(args[i], &number)) return usageError("archive");
      numbers.push_back(number);
    }
    if (!runArchive(vl::kArchiveDelete, std::move(numbers), &callbacks)) return kFailed;
    say(language, "De valda kopiorna är raderade från arkivet.",
        "The chosen copies are deleted from the archive.");
    return kSucceeded;
  }
  return usageError("archive");
}

}  // namespace

VARDLOK_COMMAND("copies",
                "vardlok copies RECOVERY-FILE [--count N] [--keep-lists]\n"
                "    the stored copies, newest first: number (0 the latest), time, files, bytes\n"
                "    (--count: only the N newest; --keep-lists: keep their lists here)\n",
                runCopies);

VARDLOK_COMMAND("archive",
                "vardlok archive list\n"
                "    the archived copies: copy number, time, files, bytes\n"
                "vardlok archive delete NUMBER...\n"
                "    delete the archived copies with these copy numbers (all or none)\n",
                runArchiveCommand);

}  // namespace vardlok
