// Logging and argument checks the keystores share. Keystores log through the
// engine's logger accessor, never a logger of their own.
#ifndef NIVORA_BACKING_STORE_KEYSTORE_LOG_H_
#define NIVORA_BACKING_STORE_KEYSTORE_LOG_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/log_and_throw.h"
#include "core/logger.h"

namespace nivora_encrypted_index::internal::backing_store {

inline nivora::Logger& KeystoreLog() { return *encrypted_index::GetLogger(); }

// The level at which a server keystore logs a failure to reach its server
// (refused, lost, no answer in time) before throwing it. Below the default
// level: the API operation that called reports the exception on its own
// line, so by default one failure prints one line; a more verbose log still
// shows where it happened.
inline constexpr int kConnectionFailureLevel = nivora::WARNING;

// Logs `logged` at ERROR, then throws std::invalid_argument(thrown).
[[noreturn]] inline void RejectArgument(const std::string& logged, const std::string& thrown) {
  nivora::LogAndThrow<std::invalid_argument>(KeystoreLog(), nivora::ERROR, logged, thrown);
}

// A batch push needs at least one key.
inline void CheckKeysGiven(const std::vector<uint64_t>& keys) {
  if (keys.empty()) {
    RejectArgument("No keys provided for batch insertion", "No keys provided for batch insertion");
  }
}

// A variable-size batch push: at least one key, and one value per key.
inline void CheckVariableBatch(const std::vector<uint64_t>& keys, size_t values) {
  CheckKeysGiven(keys);
  if (values != keys.size()) {
    RejectArgument("Mismatch between number of keys and batch size",
                   "Mismatch between number of keys and batch size");
  }
}

// A fixed-size batch push: at least one key, one row per key, and rows of
// the index's value size.
inline void CheckFixedBatch(const std::vector<uint64_t>& keys, size_t rows, size_t cols,
                            size_t value_size) {
  const size_t n = keys.size();
  CheckKeysGiven(keys);
  if (rows != n) {
    RejectArgument("Mismatch between number of keys (" + std::to_string(n) +
                       ") and batch size (" + std::to_string(rows) + ")",
                   "Mismatch between number of keys and batch size");
  }
  if (cols != value_size) {
    RejectArgument("Amount of data (" + std::to_string(rows * cols) +
                       ") must be divisible by the size of each value (" +
                       std::to_string(value_size * n) + ")",
                   "Amount of data must be divisible by the size of each value");
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_KEYSTORE_LOG_H_
