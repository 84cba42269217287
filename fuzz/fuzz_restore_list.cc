// A whole restore of an arbitrary list payload into a fresh folder: the
// writer must fail cleanly or finish, and whatever the list names, nothing
// may appear outside the restore folder and no temporary folder may remain.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "engine/restore_writer.h"

namespace {

namespace fs = std::filesystem;

const std::string& base() {
  static const std::string path = [] {
    std::string pattern = fs::temp_directory_path().string() + "/vlfuzz-restore.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    fs::create_directory(pattern + "/wd");
    return pattern;
  }();
  return path;
}

// Only the restore folder and the working folder (holding at most the
// progress file) may be there once the writer is gone.
void checkNothingEscaped() {
  for (const auto& entry : fs::directory_iterator(base())) {
    const std::string name = entry.path().filename().string();
    if (name != "wd" && name != "target") std::abort();
  }
  for (const auto& entry : fs::directory_iterator(base() + "/wd")) {
    if (entry.path().filename().string() != "progr.bin") std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vl::RandomPool pool;
  static const bool seeded = [] {
    uint8_t seed[32] = {1};
    pool.addBytes(seed, true);
    return true;
  }();
  (void)seeded;
  const std::string target = base() + "/target";
  std::error_code ignored;
  // Lists may leave read-only folders behind.
  for (const auto& entry : fs::recursive_directory_iterator(target, ignored)) {
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(target, ignored);
  fs::create_directory(target);
  {
    vl::RestoreWriterOptions options;
    options.workingDirectory = base() + "/wd";
    vl::RestoreWriter writer(pool, options);
    if (writer.startRestore(std::span<const uint8_t>(data, size), target, true) &&
        writer.createTempFolder()) {
      uint32_t number = 0;
      vl::RequestResult asked;
      while ((asked = writer.nextSectionToRequest(&number)) == vl::RequestResult::kSection) {
        vl::ByteBuffer record;
        record.appendU32(number);
        if (!writer.storeSection(number, record.span())) std::abort();
      }
      while (asked == vl::RequestResult::kAllRequested &&
             writer.nextEntry() == vl::EntryResult::kWaitingForData) {
        bool ok = true;
        while (ok && !writer.pendingSections().empty()) {
          const vl::PendingSection use = writer.pendingSections().front();
          std::optional<vl::ByteBuffer> record = writer.loadSection(use.number);
          if (!record) std::abort();
          ok = writer.writeSection(record->span()) && (!use.lastUse || writer.dropSection(use.number));
        }
        if (!ok) break;
      }
    }
  }
  checkNothingEscaped();
  return 0;
}
