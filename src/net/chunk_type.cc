#include "net/chunk_type.h"

#include <array>

namespace vl {
namespace {

struct TypeEntry {
  ChunkType type;
  uint16_t wire;
  std::string_view label;  // empty: no MAC
};

// In the order of the enum, so that an entry is found by its index.
constexpr std::array<TypeEntry, 16> kTypes = {{
    {ChunkType::kExchangeStart, 0, ""},
    {ChunkType::kStartupResponse, 1, "StartupResponseChunk: "},
    {ChunkType::kFileData, 2, "FileDataChunk: "},
    {ChunkType::kFileDataResponse, 3, "FileDataResponseChunk: "},
    {ChunkType::kFileDataRequest, 4, "FileDataRequestChunk: "},
    {ChunkType::kFileDataRequestResponse, 5, "FileDataRequestResponseChunk: "},
    {ChunkType::kFileList, 6, "FileListChunk: "},
    {ChunkType::kFileListResponse, 7, "FileListResponseChunk: "},
    {ChunkType::kFileListRequest, 8, "FileListRequestChunk: "},
    {ChunkType::kFileListRequestResponse, 9, "FileListRequestResponseChunk: "},
    {ChunkType::kAccountSetupRequest, 10, ""},
    {ChunkType::kAccountSetupResponse, 11, "AccountSetupResponseChunk: "},
    {ChunkType::kArchive, 14, "ArchiveChunk: "},
    {ChunkType::kArchiveResponse, 15, "ArchiveResponseChunk: "},
    {ChunkType::kRecover, 16, "RecoverChunk: "},
    {ChunkType::kRecoverResponse, 17, "RecoverResponseChunk: "},
}};

constexpr bool inEnumOrder() {
  for (size_t i = 0; i < kTypes.size(); ++i) {
    if (static_cast<size_t>(kTypes[i].type) != i) return false;
  }
  return true;
}
static_assert(inEnumOrder(), "kTypes must list the chunk types in the order of the enum");

const TypeEntry& entryOf(ChunkType type) { return kTypes[static_cast<size_t>(type)]; }

}  // namespace

uint16_t wireChunkType(ChunkType type) { return entryOf(type).wire; }

std::optional<ChunkType> chunkTypeFromWire(uint16_t wire) {
  for (const TypeEntry& entry : kTypes) {
    if (entry.wire == wire) return entry.type;
  }
  return std::nullopt;
}

bool isAuthenticated(ChunkType type) { return !entryOf(type).label.empty(); }

std::string_view chunkLabel(ChunkType type) { return entryOf(type).label; }

}  // namespace vl
