// Runs https_test_server.py for the duration of a test: a real HTTPS
// endpoint on 127.0.0.1 with a certificate made at start. The server ends
// when this object closes its standard input (and is killed if it lingers).
#ifndef NIVORA_TESTS_TELEMETRY_HTTPS_TEST_SERVER_H_
#define NIVORA_TESTS_TELEMETRY_HTTPS_TEST_SERVER_H_

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace nivora::internal::testing {

class HttpsTestServer {
 public:
  explicit HttpsTestServer(const std::string& script) {
    char dir_template[] = "/tmp/nivora_telemetry_https_XXXXXX";
    if (mkdtemp(dir_template) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = dir_template;
    try {
      Spawn(script);
      port_ = std::stoi(ReadLine(std::chrono::seconds(30)));
    } catch (...) {
      Stop();
      throw;
    }
  }

  ~HttpsTestServer() { Stop(); }

  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  int port() const { return port_; }
  std::string base_url() const { return "https://127.0.0.1:" + std::to_string(port_); }
  std::string ca_file() const { return (dir_ / "cert.pem").string(); }

  void SetStatus(int status) {
    std::ofstream(dir_ / "status.tmp") << status;
    std::filesystem::rename(dir_ / "status.tmp", dir_ / "status");
  }

  // The requests received so far, oldest first.
  std::vector<nlohmann::json> Requests() const { return Records(false); }
  // The number of TCP connections accepted so far.
  size_t Connections() const { return Records(true).size(); }

 private:
  std::vector<nlohmann::json> Records(bool connections) const {
    std::vector<nlohmann::json> records;
    std::ifstream in(dir_ / "log.jsonl");
    for (std::string line; std::getline(in, line);) {
      nlohmann::json record = nlohmann::json::parse(line);
      if (record.contains("connection") == connections) records.push_back(std::move(record));
    }
    return records;
  }

  void Spawn(const std::string& script) {
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    const char* python = std::getenv("PYTHON") != nullptr ? std::getenv("PYTHON") : "python3";
    std::string dir = dir_.string();
    std::vector<char*> argv = {const_cast<char*>(python), const_cast<char*>(script.c_str()),
                               dir.data(), nullptr};
    const int rc = posix_spawnp(&pid_, python, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in_pipe[0]);
    close(out_pipe[1]);
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + std::string(python));
    }
  }

  std::string ReadLine(std::chrono::seconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (line.empty() || line.back() != '\n') {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd fd = {stdout_fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
        throw std::runtime_error("the HTTPS test server did not start");
      }
      char c;
      if (read(stdout_fd_, &c, 1) != 1) throw std::runtime_error("the HTTPS test server died");
      line += c;
    }
    return line;
  }

  void Stop() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    if (stdout_fd_ >= 0) close(stdout_fd_);
    if (pid_ > 0) Reap();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void Reap() {
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int port_ = 0;
};

}  // namespace nivora::internal::testing

#endif  // NIVORA_TESTS_TELEMETRY_HTTPS_TEST_SERVER_H_
