// Inputs of typical shapes for the codec tests: text, binary records, runs,
// noise. Deterministic for a given seed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vl::test {

using Bytes = std::vector<uint8_t>;

inline Bytes randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Words, spaces, punctuation and line breaks with a skewed word choice.
inline Bytes textLike(size_t n, uint32_t seed) {
  static const char* const kWords[] = {
      "the",    "backup", "of",     "and",     "section",    "file",   "a",    "to",
      "in",     "copy",   "server", "list",    "is",         "folder", "key",  "restore",
      "data",   "for",    "with",   "Vardlok", "compressed", "when",   "each", "not",
      "record", "bytes",  "user",   "time",    "kopia",      "fil"};
  std::mt19937 rng(seed);
  std::geometric_distribution<int> pick(0.15);
  Bytes out;
  out.reserve(n + 16);
  while (out.size() < n) {
    const char* word = kWords[pick(rng) % 30];
    out.insert(out.end(), word, word + std::char_traits<char>::length(word));
    uint32_t r = rng() % 16;
    out.push_back(r == 0 ? '.' : r == 1 ? ',' : r == 2 ? '\n' : ' ');
  }
  out.resize(n);
  return out;
}

// Little-endian records with small counters, flags and zero padding, like
// the tables inside executables and databases.
inline Bytes binaryLike(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(n + 64);
  uint32_t counter = 0;
  while (out.size() < n) {
    counter += 1 + rng() % 7;
    auto next = [&rng] { return static_cast<uint32_t>(rng()); };
    uint32_t fields[6] = {counter,
                          next() % 300,
                          0,
                          0x00400000u + (next() % 4096) * 16,
                          next() % 2 == 0 ? 0u : 0xffffffffu,
                          next()};
    for (uint32_t f : fields) {
      for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(f >> (8 * b)));
    }
    if (rng() % 8 == 0) out.insert(out.end(), 8 + rng() % 40, 0);
  }
  out.resize(n);
  return out;
}

// Runs of random lengths (1 to 600) of a few values.
inline Bytes runsOf(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) out.insert(out.end(), 1 + rng() % 600, static_cast<uint8_t>(rng() % 5));
  out.resize(n);
  return out;
}

}  // namespace vl::test

namespace vl::test {

// Fibonacci counts over `values` byte values: the most lopsided tree the
// builder makes, with codes far longer than any lookup table.
inline Bytes fibonacciCounts(int values) {
  Bytes out;
  uint32_t a = 1, b = 1;
  for (int v = 0; v < values; ++v) {
    out.insert(out.end(), a, static_cast<uint8_t>(v * 7));
    uint32_t next = a + b;
    a = b;
    b = next;
  }
  std::mt19937 rng(5);
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

}  // namespace vl::test
