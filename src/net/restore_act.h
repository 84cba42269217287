// RestoreAct: the exchange that brings one stored copy, or chosen files of
// it, back from the server.
//
// It works in two phases. Over the connection (dispatch) it asks for the
// copy's file list (FileListRequestChunk, type 8: u32 copy selector, u8 0),
// starts the restore writer with it, then asks for every distinct section
// the writer names, one FileDataRequestChunk (type 4: u32 section number)
// per answer, and keeps each record exactly as received in the writer's
// temporary folder. While it waits for the next answer, a thread unwraps
// the section secrets of the records already received (the private-key
// work). When nothing is left to ask for, dispatch ends the exchange and
// the connection calls `finished`, which runs the writing pass: the
// landed workers open the kept records (now needing only the symmetric
// work) and write the files, each checked against its content hash.
//
// Answers: FileListRequestResponseChunk (type 9): u16 result, u8 list
// present, field: the copy's list record (then the copy's figures, which the
// restore does not need); FileDataRequestResponseChunk (type 5): u16
// result, field: the section record. Both MAC'd, encrypted when transport
// encryption is on.
//
// A lost connection is taken up again only while sections are requested:
// a new start chunk, and then the kept section is asked for again. Every
// failure is logged in the copy log in the chosen language and shown in both
// languages through the progress callback; a cancel (the shared cancel byte,
// or "cf.bin") removes every kept record and the temporary folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"
#include "engine/copy_log.h"
#include "engine/restore_driver.h"
#include "engine/restore_writer.h"
#include "engine/section_secrets_ahead.h"
#include "net/chunk_sequence.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"
#include "net/send_action.h"
#include "ui/restore_main_action.h"

namespace vl {

class RandomPool;

// What to restore and where.
struct RestoreRequest {
  // Which stored copy: 0 the latest, s the s-th newest before it.
  uint16_t copySelector = 0;
  // The folder that receives the files; it must exist.
  std::string targetPath;
  // The list to restore when it is at hand already (a part of a copy's list
  // chosen in a dialog): then no list is asked for.
  std::optional<ByteBuffer> listPayload;
  // Names of entries of the copy's list (as selectEntries takes them) to
  // restore instead of the whole copy, chosen once the list has arrived.
  std::vector<std::u16string> paths;
  // Times and attributes as stored (files and inner folders).
  bool restoreMetadata = true;
};

// Everything else the exchange needs, from the operation that starts it.
struct RestoreActSetup {
  RestoreMainAction* callbacks = nullptr;  // must outlive the exchange
  RandomPool* pool = nullptr;              // must outlive the exchange
  // For the start chunks of reconnects.
  ServerKey server;
  uint32_t userNumber = 0;
  ByteBuffer signingKey;
  bool encrypt = true;
  // The account's local key; the encryption key is loaded into
  // encryptionKey() by the creator.
  ByteBuffer localKey;
  LogContext log;
  bool writeLog = true;
  // The shared cancel byte (1 = cancel); may be null. Must outlive the exchange.
  const std::atomic<uint8_t>* cancel = nullptr;
  // Where the temporary folder, "cf.bin" and "progr.bin" are.
  std::string workingDirectory = ".";
  // Threads of the writing pass (0: one per processor).
  unsigned workers = 0;
  // Unwrap section secrets while waiting for the network.
  bool unwrapAhead = true;
};

// An answer read: its plaintext's fields after the result, or the message
// to end with.
struct RestoreAnswer {
  bool ok = false;
  ExchangeMessage message;
  // List answer: whether a list came, and its record (a view into `plaintext`).
  bool listPresent = false;
  // Either answer: the record (list or section) as a view into `plaintext`.
  std::span<const uint8_t> record;
  ByteBuffer plaintext;
};

// Reads a FileListRequestResponseChunk answering the request numbered
// sequence.last(). ok with listPresent false when the server has no such
// copy (`message` then says which text applies for `copySelector`).
RestoreAnswer readListAnswer(ByteBuffer chunk, bool decrypt, const ExchangeKeys& keys,
                             const ChunkSequence& sequence, uint16_t copySelector);
// Reads a FileDataRequestResponseChunk answering sequence.last().
RestoreAnswer readSectionAnswer(ByteBuffer chunk, bool decrypt, const ExchangeKeys& keys,
                                const ChunkSequence& sequence);

class RestoreAct : public SendAction {
 public:
  RestoreAct(RestoreActSetup setup, RestoreRequest request);
  // Removes the temporary folder and what remains in it, telling when that
  // fails.
  ~RestoreAct() override;

  // Filled by the creator before the exchange is attached.
  ExchangeKeys& keys() { return keys_; }
  ByteBuffer& dhExponent() { return dh_exponent_; }
  RsaKey& encryptionKey() { return encryption_key_; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) override;
  bool reconnect(ByteBuffer* opening) override;
  void finished() override;
  void reportError(TransferErrorKind kind, uint32_t platformCode) override;

  // For tests and the terminal: the outcome so far.
  bool succeeded() const { return succeeded_; }
  uint64_t bytesReceived() const { return bytes_received_; }
  uint32_t requestedSection() const { return requested_section_; }
  const RestoreWriter& writer() const { return *writer_; }
  size_t secretsUnwrappedAhead() const { return ahead_ ? ahead_->kept() : 0; }

 private:
  enum class State : uint8_t { kStarting, kListing, kRequesting, kAllRequested, kEnded };

  bool admit(const ByteBuffer& chunk, ByteBuffer* request);
  bool firstRequest(ByteBuffer* request);
  bool listAnswer(ByteBuffer chunk, ByteBuffer* request);
  bool sectionAnswer(ByteBuffer chunk, ByteBuffer* request);
  bool requestNextSection(ByteBuffer* request);
  bool startWriter(std::span<const uint8_t> payload, const ExchangeMessage& otherFailure);
  std::optional<ByteBuffer> chosenPayload(ByteBuffer payload);
  ByteBuffer sectionRequest(uint32_t number);
  // Removes the kept records and the folder; false after telling why.
  bool removeTemporaryFiles();
  bool cancel();
  bool fail(const ExchangeMessage& message, std::string_view detail = {});
  bool cancelRequested() const;

  RestoreActSetup setup_;
  RestoreRequest request_;
  RsaKey encryption_key_;
  ExchangeKeys keys_;
  ByteBuffer dh_exponent_;
  ChunkSequence sequence_;
  std::unique_ptr<RestoreWriter> writer_;
  std::unique_ptr<SectionSecretsAhead> ahead_;
  State state_ = State::kStarting;
  bool reconnect_allowed_ = false;
  bool first_loss_ = true;
  uint32_t attempts_ = 0;
  bool resumed_ = false;
  bool writer_started_ = false;
  uint32_t requested_section_ = 0;
  uint64_t bytes_received_ = 0;
  bool succeeded_ = false;
};

}  // namespace vl
