// File lists of 250 000 files: serialising, parsing, indexing and looking
// up, and the memory a backup needs to hold the previous copy's list, its
// indexes and the new list side by side.
//
// Speed references in the same run: "PayloadCopy" copies the payload once
// (the floor for any pass over it); the "UnorderedMap" lines do the same
// lookups with std::unordered_map over the same keys.
// The "PreviousCopyMemory" line reports, as counters, the peak resident
// memory of opening, parsing and indexing the previous copy's sealed list and
// building a new list of the same size (peak_MiB, measured as the growth of
// the process's high-water mark). The sealed record (record_MiB) is not
// included: it was already held before, and can be dropped once opened.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "crypto/random_pool.h"
#include "model/file_list.h"
#include "model/list_payload.h"
#include "model/list_record.h"
#include "model/previous_copy_index.h"
#include "model/reuse_index.h"

namespace {

constexpr uint32_t kFiles = 250000;
constexpr uint32_t kFilesPerFolder = 100;
const uint8_t kLocalKey[32] = {7,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                               16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

vl::ListHash randomHash(std::mt19937_64& random) {
  uint8_t bytes[32];
  for (int i = 0; i < 32; i += 8) {
    uint64_t v = random();
    std::memcpy(bytes + i, &v, 8);
  }
  return *vl::ListHash::from(bytes);
}

std::u16string toU16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// Paths like "\Documents\project_003\part_07\batch_12\report_0001234.txt"
// (about 60 characters), 100 files a folder, most files one section.
vl::FileList makeList() {
  std::mt19937_64 random(42);
  vl::FileList list;
  list.nextSectionNumber = 1;
  list.reserve(kFiles + 2 * (kFiles / kFilesPerFolder) + 2);
  list.addFolderStart(u"\\Documents");
  for (uint32_t folder = 0; folder < kFiles / kFilesPerFolder; ++folder) {
    char name[96];
    std::snprintf(name, sizeof name, "\\Documents\\project_%03u\\part_%02u\\batch_%02u",
                  folder / 100, folder / 10 % 10, folder % 10);
    std::u16string folderName = toU16(name);
    list.addFolderStart(folderName);
    for (uint32_t f = 0; f < kFilesPerFolder; ++f) {
      std::snprintf(name, sizeof name, "\\report_%07u.txt", folder * kFilesPerFolder + f);
      vl::ListHash content = randomHash(random);
      uint32_t sections = f % 50 == 0 ? 10 : f % 12 == 0 ? 3 : 1;
      std::vector<vl::ListSection> parts;
      for (uint32_t s = 0; s < sections; ++s) {
        parts.push_back({list.nextSectionNumber++, sections == 1 ? content : randomHash(random)});
      }
      vl::EntryMetadata metadata{random(), random(), random(), 0x20};
      list.addFile(folderName + toU16(name), metadata, content, parts);
    }
    list.addFolderEnd(folderName, {1, 2, 3, 0x10});
  }
  list.addFolderEnd(u"\\Documents", {1, 2, 3, 0x10});
  return list;
}

const vl::FileList& sampleList() {
  static const vl::FileList list = makeList();
  return list;
}

const vl::ByteBuffer& samplePayload() {
  static const vl::ByteBuffer payload = vl::serializeList(sampleList(), 1);
  return payload;
}

void SerializeList(benchmark::State& state) {
  const vl::FileList& list = sampleList();
  for (auto _ : state) benchmark::DoNotOptimize(vl::serializeList(list, 1));
  state.SetBytesProcessed(int64_t(state.iterations()) * samplePayload().size());
  state.counters["entries"] = list.entryCount();
}
BENCHMARK(SerializeList)->Unit(benchmark::kMillisecond);

void ParseList(benchmark::State& state) {
  const vl::ByteBuffer& payload = samplePayload();
  for (auto _ : state) benchmark::DoNotOptimize(vl::parseList(payload.span()));
  state.SetBytesProcessed(int64_t(state.iterations()) * payload.size());
}
BENCHMARK(ParseList)->Unit(benchmark::kMillisecond);

void PayloadCopy(benchmark::State& state) {
  const vl::ByteBuffer& payload = samplePayload();
  for (auto _ : state) benchmark::DoNotOptimize(vl::ByteBuffer(payload));
  state.SetBytesProcessed(int64_t(state.iterations()) * payload.size());
}
BENCHMARK(PayloadCopy)->Unit(benchmark::kMillisecond);

void BuildPreviousCopyIndex(benchmark::State& state) {
  const vl::FileList& list = sampleList();
  vl::PreviousCopyIndex index;
  for (auto _ : state) benchmark::DoNotOptimize(index.build(list));
  state.counters["files"] = index.fileCount();
}
BENCHMARK(BuildPreviousCopyIndex)->Unit(benchmark::kMillisecond);

// The same tables with std::unordered_map: paths as strings, hashes as
// 32-byte strings.
void BuildUnorderedMapIndex(benchmark::State& state) {
  const vl::FileList& list = sampleList();
  for (auto _ : state) {
    std::unordered_map<std::u16string_view, uint32_t> byName;
    std::unordered_map<std::string, uint32_t> byContent;
    std::unordered_map<std::string, uint32_t> bySection;
    uint32_t i = 0;
    for (const vl::FileListEntry& entry : list.entries()) {
      if (entry.isFolder) continue;
      byName[entry.name] = i;
      byContent.emplace(
          std::string(entry.contentHash.bytes().begin(), entry.contentHash.bytes().end()), i);
      for (const vl::ListSection& s : entry.sections) {
        bySection.emplace(std::string(s.hash.bytes().begin(), s.hash.bytes().end()), s.number);
      }
      ++i;
    }
    benchmark::DoNotOptimize(byName.size() + byContent.size() + bySection.size());
  }
}
BENCHMARK(BuildUnorderedMapIndex)->Unit(benchmark::kMillisecond);

std::vector<const vl::FileListEntry*> someFiles() {
  std::vector<const vl::FileListEntry*> files;
  for (const vl::FileListEntry& entry : sampleList().entries()) {
    if (!entry.isFolder && files.size() < 4096) files.push_back(&entry);
  }
  return files;
}

void FindUnchangedFile(benchmark::State& state) {
  vl::PreviousCopyIndex index;
  index.build(sampleList());
  auto files = someFiles();
  size_t i = 0;
  for (auto _ : state) {
    const vl::FileListEntry* e = files[i++ % files.size()];
    benchmark::DoNotOptimize(
        index.findUnchangedFile(e->name, e->metadata.creationTime, e->metadata.lastWriteTime));
  }
}
BENCHMARK(FindUnchangedFile);

void FindPathUnorderedMap(benchmark::State& state) {
  std::unordered_map<std::u16string_view, const vl::FileListEntry*> byName;
  for (const vl::FileListEntry& entry : sampleList().entries()) {
    if (!entry.isFolder) byName[entry.name] = &entry;
  }
  auto files = someFiles();
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(byName.find(files[i++ % files.size()]->name));
}
BENCHMARK(FindPathUnorderedMap);

void FindSection(benchmark::State& state) {
  vl::PreviousCopyIndex index;
  index.build(sampleList());
  auto files = someFiles();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        index.findSection(files[i++ % files.size()]->sections[0].hash.bytes()));
  }
}
BENCHMARK(FindSection);

