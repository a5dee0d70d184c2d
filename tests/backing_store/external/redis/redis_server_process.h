// A throwaway redis-server for tests and benchmarks: started on 127.0.0.1 on
// a free port, in a folder of the caller's, persisting nothing, and stopped
// by its process id when the object goes. Also makes the throwaway TLS
// certificates such servers use.
#ifndef NIVORA_TESTS_BACKING_STORE_EXTERNAL_REDIS_REDIS_SERVER_PROCESS_H_
#define NIVORA_TESTS_BACKING_STORE_EXTERNAL_REDIS_REDIS_SERVER_PROCESS_H_

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace nivora_redis_testing {

// A temporary folder, removed with everything in it when the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class RedisServerProcess {
 public:
  // `extra` arguments are added to the command line. With `tls` the free
  // port is the TLS port and the plain port is off. Throws
  // std::runtime_error when no server comes up.
  RedisServerProcess(const std::filesystem::path& folder, const std::vector<std::string>& extra,
                     bool tls = false);
  ~RedisServerProcess();
  RedisServerProcess(const RedisServerProcess&) = delete;
  RedisServerProcess& operator=(const RedisServerProcess&) = delete;

  int port() const { return port_; }

 private:
  bool Start(const std::filesystem::path& folder, const std::vector<std::string>& extra, bool tls);
  void Stop();

  pid_t pid_ = -1;
  int port_ = 0;
};

// PEM files made by the openssl tool: a CA, a server certificate for
// 127.0.0.1 and localhost and a client certificate signed by it, another CA
// that signed neither, and a folder holding the CA in hashed form.
struct TestCertificates {
  std::filesystem::path ca_cert, ca_path, server_cert, server_key, client_cert, client_key,
      other_ca_cert;
};
// Throws std::runtime_error when the openssl tool fails.
TestCertificates MakeTestCertificates(const std::filesystem::path& folder);

}  // namespace nivora_redis_testing

#endif  // NIVORA_TESTS_BACKING_STORE_EXTERNAL_REDIS_REDIS_SERVER_PROCESS_H_
