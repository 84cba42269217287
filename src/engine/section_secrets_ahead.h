// SectionSecretsAhead: the private-key step of opening section records,
// done while a restore waits for the network, and kept for its writing pass.
//
// A restore over a connection asks for one section at a time and waits a
// round trip for each. That wait is spent here: every record received hands
// its wrapped secret over, and a thread of this object unwraps what has
// come (several at once, as RsaKey::decapsulateBatch does them cheaper) and
// keeps each secret S under the SHA-256 of its wrapped bytes. It waits for a
// whole batch, so that each secret costs what it costs in the writing pass. The writing
// pass then opens records with unsealer(): a record whose secret is kept
// needs only the symmetric work; the others are unwrapped there as usual.
//
// Keyed by the wrapped bytes rather than the section number, a kept secret
// is exactly what decapsulating that record's own ciphertext gives, so a
// record can never be opened with another record's secret. Secrets are held
// in wiped memory and wiped when the object goes.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <unordered_map>

#include "core/byte_buffer.h"
#include "crypto/rsa_key.h"
#include "engine/restore_driver.h"

namespace vl {

class SectionSecretsAhead {
 public:
  // Secrets are unwrapped this many at a time.
  static constexpr size_t kBatch = 8;

  // `localKey` (32 bytes) and `encryptionKey` (with its private half) are
  // the account's; both must outlive the object.
  SectionSecretsAhead(std::span<const uint8_t> localKey, const RsaKey& encryptionKey);
  SectionSecretsAhead(const SectionSecretsAhead&) = delete;
  SectionSecretsAhead& operator=(const SectionSecretsAhead&) = delete;
  // Stops the thread; wipes the secrets.
  ~SectionSecretsAhead();

  // Queues the wrapped secret of `record` (a copy of those bytes: the record
  // itself may go at once). A record that fails the key-free checks is
  // left to the writing pass, which fails it at its own place.
  void add(std::span<const uint8_t> record);
  // Lets the thread end after the batch it is on; whatever is still queued
  // is left to the writing pass. Called before the writing pass, so that
  // the thread does not compete with the pass's own workers.
  void stop();
  // How many secrets are kept.
  size_t kept() const;

  // Opening for the writing pass, in two steps (valid while this object
  // lives): the kept secrets of a batch are taken, the rest unwrapped
  // together; then each record is opened in its own memory.
  SectionUnsealer unsealer();

 private:
  using Digest = std::array<uint8_t, 32>;
  struct DigestHash {
    size_t operator()(const Digest& digest) const;
  };

  void work();
  void unwrapBatch(std::deque<ByteBuffer>& batch);
  std::optional<ByteBuffer> secretFor(std::span<const uint8_t> wrapped) const;
  std::vector<std::optional<ByteBuffer>> unwrap(std::span<const std::span<const uint8_t>> records);

  std::span<const uint8_t> local_key_;
  const RsaKey& key_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<ByteBuffer> queue_;
  std::unordered_map<Digest, ByteBuffer, DigestHash> secrets_;
  bool stopping_ = false;
  bool started_ = false;
  std::thread thread_;
};

}  // namespace vl