void FindSectionUnorderedMap(benchmark::State& state) {
  std::unordered_map<std::string, uint32_t> bySection;
  for (const vl::FileListEntry& entry : sampleList().entries()) {
    for (const vl::ListSection& s : entry.sections) {
      bySection.emplace(std::string(s.hash.bytes().begin(), s.hash.bytes().end()), s.number);
    }
  }
  auto files = someFiles();
  std::vector<std::string> keys;
  for (auto* f : files)
    keys.emplace_back(f->sections[0].hash.bytes().begin(), f->sections[0].hash.bytes().end());
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(bySection.find(keys[i++ % keys.size()]));
}
BENCHMARK(FindSectionUnorderedMap);

long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

// Resets the high-water mark to the current resident size.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void PreviousCopyMemory(benchmark::State& state) {
  vl::ByteBuffer record;
  {
    vl::RandomPool pool;
    uint8_t seed[32] = {1};
    pool.addBytes(seed, true);
    record = vl::sealList(samplePayload().span(), kLocalKey, pool);
  }
  for (auto _ : state) {
    malloc_trim(0);
    resetPeak();
    long base = statusKiB("VmRSS:");
    {
      // What the backup holds: the previous copy parsed and indexed (the
      // payload is dropped once parsed), then the new list built beside it.
      std::optional<vl::FileList> previous;
      {
        std::optional<vl::ByteBuffer> payload = vl::openList(record.span(), kLocalKey);
        previous = vl::parseList(payload->span());
      }
      vl::PreviousCopyIndex index;
      index.build(*previous);
      // The engine knows the number of entries from the folder scan.
      vl::FileList next;
      next.reserve(previous->entryCount());
      for (const vl::FileListEntry& entry : previous->entries()) {
        if (entry.isFolder) {
          next.addEntry(entry);
        } else {
          next.addFileWithContentOf(entry.name, entry.metadata,
                                    *index.findEntryByContent(entry.contentHash.bytes()));
        }
      }
      benchmark::DoNotOptimize(next.entryCount());
      state.counters["peak_MiB"] = (statusKiB("VmHWM:") - base) / 1024.0;
    }
  }
  state.counters["record_MiB"] = record.size() / 1048576.0;
  state.counters["payload_MiB"] = samplePayload().size() / 1048576.0;
  state.counters["files"] = kFiles;
}
BENCHMARK(PreviousCopyMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
