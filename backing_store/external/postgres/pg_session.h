// PgSession is one libpq connection of a PostgreSQL location whose every wait
// for the server is bounded, and which can be opened again after it is lost.
//
// Bounds: connecting gives up after the connection string's connect_timeout,
// else after kPostgresConnectTimeout; each statement's reply after the
// connect_timeout the string sets, else after kPostgresReplyTimeout. A
// statement that runs out of time drops the connection (its reply could
// still come and fall out of step): the statement and every later one fail
// with "PostgreSQL server did not answer within N s" until EnsureOpen.
// Nothing opens a new connection by itself: a transaction that lost its
// connection must not go on in another one.
//
// Errors are one line: libpq's multi-line messages are joined with spaces.
//
// Ownership: owns the connection (PQfinish on destruction). Thread safety:
// none; the owner serialises its use.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_SESSION_H_
#define NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_SESSION_H_

#include <libpq-fe.h>

#include <chrono>
#include <initializer_list>
#include <string>

#include "backing_store/external/postgres/pg_handles.h"

namespace nivora_encrypted_index::internal::backing_store {

// Connecting gives up after this long unless the string sets connect_timeout.
inline constexpr std::chrono::seconds kPostgresConnectTimeout{5};
// A statement's reply is waited for this long unless the string sets
// connect_timeout (then that long).
inline constexpr std::chrono::seconds kPostgresReplyTimeout{30};

class PgSession {
 public:
  // Connects. Throws std::runtime_error "<failure_prefix><libpq's reason>"
  // when the server cannot be reached in time.
  PgSession(std::string connection_string, std::string failure_prefix);
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;

  // Keeps an open connection that the server has not hung up, else connects
  // anew (logged at INFO "Reconnected to PostgreSQL"). Throws as the
  // constructor. Call between operations, never inside a transaction.
  void EnsureOpen();

  // The statement's result; null (or a result of another status) on failure,
  // with Error() telling why. Results of several statements in one text:
  // the first error, else the last.
  PGresultPtr Exec(const std::string& sql);
  PGresultPtr ExecParams(const std::string& sql, int count, const char* const* values,
                         const int* lengths, const int* formats, int result_format);
  // Text parameters only (zero-terminated), results in `result_format`.
  PGresultPtr ExecText(const std::string& sql, std::initializer_list<const char*> params,
                       int result_format);
  PGresultPtr Prepare(const char* name, const std::string& sql, int count);

  // The server parameter `name` as the connection reports it ("" when
  // unknown or not connected), e.g. "client_encoding".
  std::string Parameter(const char* name) const;

  // Why the last statement failed, on one line; "connection lost: ..." when
  // the connection broke.
  std::string Error() const;
  // The connection is gone (broken, or dropped after a reply timeout): the
  // last failure was one of reaching the server, not of the statement.
  bool Lost() const;

 private:
  template <typename Send>
  PGresultPtr Run(const Send& send);
  PGresultPtr TimedOut();

  const std::string connection_string_;
  const std::string failure_prefix_;
  const std::chrono::milliseconds reply_timeout_;
  PGconnPtr conn_;          // null after a reply timeout
  std::string timed_out_;   // why conn_ was dropped; "" otherwise
};

// libpq's message on one line: runs of white space (new lines, tabs) become
// one space, and none is left at either end.
std::string OneLine(const char* message);

// The level a failure of the session's last statement is logged at:
// kConnectionFailureLevel when the connection is lost, else ERROR.
int FailureLevel(const PgSession& session);

// Logs prefix + session.Error() at FailureLevel(session) and throws it as
// std::runtime_error.
[[noreturn]] void FailStatement(const PgSession& session, const std::string& prefix);

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_SESSION_H_
