#include "vardlok/terminal.h"

#include <charconv>
#include <cstdio>
#include <filesystem>

#include "core/instance_lock.h"
#include "core/secure_wipe.h"
#include "core/state_files.h"
#include "core/working_directory.h"
#include "vardlok/command_registry.h"
#include "platform/clock.h"
#include "platform/os_random.h"

namespace vardlok {

void say(uint32_t language, std::string_view swedish, std::string_view english) {
  const std::string_view text = language == 0 ? swedish : english;
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

std::string absolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.string();
}

std::unique_ptr<vl::BackupSystem> openSystem() {
  auto system = std::make_unique<vl::BackupSystem>();
  if (system->failed()) {
    const std::string code = std::to_string(system->failureCode());
    say(system->language(), "Kunde inte initiera BackupSystem! Kod: " + code,
        "Could not initiate BackupSystem! Code: " + code);
    return nullptr;
  }
  vl::setBackupSystem(system.get());
  return system;
}

void closeSystem(std::unique_ptr<vl::BackupSystem> system) {
  vl::setBackupSystem(nullptr);
  system.reset();
}

InstanceHold::~InstanceHold() { release(); }

int InstanceHold::take() {
  const std::optional<std::string> directory = vl::workingDirectoryPath();
  std::error_code error;
  if (directory) std::filesystem::create_directories(*directory, error);
  if (!directory || error) {
    say(0, "Fel: Kunde inte öppna arbetskatalogen.",
        "Error: Could not open the working directory.");
    return kFailed;
  }
  const vl::LockOutcome outcome =
      file_.create(*directory + "/" + std::string(vl::kInstanceLockFile));
  if (outcome) {
    guiOnPath_ = *directory + "/" + std::string(vl::kGuiOnFile);
    vl::writeGuiOn(0, guiOnPath_);
    return kSucceeded;
  }
  if (!outcome.failed()) {
    say(0,
        "Fel: Kunde inte starta programmet eftersom en bakgrundsprocess fortfarande pågår "
        "eller programmet redan har startats.",
        "Error: Could not start because a background copy is still running or the "
        "program has already been started.");
    return kAlreadyRunning;
  }
  const std::string reason = " (" + outcome.reason() + ").";
  say(0,
      "Fel: Kunde inte låsa filen \"" + std::string(vl::kInstanceLockFile) +
          "\" i arbetsmappen" + reason,
      "Error: Could not lock the file \"" + std::string(vl::kInstanceLockFile) +
          "\" in the working directory" + reason);
  return kFailed;
}

void InstanceHold::release() {
  if (!file_.held()) return;
  // Written while still held, so it never overwrites the next holder's record.
  vl::writeGuiOn(0, guiOnPath_);
  file_.close();
}

bool enterWorkingFolder(uint32_t language) {
  if (vl::enterWorkingDirectory()) return true;
  say(language, "Fel: Kunde inte öppna arbetskatalogen.",
      "Error: Could not open the working directory.");
  return false;
}

std::string timeText(uint32_t seconds) { return vl::localDateTime(seconds); }

std::string sizeText(uint32_t language, uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  const std::string exact = std::to_string(bytes) + (language == 0 ? " byte" : " bytes");
  if (bytes < 1024) return exact;
  double scaled = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (scaled >= 1024 && unit + 1 < std::size(kUnits)) {
    scaled /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", scaled, kUnits[unit]);
  return std::string(text) + " (" + exact + ")";
}

bool parseNumber(const std::string& word, uint32_t* value) {
  if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return error == std::errc() && end == word.data() + word.size();
}

bool readRecoveryFile(uint32_t language, const std::string& path, vl::RecoveryRecord* record) {
  if (vl::readRecovery(path, record)) return true;
  say(language, "Fel: Kunde inte läsa återställningsfil.", "Error: Could not read the recovery file.");
  return false;
}

bool ensureRandomCredit(vl::BackupSystem& system) {
  vl::RandomPool* pool = system.randomPool();
  if (pool == nullptr) return false;
  if (pool->ready()) return true;
  uint8_t seed[vl::RandomPool::kSeedSize];
  if (!vl::osRandomBytes(seed, sizeof seed)) return false;
  pool->addBytes(std::span<const uint8_t>(seed, sizeof seed), true);
  vl::secureWipe(seed, sizeof seed);
  return pool->ready();
}

void TerminalSetup::setupFailed(std::string_view swedish, std::string_view english, uint32_t) {
  say(language_, swedish, english);
}

void TerminalRecover::recoverFailed(std::string_view swedish, std::string_view english) {
  say(language_, swedish, english);
}

void TerminalList::listFailed(std::string_view swedish, std::string_view english) {
  say(language_, swedish, english);
}

void TerminalArchive::showArchiveMessage(std::string_view swedish, std::string_view english) {
  say(language_, swedish, english);
}

void TerminalArchive::archiveDone(uint32_t, const std::vector<vl::ArchivedCopy>& copies) {
  copies_ = copies;
  succeeded_ = true;
}

}  // namespace vardlok
