// AtomicFileWriter: writes a file so that it replaces the old one all at once.
//
// The bytes go to a temporary file beside the target; `commit` flushes it to
// disk and renames it over the target. Until then (and if the writer is
// dropped without a commit) the old file stays as it was, so a crash or a
// full disk never leaves a truncated file behind.
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

}  // namespace vl
