// What the PostgreSQL keystore tests share: the one cluster of the test run
// (started by a global test environment before the first test, stopped after
// the last), location configs on it, and a plain libpq connection for
// looking at the tables behind the keystore's back.
#ifndef NIVORA_TESTS_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TEST_SUPPORT_H_
#define NIVORA_TESTS_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TEST_SUPPORT_H_

#include <libpq-fe.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backing_store/external/postgres/pg_handles.h"
#include "core/db_config.h"
#include "postgres_server.h"

namespace nivora_encrypted_index::internal::backing_store::testing {

// The cluster of this test run; started.
nivora::testing::PostgresServer& TestServer();

// A POSTGRES location on the test cluster.
nivora::DBConfig PostgresConfig(const std::string& table, const std::string& database = "postgres");

// A table name no other test uses.
std::string UniqueTableName(const std::string& prefix);

// A direct connection to the test cluster. Query() throws on failure.
class RawConnection {
 public:
  explicit RawConnection(const std::string& database = "postgres");
  // Runs `sql` (text results); throws std::runtime_error when it fails.
  PGresultPtr Query(const std::string& sql);
  // The first column of the first row as text; "" without rows.
  std::string Scalar(const std::string& sql);
  // The bytes of a bytea column of the first row, read in binary form.
  std::vector<uint8_t> Bytes(const std::string& sql);
  PGconn* get() { return conn_.get(); }

 private:
  PGconnPtr conn_;
};

// The message of the exception `action` throws as E; a test failure when it
// throws nothing or something else.
template <typename E>
std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception: " << e.what();
    return "";
  }
  ADD_FAILURE() << "nothing was thrown";
  return "";
}

}  // namespace nivora_encrypted_index::internal::backing_store::testing

#endif  // NIVORA_TESTS_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TEST_SUPPORT_H_
