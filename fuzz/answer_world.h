// What the fuzz targets of the client's answer readers share: a check that
// stops the run, and exchange keys (derived and established from fixed
// secrets) with a sequence whose last request is number 1.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/random_pool.h"
#include "net/chunk_sequence.h"
#include "net/exchange_keys.h"

namespace vl::fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

struct AnswerWorld {
  RandomPool pool;
  ExchangeKeys keys{&pool};
  ChunkSequence sequence;

  AnswerWorld() {
    pool.addBytes(std::vector<uint8_t>(64, 3), true);
    check(keys.derive(std::vector<uint8_t>(32, 7)));
    check(keys.establish(std::vector<uint8_t>(32, 9)));
    sequence.next();
  }
};

}  // namespace vl::fuzz
