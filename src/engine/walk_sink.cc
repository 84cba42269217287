#include "engine/walk_sink.h"

namespace vl {

WalkSink::~WalkSink() = default;

bool WalkSink::folderStarted(std::string_view) { return true; }

bool WalkSink::folderEnded(std::string_view, const FileInfo&) { return true; }

bool WalkSink::reuseUnchanged(const WalkEntry&, uint32_t*) { return false; }

}  // namespace vl
