#include "platform/folders.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace vl {
namespace {

mode_t folderMode(FolderAccess access) { return access == FolderAccess::kOwnerOnly ? 0700 : 0777; }

}  // namespace

bool createFolder(const std::string& path, FolderAccess access) {
  if (::mkdir(path.c_str(), folderMode(access)) == 0) return true;
  return errno == EEXIST && isFolder(path);
}

NewFolder createNewFolder(const std::string& path, FolderAccess access) {
  if (::mkdir(path.c_str(), folderMode(access)) == 0) return NewFolder::kCreated;
  return errno == EEXIST ? NewFolder::kNameTaken : NewFolder::kFailed;
}

bool removeFolder(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool enterFolder(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::optional<std::string> currentFolder() {
  // Grown until the path fits: it may be longer than PATH_MAX.
  for (size_t size = 4096; size <= (size_t{1} << 20); size *= 4) {
    std::string buffer(size, '\0');
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::char_traits<char>::length(buffer.c_str()));
      // Linux puts "(unreachable)" in front of a folder outside this
      // process's root; that is no path to open.
      if (buffer.empty() || buffer[0] != '/') return std::nullopt;
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
  }
  return std::nullopt;
}

bool identifyFolder(int fd, FolderId* id) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  id->device = static_cast<uint64_t>(st.st_dev);
  id->inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool makeFolderOwnerOnly(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  const mode_t others = S_IRWXG | S_IRWXO;
  if ((st.st_mode & others) == 0) return true;
  return ::chmod(path.c_str(), st.st_mode & ~others & 07777) == 0;
}

FolderListing::FolderListing(FolderListing&& other) noexcept : dir_(other.dir_) {
  other.dir_ = nullptr;
}

FolderListing& FolderListing::operator=(FolderListing&& other) noexcept {
  if (this != &other) {
    close();
    dir_ = other.dir_;
    other.dir_ = nullptr;
  }
  return *this;
}

FolderListing::~FolderListing() { close(); }

bool FolderListing::adopt(int fd) {
  if (fd < 0) return false;
  dir_ = ::fdopendir(fd);
  if (dir_ == nullptr) {
    ::close(fd);
    return false;
  }
  return true;
}

bool FolderListing::open(const std::string& path) {
  close();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return adopt(fd);
}

bool FolderListing::openAt(const FolderListing& parent, const char* name) {
  close();
  if (!parent.isOpen()) return false;
  int fd;
  do {
    // O_NOFOLLOW: a folder swapped for a symlink between listing and opening
    // is refused rather than followed.
    fd = ::openat(parent.fd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return adopt(fd);
}

FolderListing::Next FolderListing::next(FolderEntry* entry) {
  if (dir_ == nullptr) return Next::kError;
  errno = 0;
  const struct dirent* d = ::readdir(dir_);
  if (d == nullptr) return errno == 0 ? Next::kEnd : Next::kError;
  entry->name = d->d_name;
  switch (d->d_type) {
    case DT_REG:
      entry->type = EntryType::kFile;
      break;
    case DT_DIR:
      entry->type = EntryType::kFolder;
      break;
    case DT_LNK:
      entry->type = EntryType::kSymlink;
      break;
    case DT_UNKNOWN:
      entry->type = EntryType::kUnknown;
      break;
    default:
      entry->type = EntryType::kOther;
      break;
  }
  return Next::kEntry;
}

void FolderListing::close() {
  if (dir_ != nullptr) {
    ::closedir(dir_);
    dir_ = nullptr;
  }
}

int FolderListing::fd() const { return dir_ != nullptr ? ::dirfd(dir_) : -1; }

}  // namespace vl
