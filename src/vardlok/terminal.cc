#include "vardlok/terminal.h"

#include <cstdio>
#include <filesystem>

#include "core/secure_wipe.h"
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

}  // namespace vardlok
