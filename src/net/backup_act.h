// BackupAct: the exchange that carries one backup run to the server.
//
// Once its start is admitted it asks for the latest copy's list (type 8:
// u32 0, u8 0), gives it to the backup engine as the previous copy (and,
// when the run continues an interrupted copy, loads the restart state),
// then sends the new sections one FileDataChunk (type 2: u32 section
// number, field: section record) per receipt. When the engine has handled
// every file, the new list goes out in a FileListChunk (type 6):
//   u32 time, u32 files, u32 size high, u32 size low, u32 section counter,
//   field: list record, field: A (previous sections no longer used),
//   field: B (sections used), field: sealed copy log, field: its tag,
//   u16 copy count parameter, u16 retention days, field: C (orphaned
//   sections of an interrupted attempt).
// The server's receipt of the copy (type 7) completes it: "last.bin",
// "usage.bin", "current.bin", the copy log's completion record and
// "stats.txt" are written, and the restart state is discarded.
//
// Only while sections are uploaded may a lost connection be retried; the
// new connection starts with a new start chunk, and once it is admitted the
// last section goes out again under the new keys, as the new exchange's
// first request. A cancel (the shared cancel byte, or "cf.bin" written by
// another process) ends the run at the next answer. Every failure is logged
// in the copy log and shown through the callbacks, once.
//
// Sections are prepared on a second thread while the server's receipt of
// the one before is awaited (SectionFeed); everything else happens on the
// thread that runs the connection. No sockets: the connection drives it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"
#include "engine/backup_engine.h"
#include "engine/copy_log.h"
#include "net/backup_answers.h"
#include "net/chunk_sequence.h"
#include "net/exchange_keys.h"
#include "net/section_feed.h"
#include "net/send_action.h"
#include "net/start_chunk.h"
#include "ui/backup_main_action.h"

namespace vl {

class RandomPool;

struct BackupActInput {
  // Progress, questions and messages; required, must outlive the exchange.
  BackupMainAction* callbacks = nullptr;
  // Required, must outlive the exchange.
  RandomPool* pool = nullptr;
  // The engine's options; its callbacks, cancel byte and log are set from
  // the fields here. `cancel` is the shared cancel byte; required.
  BackupEngineOptions engine;
  std::atomic<uint8_t>* cancel = nullptr;
  LogContext log;
  // The account's local key and the public half of its encryption key (n).
  ByteBuffer localKey;
  ByteBuffer encryptionPublicKey;
  // What every start chunk of a reconnect is built from.
  uint32_t userNumber = 0;
  ByteBuffer accountString;
  ByteBuffer signingKey;
  ServerKey server;
  bool encrypt = true;
  // Run options.
  bool compress = true;
  bool resume = false;  // continue the interrupted copy in "restart.bin"
  uint16_t copyCount = 20;
  uint16_t retentionDays = 30;
  // Prepare the next section while the server answers (on a second thread).
  bool prepareAhead = true;
};

class BackupAct : public SendAction {
 public:
  explicit BackupAct(BackupActInput input);
  ~BackupAct() override;

  // Filled when the first start chunk is built (openExchange).
  ExchangeKeys& keys() { return keys_; }
  ByteBuffer& dhExponent() { return dh_exponent_; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) override;
  bool reconnect(ByteBuffer* opening) override;
  void reportError(TransferErrorKind kind, uint32_t platformCode) override;
  void addressFallback() override;

 private:
  // The answer the exchange waits for.
  enum class Awaiting { kStartup, kStoredList, kUpload, kCopyStored, kNothing };

  bool admit(const ByteBuffer& chunk, ByteBuffer* request);
  bool storedList(ByteBuffer chunk, ByteBuffer* request, bool* longWait);
  bool uploaded(ByteBuffer chunk, ByteBuffer* request, bool* longWait);
  bool sendNext(ByteBuffer* request, bool* longWait);
  bool finalStep(ByteBuffer* request, bool* longWait);
  bool copyStored(ByteBuffer chunk);

  ByteBuffer dataChunk();
  bool sealCopyLog(ByteBuffer* sealed, ByteBuffer* tag);
  bool startFeed();
  bool stopEngine();
  bool cancel();
  bool fail(const BackupMessage& message);
  void warn(std::string_view swedish, std::string_view english);
  bool end();

  BackupMainAction* callbacks_;
  RandomPool* pool_;
  std::atomic<uint8_t>* cancel_;
  LogContext log_;
  ByteBuffer local_key_;
  RsaKey encryption_key_;
  bool key_loaded_ = false;
  uint32_t user_number_;
  ByteBuffer account_string_;
  ByteBuffer signing_key_;
  ServerKey server_;
  bool encrypt_;
  bool compress_;
  bool restart_run_;
  uint16_t copy_count_;
  uint16_t retention_days_;
  bool automatic_;
  bool prepare_ahead_;

  std::unique_ptr<BackupEngine> engine_;
  std::unique_ptr<SectionFeed> feed_;
  ExchangeKeys keys_;
  ByteBuffer dh_exponent_;
  ChunkSequence sequence_;
  Awaiting awaiting_ = Awaiting::kStartup;
  bool reconnect_allowed_ = false;
  bool first_loss_ = true;
  uint32_t attempts_ = 0;
  bool resumed_ = false;
  bool final_phase_ = false;
  bool ended_ = false;
  // The last section sent, kept to be sent again after a reconnect.
  uint32_t last_id_ = 0;
  ByteBuffer last_record_;
  // The copy as described in its FileListChunk.
  uint32_t copy_time_ = 0;
  uint32_t copy_files_ = 0;
  uint64_t copy_bytes_ = 0;
  // How many copy-log records there were when the run began; the run's own
  // are the ones after them.
  size_t log_records_before_ = 0;
};

}  // namespace vl
