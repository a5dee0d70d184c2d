// LogCapture routes the engine-side logger (the one keystores log through) to
// a temporary file at level INFO for its lifetime, and hands back the lines
// written, without their timestamps.
#ifndef NIVORA_TESTS_BACKING_STORE_LOG_CAPTURE_H_
#define NIVORA_TESTS_BACKING_STORE_LOG_CAPTURE_H_

#include <filesystem>
#include <string>
#include <vector>

#include "core/logger.h"

namespace nivora_encrypted_index::internal::backing_store::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line written so far, as "[LEVEL] message".
  std::vector<std::string> Lines() const;
  // The lines written since the previous call of Take (or since start).
  std::vector<std::string> Take();
  // How many lines so far are exactly `line` ("[LEVEL] message").
  size_t Count(const std::string& line) const;

 private:
  std::filesystem::path path_;
  nivora::Logger logger_;
  nivora::LoggerHold hold_;  // keeps logger_ the engine-side logger
  size_t taken_ = 0;
};

}  // namespace nivora_encrypted_index::internal::backing_store::testing

#endif  // NIVORA_TESTS_BACKING_STORE_LOG_CAPTURE_H_
