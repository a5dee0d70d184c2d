// How PgSession bounds its waits: statements go out through libpq's
// asynchronous calls on a non-blocking connection, and every wait for the
// socket is a poll with the time left until the statement's deadline.
#include "backing_store/external/postgres/pg_session.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <utility>

#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

using Clock = std::chrono::steady_clock;

struct ConninfoFree {
  void operator()(PQconninfoOption* options) const noexcept { PQconninfoFree(options); }
};

// The connect_timeout the string sets, in seconds; 0 when it sets none.
long ConnectTimeoutOf(const std::string& connection_string) {
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, ConninfoFree> options(
      PQconninfoParse(connection_string.c_str(), &error));
  PQfreemem(error);
  if (options == nullptr) return 0;  // malformed: connecting will say so
  for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option) {
    if (std::string(option->keyword) == "connect_timeout" && option->val != nullptr) {
      return std::max(0L, std::strtol(option->val, nullptr, 10));
    }
  }
  return 0;
}

std::chrono::milliseconds ReplyTimeoutOf(const std::string& connection_string) {
  const long seconds = ConnectTimeoutOf(connection_string);
  if (seconds > 0) return std::chrono::seconds(seconds);
  return kPostgresReplyTimeout;
}

// Server notices (such as a ROLLBACK outside a transaction) go to the log
// rather than straight to standard error.
void LogNotice(void*, const char* message) {
  KeystoreLog().info("Postgres notice: " + OneLine(message));
}

PGconnPtr Connect(const std::string& connection_string, const std::string& failure_prefix) {
  // Later key words win: a connect_timeout in the string replaces ours.
  const std::string seconds = std::to_string(kPostgresConnectTimeout.count());
  const char* const keys[] = {"connect_timeout", "dbname", nullptr};
  const char* const values[] = {seconds.c_str(), connection_string.c_str(), nullptr};
  PGconnPtr conn(PQconnectdbParams(keys, values, /*expand_dbname=*/1));
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(failure_prefix + OneLine(PQerrorMessage(conn.get())));
  }
  PQsetNoticeProcessor(conn.get(), LogNotice, nullptr);
  // Sending never blocks: a server that stops reading is waited for by poll.
  if (PQsetnonblocking(conn.get(), 1) != 0) {
    throw std::runtime_error(failure_prefix + OneLine(PQerrorMessage(conn.get())));
  }
  return conn;
}

// Waits until the socket is ready for `events` or the deadline passes.
bool WaitFor(PGconn* conn, short events, Clock::time_point deadline) {
  pollfd wait{PQsocket(conn), events, 0};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    const int ready = poll(&wait, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (ready < 0 && errno == EINTR) continue;
    return ready != 0;  // an error shows in the read that follows
  }
}

}  // namespace

std::string OneLine(const char* message) {
  std::string line;
  bool space = false;
  for (const char* c = message == nullptr ? "" : message; *c != '\0'; ++c) {
    if (*c == ' ' || *c == '\n' || *c == '\t' || *c == '\r') {
      space = !line.empty();
      continue;
    }
    if (space) line += ' ';
    space = false;
    line += *c;
  }
  return line;
}

PgSession::PgSession(std::string connection_string, std::string failure_prefix)
    : connection_string_(std::move(connection_string)),
      failure_prefix_(std::move(failure_prefix)),
      reply_timeout_(ReplyTimeoutOf(connection_string_)),
      conn_(Connect(connection_string_, failure_prefix_)) {}

void PgSession::EnsureOpen() {
  if (conn_ != nullptr && PQstatus(conn_.get()) == CONNECTION_OK) {
    // Idle, so any input is the server's farewell (an error, then the end of
    // the stream); reading it twice reaches the end and marks the connection.
    for (int i = 0; i < 2 && PQconsumeInput(conn_.get()) == 1; ++i) {
    }
    if (PQstatus(conn_.get()) == CONNECTION_OK) return;
  }
  conn_.reset();
  timed_out_.clear();
  conn_ = Connect(connection_string_, failure_prefix_);
  KeystoreLog().info("Reconnected to PostgreSQL");
}

PGresultPtr PgSession::TimedOut() {
  const long long ms = reply_timeout_.count();
  timed_out_ = "PostgreSQL server did not answer within " +
               (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
  conn_.reset();
  return nullptr;
}

template <typename Send>
PGresultPtr PgSession::Run(const Send& send) {
  if (conn_ == nullptr) return nullptr;
  PGconn* conn = conn_.get();
  if (send(conn) != 1) return nullptr;
  const Clock::time_point deadline = Clock::now() + reply_timeout_;
  for (int left = PQflush(conn); left != 0; left = PQflush(conn)) {
    if (left < 0) return nullptr;
    if (!WaitFor(conn, POLLIN | POLLOUT, deadline)) return TimedOut();
    if (PQconsumeInput(conn) != 1) return nullptr;
  }
  PGresultPtr kept;
  for (;;) {
    while (PQisBusy(conn) == 1) {
      if (!WaitFor(conn, POLLIN, deadline)) return TimedOut();
      if (PQconsumeInput(conn) != 1) break;  // lost: PQgetResult reports it
    }
    PGresultPtr result(PQgetResult(conn));
    if (result == nullptr) break;
    if (kept == nullptr || PQresultStatus(kept.get()) != PGRES_FATAL_ERROR) {
      kept = std::move(result);
    }
    if (PQstatus(conn) == CONNECTION_BAD) break;
  }
  return kept;
}

PGresultPtr PgSession::Exec(const std::string& sql) {
  return Run([&](PGconn* conn) { return PQsendQuery(conn, sql.c_str()); });
}

PGresultPtr PgSession::ExecParams(const std::string& sql, int count, const char* const* values,
                                  const int* lengths, const int* formats, int result_format) {
  return Run([&](PGconn* conn) {
    return PQsendQueryParams(conn, sql.c_str(), count, nullptr, values, lengths, formats,
                             result_format);
  });
}

PGresultPtr PgSession::ExecText(const std::string& sql, std::initializer_list<const char*> params,
                                int result_format) {
  return ExecParams(sql, static_cast<int>(params.size()), params.begin(), nullptr, nullptr,
                    result_format);
}

PGresultPtr PgSession::Prepare(const char* name, const std::string& sql, int count) {
  return Run([&](PGconn* conn) { return PQsendPrepare(conn, name, sql.c_str(), count, nullptr); });
}

std::string PgSession::Parameter(const char* name) const {
  if (conn_ == nullptr) return "";
  const char* value = PQparameterStatus(conn_.get(), name);
  return value == nullptr ? "" : value;
}

bool PgSession::Lost() const {
  return conn_ == nullptr || PQstatus(conn_.get()) == CONNECTION_BAD;
}

int FailureLevel(const PgSession& session) {
  return session.Lost() ? kConnectionFailureLevel : nivora::ERROR;
}

void FailStatement(const PgSession& session, const std::string& prefix) {
  nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), FailureLevel(session),
                                          prefix + session.Error());
}

std::string PgSession::Error() const {
  if (conn_ == nullptr) return timed_out_.empty() ? "connection lost" : timed_out_;
  const std::string reason = OneLine(PQerrorMessage(conn_.get()));
  if (PQstatus(conn_.get()) == CONNECTION_BAD) return "connection lost: " + reason;
  return reason;
}

}  // namespace nivora_encrypted_index::internal::backing_store
