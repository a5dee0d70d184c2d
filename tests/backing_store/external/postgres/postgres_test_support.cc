#include "postgres_test_support.h"

#include <atomic>
#include <stdexcept>

#include <gtest/gtest.h>

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

nivora::testing::PostgresServer* server = nullptr;

class PostgresEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    server_.Start();
    server = &server_;
  }
  void TearDown() override {
    server = nullptr;
    server_.Stop();
  }

 private:
  nivora::testing::PostgresServer server_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

}  // namespace

nivora::testing::PostgresServer& TestServer() {
  if (server == nullptr) throw std::runtime_error("the test cluster is not running");
  return *server;
}

nivora::DBConfig PostgresConfig(const std::string& table, const std::string& database) {
  return nivora::DBConfig(nivora::Location::POSTGRES, table,
                          TestServer().ConnectionString(database));
}

std::string UniqueTableName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "_" + std::to_string(counter.fetch_add(1));
}

RawConnection::RawConnection(const std::string& database)
    : conn_(PQconnectdb(TestServer().ConnectionString(database).c_str())) {
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("connect failed: ") + PQerrorMessage(conn_.get()));
  }
  PQsetNoticeProcessor(conn_.get(), [](void*, const char*) {}, nullptr);
}

PGresultPtr RawConnection::Query(const std::string& sql) {
  PGresultPtr result(PQexec(conn_.get(), sql.c_str()));
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(sql + ": " + PQerrorMessage(conn_.get()));
  }
  return result;
}

std::string RawConnection::Scalar(const std::string& sql) {
  PGresultPtr result = Query(sql);
  return PQntuples(result.get()) > 0 ? PQgetvalue(result.get(), 0, 0) : "";
}

std::vector<uint8_t> RawConnection::Bytes(const std::string& sql) {
  PGresultPtr result(
      PQexecParams(conn_.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1));
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    throw std::runtime_error(sql + ": " + PQerrorMessage(conn_.get()));
  }
  if (PQntuples(result.get()) == 0) return {};
  const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(result.get(), 0, 0));
  return std::vector<uint8_t>(bytes, bytes + PQgetlength(result.get(), 0, 0));
}

}  // namespace nivora_encrypted_index::internal::backing_store::testing
