#include "engine/folder_scan.h"

#include <vector>

#include "engine/entry_filter.h"
#include "engine/folder_stack.h"
#include "platform/folders.h"

namespace vl {
namespace {

struct Pieces {
  std::string_view lead_sv, trail_sv, lead_en, trail_en;
};

constexpr Pieces kAdding = {
    "Kan inte lägga till denna mapp eftersom den underliggande mappen ",
    " inte gick att öppna för läsning. Gör ett urval som inte inkluderar denna mappen istället.",
    "Cound not add folder because eht underlying folder ",
    " could not be opened for reading. Make a selection of folder that does not include this "
    "sub-folder.",
};
constexpr Pieces kSelectedFolder = {
    "Varning! Följande mapp kan inte läsas: ",
    ". Kopieringen kommer att misslyckas om inte mappen väljs bort från kopiering eller blir "
    "tillgänglig igen.",
    "Warning: Folder read error: ",
    ". The copy will fail unless this folder is removed from selected folders or gets accessible "
    "again.",
};
constexpr Pieces kSubFolder = {
    "Varning! Den underliggande mappen ",
    " kan ej öppnas för läsning. Detta kan vara en skyddad systemmapp. Mappen kommer uteslutas vid "
    "kopiering om den inte blir tillgänglig igen. Om problemet kvarstår, välj om möjligt ett annat "
    "urval av mappar där denna mapp ej ingår.",
    "Warning! The underlying sub-folder: ",
    " can not be opened for reading. This could be an protected system folder. The folder will be "
    "excluded from copy unless is gets accessible again. If this problem remains, if possible, make "
    "a new selection of folders where this sub-folder is not included.",
};
constexpr std::string_view kHiddenAdviceSv =
    " Är det en dold mapp kan det hjälpa att välja bort dolda filer för kopiering.";
constexpr std::string_view kHiddenAdviceEn =
    " It if is a hidden folder, it may help to remove hidden files for copying.";

std::string quoted(std::string_view lead, std::string_view path, std::string_view trail) {
  std::string text;
  text.reserve(lead.size() + path.size() + trail.size() + 2);
  text.append(lead).append("\"").append(path).append("\"").append(trail);
  return text;
}

bool reportUnreadable(std::string_view path, const ScanRequest& request, uint32_t top_level,
                      FolderMainAction& callback) {
  FolderMessages messages = unreadableFolderMessages(path, request);
  return callback.folderUnreadable(messages.swedish, messages.english, path, top_level);
}

}  // namespace

FolderMessages unreadableFolderMessages(std::string_view path, const ScanRequest& request) {
  const Pieces& pieces = request.adding                  ? kAdding
                         : path == request.current_path ? kSelectedFolder
                                                         : kSubFolder;
  FolderMessages messages{quoted(pieces.lead_sv, path, pieces.trail_sv),
                          quoted(pieces.lead_en, path, pieces.trail_en)};
  if (request.adding && request.include_hidden) {
    messages.swedish += kHiddenAdviceSv;
    messages.english += kHiddenAdviceEn;
  }
  return messages;
}

bool measureFolder(const ScanRequest& request, FolderMainAction& callback, ScanTotals* totals) {
  // One path buffer, grown and cut back as the scan enters and leaves
  // folders; files are examined by name relative to their open folder.
  std::string path(request.path);
  FolderStack folders;
  std::vector<size_t> path_lengths;  // of each entered folder's path in `path`
  path_lengths.reserve(32);
  if (!folders.openFirst(path)) return reportUnreadable(path, request, 1, callback);
  path_lengths.push_back(path.size());
  FileInfo info;
  FolderEntry entry;
  while (!folders.empty()) {
    switch (folders.next(&entry)) {
      case FolderListing::Next::kEnd:
        folders.leave();
        path_lengths.pop_back();
        continue;
      case FolderListing::Next::kError:
        return false;
      case FolderListing::Next::kEntry:
        break;
    }
    const bool hidden = isHiddenName(entry.name);
    if (hidden && !request.include_hidden) continue;  // cheap early exit for the common case
    const EntryClass kind = classifyEntry(folders.topFd(), entry, &info);
    if (kind != EntryClass::kFile && kind != EntryClass::kFolder) continue;
    if (!passesEntryFilter(entry.name, kind == EntryClass::kFolder, hidden, request.include_hidden,
                           FilterFor::kMeasuringScan, false)) {
      continue;
    }
    if (kind == EntryClass::kFile) {
      totals->files += 1;
      totals->bytes += info.size;
      totals->sections += sectionsFor(info.size);
      continue;
    }
    const std::string name(entry.name);
    path.resize(path_lengths.back());
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    callback.readingFolder(path);
    if (!folders.enter(name)) {
      if (!reportUnreadable(path, request, 0, callback)) return false;
      continue;
    }
    path_lengths.push_back(path.size());
  }
  return true;
}

}  // namespace vl
