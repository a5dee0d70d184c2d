// PostgresServer: a throwaway PostgreSQL cluster for one test or benchmark
// run. Start() creates a cluster in a fresh temporary folder with initdb and
// starts it with pg_ctl on 127.0.0.1 at a free port, fsync off; Stop() (and
// the destructor) stops the server by its PID and removes the folder. When
// the process runs as root, the cluster belongs to the "postgres" user,
// since the server refuses to run as root.
//
// Not thread-safe: start and stop from one thread; the connection strings
// may be read from any thread once Start() returned.
#ifndef NIVORA_TESTS_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_SERVER_H_
#define NIVORA_TESTS_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_SERVER_H_

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace nivora::testing {

class PostgresServer {
 public:
  PostgresServer() = default;
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // Throws std::runtime_error with the tool's output when the cluster
  // cannot be made or started.
  void Start();
  void Stop();

  // A libpq connection string for `database` (trust authentication as the
  // superuser "postgres").
  std::string ConnectionString(const std::string& database = "postgres") const;
  // Creates a database; throws std::runtime_error on failure.
  void CreateDatabase(const std::string& name) const;
  int port() const { return port_; }

 private:
  std::filesystem::path folder_;
  int port_ = 0;
  pid_t server_pid_ = 0;
};

}  // namespace nivora::testing

#endif  // NIVORA_TESTS_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_SERVER_H_
