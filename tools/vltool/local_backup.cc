// vltool local backup: one whole copy of the given folders into a copy store
// on this machine, as the client makes one against the server: the previous
// copy comes from the store, the backup engine decides what to send, each
// section is sealed and stored, and the sealed list commits the copy.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crypto/key_files.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "engine/backup_engine.h"
#include "engine/copy_log.h"
#include "engine/copy_statistics.h"
#include "engine/folder_selection.h"
#include "model/list_record.h"
#include "platform/folders.h"
#include "server/store/copy_store.h"
#include "vltool/command_registry.h"
#include "vltool/local_commands.h"
#include "vltool/section_sealer.h"
#include "vltool/tool_pool.h"

namespace vltool {
namespace {

struct BackupRequest {
  std::string store;
  std::string keys;
  bool compress = true;
  bool contentCompare = false;
  bool includeHidden = false;
  uint32_t restartInterval = 60;
  std::vector<std::string> folders;
};

std::optional<BackupRequest> parseRequest(const Args& args) {
  BackupRequest request;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if ((word == "--store" || word == "--keys") && i + 1 < args.size()) {
      (word == "--store" ? request.store : request.keys) = args[++i];
    } else if (word == "--no-compress") {
      request.compress = false;
    } else if (word == "--content-compare") {
      request.contentCompare = true;
    } else if (word == "--include-hidden") {
      request.includeHidden = true;
    } else if (word == "--restart-interval" && i + 1 < args.size()) {
      char* end = nullptr;
      unsigned long seconds = std::strtoul(args[++i].c_str(), &end, 10);
      if (end == nullptr || *end != '\0' || seconds > 86400) return std::nullopt;
      request.restartInterval = static_cast<uint32_t>(seconds);
    } else if (word.rfind("--", 0) == 0) {
      return std::nullopt;
    } else {
      request.folders.push_back(word);
    }
  }
  if (request.store.empty() || request.keys.empty() || request.folders.empty()) return std::nullopt;
  return request;
}

// The local key and the public half of the encryption key, from
// "local_key.bin" or, failing that, from "recovery.drf" in `folder`.
bool loadAccountKeys(const std::string& folder, vl::RandomPool* pool, vl::ByteBuffer* localKey,
                     vl::RsaKey* encryptionKey) {
  vl::LocalKeyRecord local;
  if (vl::readLocalKey(folder + "/" + vl::kLocalKeyFile, &local)) {
    *localKey = local.localKey;
    return encryptionKey->load(local.encryptionPublicKey.span(), false, vl::RsaKey::kBits,
                               vl::RsaKeyKind::kEncryption, pool);
  }
  vl::RecoveryRecord recovery;
  if (!vl::readRecovery(folder + "/recovery.drf", &recovery)) return false;
  *localKey = recovery.localKey;
  return encryptionKey->load(recovery.encryptionKey.span(), true, vl::RsaKey::kBits,
                             vl::RsaKeyKind::kEncryption, pool);
}

// Restart state is resumed only when every section it names is in the
// store; state left by a copy into another store, or whose sections were
// dropped since, would make a copy that cannot be restored.
bool restartStateFits(const vl::CopyStore& store) {
  vl::RestartState saved;
  if (vl::loadRestartState(&saved) != vl::RestartLoad::kLoaded) return true;
  for (uint32_t i = 0; i < saved.size(); ++i) {
    for (const vl::ListSection& section : saved.record(i).sections) {
      if (!store.hasSection(section.number)) {
        std::fprintf(stderr,
                     "vltool: restart.bin names section %u, which the store does not hold; "
                     "making a fresh copy\n",
                     section.number);
        return false;
      }
    }
  }
  return true;
}

std::atomic<uint8_t> g_cancel{0};

extern "C" void requestCancel(int) { g_cancel.store(1); }

}  // namespace

