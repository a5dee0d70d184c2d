#include "redis_server_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace nivora_redis_testing {
namespace {

// A port the kernel hands out as free just now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "nivora-redis-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

RedisServerProcess::RedisServerProcess(const std::filesystem::path& folder,
                                       const std::vector<std::string>& extra, bool tls) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Start(folder, extra, tls)) return;
  }
  throw std::runtime_error("redis-server did not start (see the logs in " + folder.string() + ")");
}

RedisServerProcess::~RedisServerProcess() { Stop(); }

bool RedisServerProcess::Start(const std::filesystem::path& folder,
                               const std::vector<std::string>& extra, bool tls) {
  port_ = FreePort();
  const std::string port = std::to_string(port_);
  std::vector<std::string> args = {"redis-server", "--bind", "127.0.0.1", "--daemonize", "no",
                                   "--save", "", "--appendonly", "no",
                                   "--dir", folder.string(),
                                   "--logfile", (folder / ("redis-" + port + ".log")).string()};
  if (tls) {
    args.insert(args.end(), {"--port", "0", "--tls-port", port});
  } else {
    args.insert(args.end(), {"--port", port});
  }
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "redis-server", nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot run redis-server");
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {  // exited: the port was taken meanwhile
      pid_ = -1;
      return false;
    }
    if (Accepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Stop();
  return false;
}

void RedisServerProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

TestCertificates MakeTestCertificates(const std::filesystem::path& folder) {
  TestCertificates certs;
  const std::filesystem::path d = folder;
  certs.ca_cert = d / "ca.crt";
  certs.ca_path = d / "ca_folder";
  certs.server_cert = d / "server.crt";
  certs.server_key = d / "server.key";
  certs.client_cert = d / "client.crt";
  certs.client_key = d / "client.key";
  certs.other_ca_cert = d / "other_ca.crt";
  const std::string q = "cd '" + d.string() + "' && ";
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string quiet = " 2>/dev/null";
  Run(q + "openssl req -x509" + key + " -keyout ca.key -out ca.crt -days 2 -subj /CN=nivora-test-ca" + quiet);
  Run(q + "openssl req -x509" + key + " -keyout other_ca.key -out other_ca.crt -days 2 -subj /CN=nivora-other-ca" + quiet);
  Run(q + "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > server.ext");
  Run(q + "openssl req" + key + " -keyout server.key -out server.csr -subj /CN=localhost" + quiet);
  Run(q + "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext -out server.crt" + quiet);
  Run(q + "openssl req" + key + " -keyout client.key -out client.csr -subj /CN=nivora-client" + quiet);
  Run(q + "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out client.crt" + quiet);
  Run(q + "mkdir -p ca_folder && cp ca.crt ca_folder/ && openssl rehash ca_folder" + quiet);
  return certs;
}

}  // namespace nivora_redis_testing
