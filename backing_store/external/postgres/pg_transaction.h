// ScopedTransaction: a transaction on a PostgreSQL session that is rolled back
// on every way out unless it was committed, so the connection is never left
// inside an open or aborted transaction.
//
// Not thread-safe: lives on the stack of the one thread using the connection.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_TRANSACTION_H_
#define NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_TRANSACTION_H_

#include <libpq-fe.h>

#include "backing_store/external/postgres/pg_session.h"

namespace nivora_encrypted_index::internal::backing_store {

class ScopedTransaction {
 public:
  // Borrows `session` for the guard's lifetime; sends nothing yet.
  explicit ScopedTransaction(PgSession& session) : session_(session) {}
  ~ScopedTransaction() { Rollback(); }
  ScopedTransaction(const ScopedTransaction&) = delete;
  ScopedTransaction& operator=(const ScopedTransaction&) = delete;

  // Sends BEGIN; false when it failed (see PgSession::Error).
  bool Begin() {
    open_ = true;  // a half-begun transaction is rolled back too
    return HasStatus(session_.Exec("BEGIN"), PGRES_COMMAND_OK);
  }
  // Sends COMMIT; false when it failed, in which case the guard still rolls
  // back on its way out.
  bool Commit() {
    if (!HasStatus(session_.Exec("COMMIT"), PGRES_COMMAND_OK)) return false;
    open_ = false;
    return true;
  }
  // Sends ROLLBACK when the transaction is open; its result is not needed.
  void Rollback() {
    if (!open_) return;
    open_ = false;
    session_.Exec("ROLLBACK");
  }

 private:
  PgSession& session_;
  bool open_ = false;
};

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_TRANSACTION_H_
