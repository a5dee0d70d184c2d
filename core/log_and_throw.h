// The system's way of failing an operation: log the message at a level,
// then throw it. Some logged texts end in a full stop that the thrown text
// lacks, hence the two-text form.
#ifndef NIVORA_CORE_LOG_AND_THROW_H_
#define NIVORA_CORE_LOG_AND_THROW_H_

#include <string>

#include "core/logger.h"

namespace nivora {

// Logs `logged` at `level` through `logger`, then throws Exception(`thrown`).
template <typename Exception>
[[noreturn]] void LogAndThrow(Logger& logger, int level, const std::string& logged,
                              const std::string& thrown) {
  logger.log(level, logged);
  throw Exception(thrown);
}

template <typename Exception>
[[noreturn]] void LogAndThrow(Logger& logger, int level, const std::string& message) {
  LogAndThrow<Exception>(logger, level, message, message);
}

}  // namespace nivora

#endif  // NIVORA_CORE_LOG_AND_THROW_H_
