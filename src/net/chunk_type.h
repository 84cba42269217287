// ChunkType: the kinds of message that client and server exchange.
//
// The program speaks of chunk types through this enum; the u16 that travels
// in a chunk's header is made from it, and read back into it, only at the
// edge (wireChunkType, chunkTypeFromWire). Requests have even numbers and
// their answers the next odd one.
//
// Every chunk but the exchange start and the account setup request carries a
// MAC whose input begins with the chunk's label: its type name, a colon and a
// space ("FileListRequestChunk: "). The label is never sent, so a chunk cannot
// be passed off as one of another type.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vl {

enum class ChunkType {
  kExchangeStart,            // opens every exchange but account setup; signed, not MAC'd
  kStartupResponse,          // admits (or refuses) an exchange
  kFileData,                 // backup: one section record
  kFileDataResponse,
  kFileDataRequest,          // restore: asks for one section record
  kFileDataRequestResponse,
  kFileList,                 // backup: the new copy's file list
  kFileListResponse,
  kFileListRequest,          // backup, restore, list: asks for a stored file list
  kFileListRequestResponse,
  kAccountSetupRequest,      // creates an account; neither signed nor MAC'd
  kAccountSetupResponse,
  kArchive,
  kArchiveResponse,
  kRecover,
  kRecoverResponse,
};

uint16_t wireChunkType(ChunkType type);
// Nothing for a number that names no chunk type (12, 13, 18 and up): such a
// chunk is handled like a type the exchange does not handle.
std::optional<ChunkType> chunkTypeFromWire(uint16_t wire);

// True for every type whose body is a payload field and a MAC field.
bool isAuthenticated(ChunkType type);
// "FileDataChunk: " and so on; empty for the two types without a MAC.
std::string_view chunkLabel(ChunkType type);

}  // namespace vl
