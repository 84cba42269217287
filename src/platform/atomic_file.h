// AtomicFileWriter: writes a file so that it replaces the old one all at once.
//
// The bytes go to a temporary file beside the target; `commit` flushes it to
// disk and renames it over the target. Until then (and if the writer is
// dropped without a commit) the old file stays as it was, so a crash or a
// full disk never leaves a truncated file behind.
//
// Everything written this way is the client's own state, and much of it is
// key material (the recovery file, the remote-log file, the key files, the
// random seed), so the temporary file, and with it the file it becomes, is
// readable by its owner alone (0600), whatever the umask and whatever access
// the replaced file had. A temporary left behind by a crash is owner-only as
// well; removeStaleTemporaries clears such leftovers from a folder.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace vl {

class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  // Abandons an uncommitted write and removes the temporary file.
  ~AtomicFileWriter();

  bool open(const std::string& target);
  bool write(const void* bytes, size_t length);
  // Makes the new contents durable and visible under the target name.
  bool commit();

 private:
  void abandon();

  std::FILE* file_ = nullptr;
  std::string target_;
  std::string temporary_;
};

// Removes from `folder` the temporary files of AtomicFileWriter ("<name>.tmp
// <process id>_<number>") whose process no longer runs: what a crash or a
// kill in the middle of a save left behind. Temporaries of a live process
// (another instance saving right now) are left alone. Returns how many were
// removed.
int removeStaleTemporaries(const std::string& folder);

}  // namespace vl