int runLocalBackup(const Args& args) {
  std::optional<BackupRequest> request = parseRequest(args);
  if (!request) return usageError("local");
  // Sections come and go in buffers of a few MiB, thousands of them: keep
  // that memory in the process rather than mapping, faulting in and
  // unmapping it for every section.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
  // Selected folders are normal full paths, as the client keeps them: "."
  // or "dir/.." would otherwise become the root name in the copy.
  for (std::string& folder : request->folders) {
    std::optional<std::string> normal = vl::normalFolderPath(folder);
    if (!normal) return fail("cannot tell the full path of '" + folder + "'");
    folder = std::move(*normal);
    if (!vl::isFolder(folder)) return fail("'" + folder + "' is not a folder");
  }

  std::unique_ptr<vl::RandomPool> pool = osCreditedPool();
  if (pool == nullptr) return fail("the operating system's random generator failed");
  vl::ByteBuffer localKey;
  vl::RsaKey encryptionKey;
  if (!loadAccountKeys(request->keys, pool.get(), &localKey, &encryptionKey)) {
    return fail("no usable local_key.bin or recovery.drf in '" + request->keys + "'");
  }
  vl::StoreOpenError why = vl::StoreOpenError::kNone;
  std::optional<vl::CopyStore> store = vl::CopyStore::open(request->store, &why);
  if (!store) return fail(storeOpenFailure(request->store, why));
  const std::optional<uint32_t> latest = store->latestCopy();
  if (!latest) return fail("cannot list the copies in the store '" + request->store + "'");

  const bool resume = restartStateFits(*store);
  vl::BackupEngineOptions options;
  options.folders = request->folders;
  options.includeHidden = request->includeHidden;
  options.quickCompare = !request->contentCompare;
  options.automatic = true;
  options.restartSaveSeconds = request->restartInterval;
  options.cancel = &g_cancel;
  vl::BackupEngine engine(options);

  if (*latest != 0) {
    std::optional<vl::ByteBuffer> record = store->getList(*latest);
    std::optional<vl::ByteBuffer> payload;
    if (record) payload = vl::openList(record->span(), localKey.span());
    if (!payload) return fail("cannot open the list of copy " + std::to_string(*latest));
    if (!engine.setPreviousCopy(payload->span())) {
      return fail("the list of copy " + std::to_string(*latest) + " is damaged");
    }
  }
  if (resume && engine.loadRestart() == vl::RestartLoad::kLoaded) {
    std::fprintf(stderr, "vltool: resuming the interrupted copy\n");
  }

  const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  SectionSealer sealer(&*store, localKey.span(), &encryptionKey, request->compress, pool.get(),
                       workers);
  // The restart state may only name sections that are already stored.
  engine.setRestartSaveBarrier([&sealer] { return sealer.drain(); });
  std::signal(SIGINT, requestCancel);
  std::signal(SIGTERM, requestCancel);

  std::string failedPath;
  bool finished = false;
  bool engineFailed = false;
  while (!finished) {
    vl::ByteBuffer section;
    uint32_t id = 0;
    if (!engine.nextSection(&section, &id, &finished, &failedPath)) {
      engineFailed = true;
      break;
    }
    if (!finished && !sealer.submit(id, std::move(section))) break;
  }
  const bool stored = sealer.drain();
  if (!stored) {
    return fail("could not seal or store section " + std::to_string(sealer.failedSection()));
  }
  if (engineFailed) {
    if (g_cancel.load() == 1) {
      engine.saveRestart(false);
      return fail("copy cancelled; the same command resumes it");
    }
    return fail("Error: Data read error. Check that all folders is accessible for copying. "
                "Latest path: " + failedPath);
  }

  std::optional<std::vector<uint32_t>> orphaned =
      vl::parseSectionSet(engine.orphanedRestartSections());
  engine.releaseAfterFinishing();
  vl::ByteBuffer payload = engine.newFileList();
  vl::ByteBuffer listRecord = vl::sealList(payload.span(), localKey.span(), *pool);
  payload.clear();
  if (listRecord.empty() || !orphaned) return fail("could not seal the new list");
  const uint32_t copy = store->commitCopy(listRecord, *orphaned);
  if (copy == 0) return fail("could not store the new list");
  engine.discardRestart();

  const vl::CopyStatistics stats = engine.statistics();
  const vl::PipelineStatistics pipeline = sealer.statistics();
  vl::writeStatistics(pipeline, stats);
  vl::logCopyFinished(vl::LogContext{}, stats.num_files, engine.bytesDone());
  std::fputs(vl::statisticsText(pipeline, stats).c_str(), stdout);
  for (const std::string& path : engine.excludedPaths()) {
    std::fprintf(stderr, "vltool: left out: %s\n", path.c_str());
  }
  std::printf("copy %u: %u files, %llu bytes, %u sections stored, %zu orphaned sections dropped\n",
              copy, stats.num_files, static_cast<unsigned long long>(engine.bytesDone()),
              pipeline.num_compr_sections + pipeline.num_uncompr_sections, orphaned->size());
  return 0;
}

}  // namespace vltool
