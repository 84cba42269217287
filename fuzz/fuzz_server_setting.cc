// The stored server setting ("server.bin"), the key record inside it, the
// HOST[:PORT] text of the command that stores it, and the gathering of
// incoming chunks from reads of any size. Whatever parses must survive being
// written back; the assembler must agree with the classifier and never ask
// for more than a chunk still lacks.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "core/byte_buffer.h"
#include "net/chunk_receiver.h"
#include "net/server_setting.h"

namespace {

void checkSetting(std::span<const uint8_t> bytes) {
  vl::ServerSetting setting;
  if (!vl::parseServerSetting(bytes, &setting)) return;
  vl::ByteBuffer record;
  record.appendU16(setting.key.sizeCode);
  record.appendU32(setting.key.keyNumber);
  record.appendCounted(setting.key.modulus);
  vl::ByteBuffer again = vl::serverSettingBytes(setting.endpoint, record.span());
  if (!(again == vl::ByteBuffer(bytes))) std::abort();
}

void checkAddressText(std::span<const uint8_t> bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  vl::ServerEndpoint endpoint;
  if (!vl::parseServerAddressText(text, &endpoint)) return;
  if (endpoint.host.empty() || endpoint.host.size() > vl::kMaxServerHostLength || endpoint.port == 0) std::abort();
  // What a parsed address names, written in the bracketed form, parses the same.
  bool ipv6 = endpoint.host.find(':') != std::string::npos;
  std::string written = (ipv6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
  vl::ServerEndpoint again;
  if (!vl::parseServerAddressText(written, &again) || again.host != endpoint.host || again.port != endpoint.port) {
    std::abort();
  }
}

// The first byte picks the read size; the bytes are fed as reads of at most
// that size, each no larger than what the assembler wants.
void checkAssembler(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  size_t piece = (bytes[0] % 32) + 1;
  bytes = bytes.subspan(1);
  vl::ChunkAssembler assembler;
  size_t offset = 0;
  while (offset < bytes.size() && assembler.status() == vl::ChunkStatus::kNeedMore) {
    size_t wanted = assembler.wanted();
    if (wanted == 0 || wanted > vl::ChunkAssembler::kReadPiece) std::abort();
    size_t length = std::min({wanted, piece, bytes.size() - offset});
    std::span<uint8_t> room = assembler.prepare(wanted);
    std::copy_n(bytes.data() + offset, length, room.data());
    assembler.commit(length);
    offset += length;
  }
  vl::ChunkStatus whole = vl::classifyChunk(bytes.first(offset)).status;
  if (whole != assembler.status()) std::abort();
  if (assembler.status() == vl::ChunkStatus::kComplete) {
    vl::ByteBuffer chunk = assembler.take();
    if (!vl::isCompleteChunk(chunk.span()) || chunk.size() != offset) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  vl::ServerKey key;
  if (vl::parseServerKeyRecordStrict(bytes, &key) && key.modulus.size() + 10 != size) std::abort();
  checkSetting(bytes);
  checkAddressText(bytes);
  checkAssembler(bytes);
  return 0;
}
