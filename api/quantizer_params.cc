#include "api/quantizer_params.h"

#include <stdexcept>

#include "core/log_and_throw.h"
#include "core/logger.h"

namespace nivora {
namespace {

[[noreturn]] void Refuse(const char* message) {
  LogAndThrow<std::invalid_argument>(*GetLogger(), ERROR, message);
}

}  // namespace

void ValidateQuantizerParams(const IndexConfig& config) {
  if (config.n_lists() > kMaxNLists) Refuse("n_lists cannot exceed 2147483647.");
  if (config.index_type_ == IndexType::IVFPQ) {
    if (config.pq_bits() < 1 || config.pq_bits() > 16) Refuse("pq_bits must be between 1 and 16.");
    const size_t dim = config.dimension();
    if (dim != 0 && config.pq_dim() != 0 &&
        (config.pq_dim() > dim || dim % config.pq_dim() != 0)) {
      Refuse("Vector dimension must be divisible by the number of subvectors.");
    }
  }
  if (config.index_type_ == IndexType::IVFSQ && config.sq_bits() != 8 && config.sq_bits() != 16) {
    Refuse("Unsupported sq_bits value. Only 8 or 16 are supported.");
  }
}

}  // namespace nivora
