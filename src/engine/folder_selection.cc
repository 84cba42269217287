#include "engine/folder_selection.h"

#include <algorithm>
#include <atomic>

#include "core/folders_file.h"
#include "engine/folder_scan.h"
#include "platform/folders.h"

namespace vl {
namespace {

std::atomic<bool> folder_scan_running{false};

std::unique_ptr<FolderMainAction> orDefault(std::unique_ptr<FolderMainAction> callback) {
  return callback ? std::move(callback) : std::make_unique<FolderMainAction>();
}

void append(FolderSelection& selection, const std::string& path, const ScanTotals& totals) {
  SelectedFolder folder;
  folder.path = path;
  folder.files = totals.files;
  folder.sections = totals.sections;
  folder.bytes = totals.bytes;
  folder.id = selection.next_id++;
  selection.folders.push_back(std::move(folder));
}

}  // namespace

std::optional<std::string> normalFolderPath(std::string_view path) {
  if (path.empty()) return std::nullopt;
  std::string whole;
  if (path.front() != '/') {
    std::optional<std::string> here = currentFolder();
    if (!here) return std::nullopt;
    whole = std::move(*here);
    whole += '/';
  }
  whole.append(path);

  std::string normal;
  size_t start = 0;
  while (start < whole.size()) {
    size_t end = whole.find('/', start);
    if (end == std::string::npos) end = whole.size();
    const std::string_view component = std::string_view(whole).substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      // Above the root is the root.
      normal.resize(normal.empty() ? 0 : normal.rfind('/'));
      continue;
    }
    normal += '/';
    normal += component;
  }
  return normal.empty() ? std::string("/") : normal;
}

const std::string_view kPathNotStorableSv =
    "Kan inte lägga till mappen eftersom dess sökväg innehåller tecken som inte kan sparas i "
    "listan över valda mappar.";
const std::string_view kPathNotStorableEn =
    "Could not add the folder because its path contains characters that cannot be stored in the "
    "list of selected folders.";
const std::string_view kFolderScanBusySv =
    "Kunde inte uppdatera mappar, automatisk uppdatering av mapparna pågår redan som en "
    "bakgrundsprocess. Vänta några sekunder och försök igen.";
const std::string_view kFolderScanFailedSv = "Fel vid genomsökning av mappar!";

bool rescanSelection(FolderSelection& selection, std::unique_ptr<FolderMainAction> callback,
                     bool include_hidden, const std::string& file) {
  callback = orDefault(std::move(callback));
  selection.folders.clear();
  std::optional<std::vector<std::string>> paths = readFolderSelection(file);
  if (!paths) return false;
  for (const std::string& stored : *paths) {
    // A path that has no full form is kept as stored; its scan fails.
    const std::string path = normalFolderPath(stored).value_or(stored);
    selection.current_path = path;
    ScanRequest request;
    request.path = path;
    request.include_hidden = include_hidden;
    request.current_path = selection.current_path;
    ScanTotals totals;
    if (!measureFolder(request, *callback, &totals)) totals = ScanTotals{};
    append(selection, path, totals);
  }
  callback->scanFinished();
  return true;
}

AddFolderResult addFolder(FolderSelection& selection, std::unique_ptr<FolderMainAction> callback,
                          const std::string& chosen, bool include_hidden, uint32_t* id) {
  callback = orDefault(std::move(callback));
  const std::optional<std::string> normal = normalFolderPath(chosen);
  if (!normal) return AddFolderResult::kScanFailed;
  const std::string& path = *normal;
  if (!canStoreFolderPath(path)) return AddFolderResult::kPathNotStorable;
  selection.current_path = path;
  ScanRequest request;
  request.path = path;
  request.adding = true;
  request.include_hidden = include_hidden;
  request.current_path = selection.current_path;
  ScanTotals totals;
  if (!measureFolder(request, *callback, &totals)) return AddFolderResult::kScanFailed;
  append(selection, path, totals);
  *id = selection.folders.back().id;
  callback->scanFinished();
  return AddFolderResult::kAdded;
}

bool removeFolder(FolderSelection& selection, uint32_t id, const std::string& file) {
  auto found = std::find_if(selection.folders.begin(), selection.folders.end(),
                            [id](const SelectedFolder& folder) { return folder.id == id; });
  if (found == selection.folders.end()) return false;
  selection.folders.erase(found);
  saveSelection(selection, file);
  return true;
}

bool saveSelection(const FolderSelection& selection, const std::string& file) {
  std::vector<std::string> paths;
  paths.reserve(selection.folders.size());
  for (const SelectedFolder& folder : selection.folders) paths.push_back(folder.path);
  return writeFolderSelection(paths, file);
}

uint32_t totalFiles(const FolderSelection& selection) {
  uint32_t sum = 0;
  for (const SelectedFolder& folder : selection.folders) sum += folder.files;
  return sum;
}

uint32_t totalSections(const FolderSelection& selection) {
  uint32_t sum = 0;
  for (const SelectedFolder& folder : selection.folders) sum += folder.sections;
  return sum;
}

uint64_t totalBytes(const FolderSelection& selection) {
  uint64_t sum = 0;
  for (const SelectedFolder& folder : selection.folders) sum += folder.bytes;
  return sum;
}

std::string pathAt(const FolderSelection& selection, size_t index) {
  return index < selection.folders.size() ? selection.folders[index].path : std::string();
}

bool tryStartFolderScan() { return !folder_scan_running.exchange(true); }

void finishFolderScan() { folder_scan_running.store(false); }

}  // namespace vl
