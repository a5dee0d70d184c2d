#include "vector/vector_errors.h"

#include <stdexcept>

#include "core/logger.h"

namespace nivora::internal::vector_index {

void LogAndThrowInvalid(const std::string& logged, const std::string& thrown) {
  nivora::GetLogger()->log(nivora::ERROR, logged);
  throw std::invalid_argument(thrown);
}

void LogAndThrowRuntime(const std::string& message) {
  nivora::GetLogger()->log(nivora::ERROR, message);
  throw std::runtime_error(message);
}

}  // namespace nivora::internal::vector_index
