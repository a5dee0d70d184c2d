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

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_KEYSTORE_LOG_H_
