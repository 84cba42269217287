#include "ui/short_exchange_actions.h"

namespace vl {

SetupMainAction::~SetupMainAction() = default;
void SetupMainAction::setupFailed(std::string_view, std::string_view, uint32_t) {}
void SetupMainAction::setupSucceeded() {}

ListRequestMainAction::~ListRequestMainAction() = default;
void ListRequestMainAction::showStatus(std::string_view) {}
void ListRequestMainAction::listFailed(std::string_view, std::string_view) {}
void ListRequestMainAction::closeView() {}
void ListRequestMainAction::listReady() {}

ArchiveMainAction::~ArchiveMainAction() = default;
void ArchiveMainAction::showArchiveMessage(std::string_view, std::string_view) {}
void ArchiveMainAction::archiveDone(uint32_t, const std::vector<ArchivedCopy>&) {}

RecoverMainAction::~RecoverMainAction() = default;
void RecoverMainAction::recoverFailed(std::string_view, std::string_view) {}
void RecoverMainAction::recoverSucceeded() {}

}  // namespace vl
