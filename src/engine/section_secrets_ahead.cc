#include "engine/section_secrets_ahead.h"

#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "crypto/sha256.h"
#include "model/section_record.h"

namespace vl {
namespace {

std::array<uint8_t, 32> digestOf(std::span<const uint8_t> wrapped) {
  std::array<uint8_t, 32> digest{};
  Sha256 hash;
  hash.update(wrapped);
  hash.final(digest.data());
  return digest;
}

}  // namespace

size_t SectionSecretsAhead::DigestHash::operator()(const Digest& digest) const {
  size_t value = 0;
  std::memcpy(&value, digest.data(), sizeof value);
  return value;
}

SectionSecretsAhead::SectionSecretsAhead(std::span<const uint8_t> localKey,
                                         const RsaKey& encryptionKey)
    : local_key_(localKey), key_(encryptionKey) {}

SectionSecretsAhead::~SectionSecretsAhead() { stop(); }

void SectionSecretsAhead::add(std::span<const uint8_t> record) {
  std::optional<std::span<const uint8_t>> wrapped = wrappedSecretOf(record);
  if (!wrapped || wrapped->size() != key_.modulusBytes()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  if (!started_) {
    started_ = true;
    try {
      thread_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
      stopping_ = true;  // no thread: the writing pass unwraps everything
      return;
    }
  }
  queue_.emplace_back(*wrapped);
  wake_.notify_one();
}

void SectionSecretsAhead::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

size_t SectionSecretsAhead::kept() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return secrets_.size();
}

void SectionSecretsAhead::work() {
  std::deque<ByteBuffer> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    // Whole batches only: the private operations of a batch run together,
    // several times cheaper each. A part batch left at the end is unwrapped
    // by the writing pass, in its own batches.
    wake_.wait(lock, [&] { return stopping_ || queue_.size() >= kBatch; });
    if (stopping_) return;
    while (!queue_.empty() && batch.size() < kBatch) {
      batch.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    lock.unlock();
    unwrapBatch(batch);
    batch.clear();
    lock.lock();
  }
}

// Runs on the thread, without the lock but for keeping the results.
void SectionSecretsAhead::unwrapBatch(std::deque<ByteBuffer>& batch) {
  std::vector<std::span<const uint8_t>> wrapped;
  for (const ByteBuffer& one : batch) wrapped.push_back(one.span());
  std::vector<ByteBuffer> secrets = key_.decapsulateBatch(wrapped);
  std::vector<Digest> digests;
  for (const ByteBuffer& one : batch) digests.push_back(digestOf(one.span()));
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < batch.size() && i < secrets.size(); ++i) {
    // A ciphertext that does not decapsulate is left to fail in its place.
    if (!secrets[i].empty()) secrets_.insert_or_assign(digests[i], std::move(secrets[i]));
  }
}

std::optional<ByteBuffer> SectionSecretsAhead::secretFor(std::span<const uint8_t> wrapped) const {
  const Digest digest = digestOf(wrapped);
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = secrets_.find(digest);
  if (found == secrets_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::optional<ByteBuffer>> SectionSecretsAhead::unwrap(
    std::span<const std::span<const uint8_t>> records) {
  std::vector<std::optional<ByteBuffer>> secrets(records.size());
  std::vector<std::span<const uint8_t>> rest;
  std::vector<size_t> restAt;
  for (size_t i = 0; i < records.size(); ++i) {
    std::optional<std::span<const uint8_t>> wrapped = wrappedSecretOf(records[i]);
    if (wrapped && wrapped->size() == key_.modulusBytes() && local_key_.size() == 32) {
      secrets[i] = secretFor(*wrapped);
      if (secrets[i]) continue;
    }
    rest.push_back(records[i]);
    restAt.push_back(i);
  }
  if (!rest.empty()) {
    std::vector<std::optional<ByteBuffer>> unwrapped = unwrapSectionSecrets(rest, local_key_, key_);
    for (size_t j = 0; j < restAt.size() && j < unwrapped.size(); ++j) {
      secrets[restAt[j]] = std::move(unwrapped[j]);
    }
  }
  return secrets;
}

SectionUnsealer SectionSecretsAhead::unsealer() {
  SectionUnsealer open;
  open.unwrap = [this](std::span<const std::span<const uint8_t>> records) {
    return unwrap(records);
  };
  open.finish = [this](ByteBuffer& record, ByteBuffer& secret) {
    return openUnwrappedSection(record, local_key_, secret);
  };
  return open;
}

}  // namespace vl
