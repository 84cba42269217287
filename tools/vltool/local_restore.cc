// vltool local restore: brings a copy, or part of it, back from a copy store
// on this machine, through the same restore writer and passes as the client.
// The store already holds every record where it can be read at any time, so
// by default the writing pass reads them there in place; with --temp-folder
// the request pass first copies each distinct section into the temporary
// folder (in the current directory), as a restore from a server must. Either
// way the writing pass opens the records on worker threads and writes the
// files.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <malloc.h>
#include <sys/stat.h>

#include "core/byte_buffer.h"
#include "crypto/key_files.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "engine/restore_driver.h"
#include "engine/restore_selection.h"
#include "model/list_payload.h"
#include "model/list_record.h"
#include "model/section_record.h"
#include "model/utf16.h"
#include "platform/folders.h"
#include "server/store/copy_store.h"
#include "vltool/local_commands.h"
#include "vltool/tool_pool.h"

namespace vltool {
namespace {

struct RestoreRequest {
  std::string store;
  std::string keys;
  std::string target;
  uint32_t copy = 0;  // 0: the latest
  bool throughTempFolder = false;
  std::vector<std::string> paths;
};

bool parseCopyNumber(const std::string& text, uint32_t* copy) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value == 0 || value > UINT32_MAX) return false;
  *copy = static_cast<uint32_t>(value);
  return true;
}

// False for an unknown option, an option without its value or a missing
// required one.
bool parseRequest(const Args& args, RestoreRequest* request) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    const bool hasValue = i + 1 < args.size();
    if (word == "--store" && hasValue) {
      request->store = args[++i];
    } else if (word == "--keys" && hasValue) {
      request->keys = args[++i];
    } else if (word == "--to" && hasValue) {
      request->target = args[++i];
    } else if (word == "--copy" && hasValue) {
      if (!parseCopyNumber(args[++i], &request->copy)) return false;
    } else if (word == "--temp-folder") {
      request->throughTempFolder = true;
    } else if (word.rfind("--", 0) == 0) {
      return false;
    } else {
      request->paths.push_back(word);
    }
  }
  return !request->store.empty() && !request->keys.empty() && !request->target.empty();
}

// What opening needs: the local key and the private half of the account's
// encryption key, which only the recovery file holds.
struct OpeningKeys {
  vl::ByteBuffer localKey;
  vl::RsaKey encryptionKey;
};

bool loadKeys(const std::string& folder, vl::RandomPool* pool, OpeningKeys* keys,
              std::string* error) {
  vl::RecoveryRecord recovery;
  const std::string recoveryPath = folder + "/recovery.drf";
  if (!vl::readRecovery(recoveryPath, &recovery)) {
    *error = "cannot read the recovery file '" + recoveryPath + "'";
    return false;
  }
  if (!keys->encryptionKey.load(recovery.encryptionKey.span(), true, vl::RsaKey::kBits,
                                vl::RsaKeyKind::kEncryption, pool)) {
    *error = "the encryption key in '" + recoveryPath + "' is not usable";
    return false;
  }
  keys->localKey = recovery.localKey;
  return true;
}

// The payload to restore: the whole list, or the part that the named paths
// select.
std::optional<vl::ByteBuffer> selectedPayload(vl::ByteBuffer payload,
                                              const std::vector<std::string>& paths,
                                              std::string* error) {
  if (paths.empty()) return payload;
  std::optional<vl::FileList> list = vl::parseList(payload.span());
  if (!list) {
    *error = "the file list of the copy is damaged";
    return std::nullopt;
  }
  std::vector<std::u16string> names;
  for (const std::string& path : paths) {
    std::optional<vl::WipedU16String> name = vl::utf8ToUtf16(path);
    if (!name) {
      *error = "'" + path + "' is not valid UTF-8";
      return std::nullopt;
    }
    names.emplace_back(name->begin(), name->end());
  }
  std::vector<std::u16string> unmatched;
  std::optional<vl::FileList> selected = vl::selectEntries(*list, names, &unmatched);
  if (!selected) {
    std::optional<std::string> first = vl::utf16ToUtf8(unmatched.front());
    *error = "the copy holds no entry named '" + first.value_or("?") + "'";
    return std::nullopt;
  }
  return vl::serializeList(*selected, selected->version);
}

}  // namespace

