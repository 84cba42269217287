// Folders: creating and removing them, and listing their entries.
//
// A FolderListing hands out one entry at a time (first with `open`, then
// `next`, then `close`), each with the type the file system reports in the
// listing itself, so that a walk over many files needs no extra call to tell
// folders from files. A listing can be opened relative to another one; such
// an open never follows a symlink, so a walk that descends only through
// `openAt` cannot be led in a circle or out of the tree it started in.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

// Who may use a folder made by this program.
enum class FolderAccess : unsigned char {
  kDefault,    // whatever the user's defaults allow
  kOwnerOnly,  // the owner alone, for folders that hold keys or copy data
};

// What came of making a folder that must be new.
enum class NewFolder : unsigned char { kCreated, kNameTaken, kFailed };

// Creates the folder `path`. True when it is a folder afterwards, whether it
// was made now or was already there (an existing folder keeps its access).
bool createFolder(const std::string& path, FolderAccess access = FolderAccess::kDefault);
// Creates the folder `path` only when nothing has that name yet; kNameTaken
// when something (of any kind) has.
NewFolder createNewFolder(const std::string& path, FolderAccess access);
// Removes the empty folder `path`.
bool removeFolder(const std::string& path);
// True when `path` names a folder (following symlinks).
bool isFolder(const std::string& path);
// Makes `path` the folder against which bare names are resolved.
bool enterFolder(const std::string& path);
// The full path of that folder (the current directory); nothing when the
// system cannot tell, for example because it has been removed.
std::optional<std::string> currentFolder();

// Which folder an open handle refers to, whatever it is called: the same
// identity means the same folder of the same file system.
struct FolderId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FolderId&) const = default;
};
// The identity of the folder open as `fd`; false when it cannot be examined.
bool identifyFolder(int fd, FolderId* id);
// Takes away what group and others may do with the existing folder `path`,
// as FolderAccess::kOwnerOnly would have made it. True when nobody but the
// owner has access afterwards.
bool makeFolderOwnerOnly(const std::string& path);

// What the listing says an entry is. kUnknown when the file system does not
// say; the caller then examines the entry (readFileInfoAt).
enum class EntryType : unsigned char { kUnknown, kFile, kFolder, kSymlink, kOther };

struct FolderEntry {
  // Valid until the next call of `next` or `close`.
  std::string_view name;
  EntryType type = EntryType::kUnknown;
};

class FolderListing {
 public:
  enum class Next { kEntry, kEnd, kError };

  FolderListing() = default;
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;
  FolderListing(FolderListing&& other) noexcept;
  FolderListing& operator=(FolderListing&& other) noexcept;
  ~FolderListing();

  // Starts listing the folder `path` (a symlink to a folder is followed).
  // False when it cannot be listed.
  bool open(const std::string& path);
  // Starts listing the sub-folder `name` of the open listing `parent`. False
  // when it cannot be listed, also when `name` is a symlink.
  bool openAt(const FolderListing& parent, const char* name);
  // The next entry; "." and ".." are handed out like every other name.
  // kEnd when the folder has no more entries, kError when the listing failed.
  Next next(FolderEntry* entry);
  void close();

  bool isOpen() const { return dir_ != nullptr; }
  // The open folder, for the *At operations on its entries.
  int fd() const;

 private:
  bool adopt(int fd);

  DIR* dir_ = nullptr;
};

}  // namespace vl
