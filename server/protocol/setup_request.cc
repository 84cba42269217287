#include "server/protocol/setup_request.h"

#include "core/strict_reader.h"
#include "net/chunk_header.h"

namespace vl {
namespace {

std::span<const uint8_t> body(std::span<const uint8_t> chunk) {
  return chunk.size() < kChunkHeaderSize ? std::span<const uint8_t>()
                                         : chunk.subspan(kChunkHeaderSize);
}

bool readKeyBlock(std::span<const uint8_t> block, SetupRequest* request) {
  StrictReader reader(block);
  return reader.readU16(&request->keyBlockVersion) && reader.readCounted(&request->encapsulated) &&
         reader.atEnd();
}

bool readString(StrictReader& reader, std::string* text) {
  std::span<const uint8_t> bytes;
  if (!reader.readCounted(&bytes) || bytes.size() > kMaxSetupStringBytes) return false;
  text->assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace

bool readSetupVersions(std::span<const uint8_t> chunk, SetupRequest* request) {
  StrictReader reader(body(chunk));
  return reader.readU16(&request->protocol) && reader.readU16(&request->version);
}

bool parseSetupRequest(std::span<const uint8_t> chunk, SetupRequest* request) {
  SetupRequest read;
  StrictReader reader(body(chunk));
  std::span<const uint8_t> keyBlock;
  if (!reader.readU16(&read.protocol) || !reader.readU16(&read.version) ||
      !reader.readCounted(&read.setupRecord) || !reader.readCounted(&read.signingPublicKey) ||
      !reader.readU32(&read.value) || !reader.readCounted(&keyBlock) || !reader.atEnd() ||
      !readKeyBlock(keyBlock, &read)) {
    return false;
  }
  *request = read;
  return true;
}

bool parseSetupRecord(std::span<const uint8_t> record, SetupDetails* details) {
  SetupDetails read;
  StrictReader reader(record);
  if (!readString(reader, &read.name) || !readString(reader, &read.organisation) ||
      !readString(reader, &read.email) || !reader.atEnd()) {
    return false;
  }
  *details = std::move(read);
  return true;
}

}  // namespace vl
