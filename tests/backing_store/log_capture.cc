#include "backing_store/log_capture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

namespace fs = std::filesystem;

// "[YYYY-mm-dd HH:MM:SS]" in front of every line.
constexpr size_t kTimestampLength = 21;

fs::path UniquePath() {
  static std::atomic<int> counter{0};
  return fs::temp_directory_path() / ("keystore_log_" + std::to_string(::getpid()) + "_" +
                                      std::to_string(counter.fetch_add(1)) + ".log");
}

}  // namespace

LogCapture::LogCapture() : path_(UniquePath()) {
  logger_.configure("info", true, path_.string());
  hold_ = encrypted_index::GlobalContext::s_logger.Hold(&logger_);
}

LogCapture::~LogCapture() {
  hold_.reset();
  std::error_code ignored;
  fs::remove(path_, ignored);
}

std::vector<std::string> LogCapture::Lines() const {
  std::vector<std::string> lines;
  std::ifstream in(path_);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line.size() >= kTimestampLength ? line.substr(kTimestampLength) : line);
  }
  return lines;
}

std::vector<std::string> LogCapture::Take() {
  std::vector<std::string> lines = Lines();
  std::vector<std::string> fresh(lines.begin() + static_cast<std::ptrdiff_t>(taken_), lines.end());
  taken_ = lines.size();
  return fresh;
}

size_t LogCapture::Count(const std::string& line) const {
  const std::vector<std::string> lines = Lines();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

}  // namespace nivora_encrypted_index::internal::backing_store::testing
