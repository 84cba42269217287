// vardlok restore: a stored copy, or chosen files and folders of it, back
// into "RECOVERED_DATA" under a folder of the user's choice, with the keys
// of a recovery file (only it holds the private key that opens the copy).
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/key_files.h"
#include "model/utf16.h"
#include "vardlok/command_registry.h"
#include "vardlok/options.h"
#include "vardlok/terminal.h"

namespace vardlok {
namespace {

// The restore's reports: failures and the cancel said on standard error.
class TerminalRestore : public vl::RestoreMainAction {
 public:
  explicit TerminalRestore(uint32_t language) : language_(language) {}
  void restoreFailed(std::string_view swedish, std::string_view english) override {
    say(language_, swedish, english);
  }
  void restoreCancelled() override {
    say(language_, "Återställningen avbröts.", "The restore was cancelled.");
  }
  void restoreFinished() override { succeeded_ = true; }
  void setProgress(uint32_t, uint32_t filesDone, uint64_t bytesDone) override {
    files_ = filesDone;
    bytes_ = bytesDone;
  }
  bool succeeded() const { return succeeded_; }
  uint32_t files() const { return files_; }
  uint64_t bytes() const { return bytes_; }

 private:
  uint32_t language_;
  bool succeeded_ = false;
  uint32_t files_ = 0;
  uint64_t bytes_ = 0;
};

// A copy selector: 0 the latest, N the N-th newest before it.
bool parseSelector(const std::string& text, uint16_t* selector) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long value = std::stoul(text);
  if (value > UINT16_MAX) return false;
  *selector = static_cast<uint16_t>(value);
  return true;
}

int runRestore(const Args& args) {
  const auto options = parseOptions(args, {"--to", "--copy"}, {"--plain-transport"});
  if (!options || options->positional.empty() || !options->value("--to")) {
    return usageError("restore");
  }
  vl::RestoreRequest request;
  if (const auto copy = options->value("--copy"); copy && !parseSelector(*copy, &request.copySelector)) {
    return usageError("restore");
  }
  for (size_t i = 1; i < options->positional.size(); ++i) {
    std::optional<vl::WipedU16String> name = vl::utf8ToUtf16(options->positional[i]);
    if (!name) return usageError("restore");
    request.paths.emplace_back(name->begin(), name->end());
  }
  const std::string recoveryPath = absolutePath(options->positional[0]);
  request.targetPath = absolutePath(*options->value("--to"));

  std::unique_ptr<vl::BackupSystem> system = openSystem();
  if (!system) return kFailed;
  const uint32_t language = system->language();
  vl::RecoveryRecord record;
  if (!readRecoveryFile(language, recoveryPath, &record)) return kFailed;
  std::error_code error;
  std::filesystem::create_directories(request.targetPath, error);
  if (!ensureRandomCredit(*system)) {
    say(language, "Fel: Det finns inte tillräckligt med slumpdata.",
        "Error: There is not enough random data.");
    return kFailed;
  }
  system->setRecoveryFile(recoveryPath);
  TerminalRestore callbacks(language);
  const std::string into = request.targetPath + "/" + vl::BackupSystem::kRestoreFolderName;
  if (!system->startRestore(&callbacks, std::move(request), !options->has("--plain-transport"))) {
    say(language, "Fel: Kunde inte starta återställningen till " + into + ".",
        "Error: Could not start the restore into " + into + ".");
    return kFailed;
  }
  system->runConnection();
  if (!callbacks.succeeded()) return kFailed;
  const std::string figures = std::to_string(callbacks.files()) + " / " +
                              std::to_string(callbacks.bytes());
  say(language, "Återställning slutförd utan fel (filer / byte: " + figures + "): " + into,
      "Restore finished without errors (files / bytes: " + figures + "): " + into);
  return kSucceeded;
}

}  // namespace

VARDLOK_COMMAND("restore",
                "vardlok restore RECOVERY-FILE --to DIR [--copy N] [--plain-transport] [PATH...]\n"
                "    restore the latest copy (--copy N: copy N as vardlok copies numbers them),\n"
                "    or only the files and folders PATH of it, into DIR/RECOVERED_DATA\n",
                runRestore);

}  // namespace vardlok
