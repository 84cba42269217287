#include "ui/backup_main_action.h"

namespace vl {

BackupMainAction::~BackupMainAction() = default;

void BackupMainAction::showStatus(std::string_view, std::string_view) {}

uint32_t BackupMainAction::askQuestion(std::string_view, std::string_view, uint32_t) {
  return kContinue;
}

bool BackupMainAction::askYesNo(std::string_view, std::string_view, bool default_answer) {
  return default_answer;
}

uint32_t BackupMainAction::reconnectLimit() { return 3; }

void BackupMainAction::showFileCount(std::string_view) {}

void BackupMainAction::advanceProgress(uint32_t, uint32_t, uint32_t, uint64_t) {}

void BackupMainAction::reconnectStarting() {}

void BackupMainAction::copyFailed(std::string_view, std::string_view) {}

void BackupMainAction::quotaExceeded() {}

void BackupMainAction::copyCancelled() {}

void BackupMainAction::copyFinished(const std::vector<std::string>&, bool) {}

}  // namespace vl
