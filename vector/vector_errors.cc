#include "vector/vector_errors.h"

#include <stdexcept>

#include "core/log_and_throw.h"
#include "core/logger.h"

namespace nivora::internal::vector_index {

void LogAndThrowInvalid(const std::string& logged, const std::string& thrown) {
  LogAndThrow<std::invalid_argument>(*GetLogger(), ERROR, logged, thrown);
}

void LogAndThrowRuntime(const std::string& message) {
  LogAndThrow<std::runtime_error>(*GetLogger(), ERROR, message);
}

}  // namespace nivora::internal::vector_index
