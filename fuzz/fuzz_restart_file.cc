// The reader of "restart.bin": any bytes either give restart state or are
// refused, and state that was read writes back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/restart_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<vl::RestartState> state = vl::RestartState::parse(std::span<const uint8_t>(data, size));
  if (!state) return 0;
  // Lookups on what was read must be safe too.
  for (uint32_t i = 0; i < state->size(); ++i) {
    const vl::RestartRecord& record = state->record(i);
    if (state->findByPath(record.fullPath) == nullptr) std::abort();
    if (state->findByContent(record.contentHash.bytes()) == nullptr) std::abort();
  }
  // The cleared form is read but never written: a state always ends with
  // its files-passed count.
  if (size == 8) return 0;
  vl::ByteBuffer written = state->serialize();
  if (written.size() != size || !std::equal(data, data + size, written.data())) std::abort();
  return 0;
}
