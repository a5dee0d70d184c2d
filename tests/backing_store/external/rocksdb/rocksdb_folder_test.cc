// A RocksDB folder on disk: held by another process it is refused with a
// message that says so, and opening it again and again leaves a bounded
// number of info logs.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backing_store/external/rocksdb/rocksdb_connection_manager.h"
#include "backing_store/log_capture.h"
#include "temp_folder.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

namespace fs = std::filesystem;

// A child process that holds the folder's LOCK the way RocksDB does (a POSIX
// write lock) until destroyed.
class LockHoldingProcess {
 public:
  explicit LockHoldingProcess(const std::string& folder) {
    int ready[2], release[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(release), 0);
    const std::string lock = (fs::path(folder) / "LOCK").string();
    pid_ = fork();
    if (pid_ == 0) {  // only async-signal-safe calls from here
      close(ready[0]);
      close(release[1]);
      const int fd = open(lock.c_str(), O_RDWR);
      struct flock hold {};
      hold.l_type = F_WRLCK;
      hold.l_whence = SEEK_SET;
      const char held = fd >= 0 && fcntl(fd, F_SETLK, &hold) == 0 ? '1' : '0';
      (void)!write(ready[1], &held, 1);
      char done;
      (void)!read(release[0], &done, 1);  // returns when the parent closes it
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    pollfd wait{ready[0], POLLIN, 0};
    char held = '0';
    if (poll(&wait, 1, 10000) == 1) (void)!read(ready[0], &held, 1);
    close(ready[0]);
    EXPECT_EQ(held, '1') << "the child could not lock " << lock;
  }
  ~LockHoldingProcess() {
    close(release_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

TEST(RocksDBFolderTest, AFolderHeldByAnotherProcessIsRefusedNamingIt) {
  LogCapture log;
  const std::string folder = TestFolder();
  fs::create_directories(fs::path(folder).parent_path());
  { RocksDBConnectionLease create(folder); }
  {
    LockHoldingProcess holder(folder);
    try {
      RocksDBConnectionLease refused(folder);
      ADD_FAILURE() << "opened a folder another process holds";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "Failed to open RocksDB: another process (pid " + std::to_string(holder.pid()) +
                    ") has the folder '" + folder + "' open; a folder serves one process at a time");
    }
  }
  EXPECT_NO_THROW(RocksDBConnectionLease again(folder));
}

TEST(RocksDBFolderTest, OpeningAgainAndAgainKeepsAFewInfoLogs) {
  LogCapture log;
  const std::string folder = TestFolder();
  fs::create_directories(fs::path(folder).parent_path());
  auto count = [&] {
    size_t logs = 0, options = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      logs += name.starts_with("LOG");
      options += name.starts_with("OPTIONS-");
    }
    return std::pair(logs, options);
  };
  for (int i = 0; i < 12; ++i) RocksDBConnectionLease open(folder);
  const auto [logs, options] = count();
  EXPECT_LE(logs, 3u);
  EXPECT_LE(options, 2u);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
