// Statement and Transaction: the two SQLite handles the server's stores use,
// each released when it goes out of scope, so no early return can leave a
// statement unfinalised or a transaction open.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string>

#include "core/byte_buffer.h"

namespace vl {

// One prepared statement, finalised when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& bind(int index, int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& bind(int index, std::span<const uint8_t> bytes) {
    // A zero-length blob must still bind as a blob, not as NULL.
    static const uint8_t kEmpty = 0;
    if (stmt_) {
      sqlite3_bind_blob(stmt_, index, bytes.empty() ? &kEmpty : bytes.data(),
                        static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  // Makes the statement ready to run again with new bindings.
  void reset() {
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  bool run() { return step() == SQLITE_DONE; }
  int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string text(int column) const {
    const unsigned char* data = sqlite3_column_text(stmt_, column);
    return data ? std::string(reinterpret_cast<const char*>(data)) : std::string();
  }
  bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  ByteBuffer blob(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data ? ByteBuffer(data, static_cast<size_t>(size)) : ByteBuffer();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// A write transaction, rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    began_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Transaction() {
    if (began_ && !committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool began() const { return began_; }
  [[nodiscard]] bool commit() {
    committed_ = began_ && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    return committed_;
  }

 private:
  sqlite3* db_;
  bool began_ = false;
  bool committed_ = false;
};

}  // namespace vl
