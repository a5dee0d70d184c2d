// How the RocksDB keystore's operations fail: the ERROR line
// "Exception in <Method>: <what>" for any std::exception raised inside an
// operation, and how the failure then passes on; and the ERROR line plus
// std::runtime_error for a RocksDB status that is not OK.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_FAILURE_H_
#define NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_FAILURE_H_

#include <exception>
#include <stdexcept>
#include <string>

#include <rocksdb/status.h>

#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {

// How an operation passes on a std::exception raised inside it, after the
// ERROR line "Exception in <method>: <what>".
enum class OnFailure {
  kRethrow,   // the exception itself
  kWrap,      // std::runtime_error with the logged line
  kWrapAs,    // std::runtime_error with <prefix> + what()
};

// Runs `operation`; exceptions that are not std::exception pass unlogged.
template <typename Operation>
auto Guarded(const char* method, OnFailure mode, const Operation& operation,
             const char* prefix = "") -> decltype(operation()) {
  try {
    return operation();
  } catch (const std::exception& e) {
    const std::string line = std::string("Exception in ") + method + ": " + e.what();
    KeystoreLog().error(line);
    switch (mode) {
      case OnFailure::kRethrow:
        throw;
      case OnFailure::kWrap:
        throw std::runtime_error(line);
      case OnFailure::kWrapAs:
        break;
    }
    throw std::runtime_error(prefix + std::string(e.what()));
  }
}

// Logs `prefix` + the status text at ERROR and throws it as std::runtime_error.
[[noreturn]] inline void Fail(const std::string& prefix, const rocksdb::Status& status) {
  nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR, prefix + status.ToString());
}

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_FAILURE_H_
