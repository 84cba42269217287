#include "ui/restore_main_action.h"

namespace vl {

RestoreMainAction::~RestoreMainAction() = default;

void RestoreMainAction::showStatus(std::string_view, std::string_view) {}

bool RestoreMainAction::askYesNo(std::string_view, std::string_view, bool default_answer) {
  return default_answer;
}

uint32_t RestoreMainAction::reconnectLimit() { return 3; }

void RestoreMainAction::setProgressRange(uint32_t, uint32_t) {}

void RestoreMainAction::showFileCount(std::string_view) {}

void RestoreMainAction::setProgress(uint32_t, uint32_t, uint64_t) {}

void RestoreMainAction::reconnectStarting() {}

void RestoreMainAction::restoreFailed(std::string_view, std::string_view) {}

void RestoreMainAction::restoreCancelled() {}

void RestoreMainAction::restoreFinished() {}

}  // namespace vl
