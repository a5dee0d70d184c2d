#include "postgres_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nivora::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kBinaries = "/usr/lib/postgresql/15/bin";

// A port nobody listens on right now. Another process may take it before the
// server binds it; Start() then tries another.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket() failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  if (!ok) throw std::runtime_error("no free port on 127.0.0.1");
  return ntohs(address.sin_port);
}

// The user the cluster runs as: "postgres" when we are root, else ourselves.
struct Owner {
  bool switch_user = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

Owner ClusterOwner() {
  Owner owner;
  if (::geteuid() != 0) return owner;
  const passwd* entry = ::getpwnam("postgres");
  if (entry == nullptr) throw std::runtime_error("running as root and no user 'postgres'");
  owner = {true, entry->pw_uid, entry->pw_gid};
  return owner;
}

// Runs a PostgreSQL tool as the cluster owner, its output appended to `log`;
// returns its exit status.
int RunTool(const Owner& owner, const std::vector<std::string>& args, const fs::path& log) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork() failed");
  if (child == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
      ::close(fd);
    }
    if (owner.switch_user && (::setgid(owner.gid) != 0 || ::setuid(owner.uid) != 0)) _exit(126);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

pid_t ReadServerPid(const fs::path& data) {
  std::ifstream in(data / "postmaster.pid");
  long pid = 0;
  in >> pid;
  return static_cast<pid_t>(pid);
}

bool Alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

PostgresServer::~PostgresServer() { Stop(); }

void PostgresServer::Start() {
  const Owner owner = ClusterOwner();
  // /tmp rather than TMPDIR: the folder must be reachable by the cluster owner.
  std::string pattern = "/tmp/nivora_pg_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  folder_ = pattern;
  if (owner.switch_user && ::chown(folder_.c_str(), owner.uid, owner.gid) != 0) {
    throw std::runtime_error("chown of the cluster folder failed");
  }
  const fs::path data = folder_ / "data";
  const fs::path log = folder_ / "tools.log";
  if (RunTool(owner,
              {(kBinaries / "initdb").string(), "-D", data.string(), "-U", "postgres",
               "--auth=trust", "-E", "UTF8", "--no-sync", "--no-instructions"},
              log) != 0) {
    throw std::runtime_error("initdb failed:\n" + ReadAll(log));
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    const std::string options = "-p " + std::to_string(port_) +
                                " -c listen_addresses=127.0.0.1 -k " + folder_.string() +
                                " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
    if (RunTool(owner,
                {(kBinaries / "pg_ctl").string(), "-D", data.string(), "-l",
                 (folder_ / "server.log").string(), "-w", "-t", "60", "-o", options, "start"},
                log) == 0) {
      server_pid_ = ReadServerPid(data);
      return;
    }
  }
  throw std::runtime_error("pg_ctl start failed:\n" + ReadAll(log) +
                           ReadAll(folder_ / "server.log"));
}

void PostgresServer::Stop() {
  if (server_pid_ > 0) {
    ::kill(server_pid_, SIGINT);  // fast shutdown: sessions are ended
    for (int i = 0; i < 600 && Alive(server_pid_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (Alive(server_pid_)) ::kill(server_pid_, SIGKILL);
    server_pid_ = 0;
  }
  if (!folder_.empty()) {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    folder_.clear();
  }
}

std::string PostgresServer::ConnectionString(const std::string& database) const {
  return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=" + database +
         " connect_timeout=10";
}

void PostgresServer::CreateDatabase(const std::string& name) const {
  std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(ConnectionString().c_str()),
                                                    &PQfinish);
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("connect failed: ") + PQerrorMessage(conn.get()));
  }
  std::unique_ptr<PGresult, decltype(&PQclear)> result(
      PQexec(conn.get(), ("CREATE DATABASE " + name + ";").c_str()), &PQclear);
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error(std::string("CREATE DATABASE failed: ") +
                             PQerrorMessage(conn.get()));
  }
}

}  // namespace nivora::testing