int runLocalRestore(const Args& args) {
  // Every section passes through a few buffers of up to 2 MiB on each
  // worker. Kept in the heap instead of being mapped and unmapped each time,
  // they cost no page faults after the first sections; the peak stays at
  // the few sections in flight.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  RestoreRequest request;
  if (!parseRequest(args, &request)) return usageError("local");
  if (!vl::isFolder(request.store)) return fail("no copy store at '" + request.store + "'");
  // A restore only reads: it may run beside a backup into the same store.
  vl::StoreOpenError why = vl::StoreOpenError::kNone;
  std::optional<vl::CopyStore> store = vl::CopyStore::openForReading(request.store, &why);
  if (!store) return fail(storeOpenFailure(request.store, why));
  const std::optional<uint32_t> latest =
      request.copy != 0 ? std::optional<uint32_t>(request.copy) : store->latestCopy();
  if (!latest) return fail("cannot list the copies in the store '" + request.store + "'");
  const uint32_t copy = *latest;
  if (copy == 0) return fail("the store holds no copy");
  std::optional<vl::ByteBuffer> record = store->getList(copy);
  if (!record) return fail("the store holds no copy " + std::to_string(copy));

  // The restore draws only the temporary folder's name from the pool.
  std::unique_ptr<vl::RandomPool> pool = osCreditedPool();
  if (pool == nullptr) return fail("the operating system's random generator failed");
  OpeningKeys keys;
  std::string error;
  if (!loadKeys(request.keys, pool.get(), &keys, &error)) return fail(error);

  std::optional<vl::ByteBuffer> payload = vl::openList(record->span(), keys.localKey.span());
  if (!payload) {
    return fail("the file list of copy " + std::to_string(copy) +
                " does not open: it is damaged or sealed with another local key");
  }
  std::optional<vl::ByteBuffer> chosen = selectedPayload(std::move(*payload), request.paths, &error);
  if (!chosen) return fail(error);

  if (!vl::isFolder(request.target) && ::mkdir(request.target.c_str(), 0777) != 0) {
    return fail("cannot create the restore folder '" + request.target + "'");
  }

  vl::RestoreWriter writer(*pool);
  vl::RestoreRunOptions options;
  options.log.language = 1;
  // The copy log belongs to the client; the tool reports on its own output.
  options.writeLog = false;
  vl::SectionUnsealer open;
  open.unwrap = [&](std::span<const std::span<const uint8_t>> sealed) {
    return vl::unwrapSectionSecrets(sealed, keys.localKey.span(), keys.encryptionKey);
  };
  open.finish = [&](vl::ByteBuffer& sealed, vl::ByteBuffer& secret) {
    return vl::openUnwrappedSection(sealed, keys.localKey.span(), secret);
  };
  const auto read = [&](uint32_t number) { return store->getSection(number); };
  vl::RestoreOutcome outcome;
  if (request.throughTempFolder) {
    outcome = vl::runRestore(writer, chosen->span(), request.target, read, open, options);
  } else {
    const vl::SectionShelf shelf{[&](uint32_t number) { return store->hasSection(number); }, read};
    outcome = vl::runRestore(writer, chosen->span(), request.target, shelf, open, options);
  }
  switch (outcome.end) {
    case vl::RestoreEnd::kFinished:
      std::printf("copy %u: %u files, %llu bytes restored into %s\n", copy, writer.filesDone(),
                  static_cast<unsigned long long>(writer.bytesWritten()), request.target.c_str());
      return 0;
    case vl::RestoreEnd::kCancelled:
      return fail("the restore was cancelled (\"cf.bin\")");
    case vl::RestoreEnd::kFailed:
      break;
  }
  std::string text = outcome.message.english;
  if (!outcome.detail.empty()) text += " (" + outcome.detail + ")";
  return fail(text);
}

}  // namespace vltool
