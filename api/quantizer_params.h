// Checks of the quantizer parameters of an index configuration, run as soon
// as each is known (index creation, the first upsert that fixes the
// dimension, training), so that an index never stores a configuration its
// training could not serve. Plain function; no state.
#ifndef NIVORA_API_QUANTIZER_PARAMS_H_
#define NIVORA_API_QUANTIZER_PARAMS_H_

#include <cstdint>

#include "core/index_config.h"

namespace nivora {

// Largest n_lists an index accepts (list ids and code rows are 32-bit
// signed in the stored formats).
inline constexpr uint64_t kMaxNLists = 2147483647;

// Throws std::invalid_argument, logged at ERROR through GetLogger(), for:
// - n_lists above kMaxNLists: "n_lists cannot exceed 2147483647.";
// - IVFPQ pq_bits outside 1..16: "pq_bits must be between 1 and 16.";
// - IVFPQ with a known dimension and pq_dim not dividing it (pq_dim 0 means
//   one sub-vector per dimension): "Vector dimension must be divisible by
//   the number of subvectors.";
// - IVFSQ sq_bits other than 8 or 16: "Unsupported sq_bits value. Only 8 or
//   16 are supported.".
void ValidateQuantizerParams(const IndexConfig& config);

}  // namespace nivora

#endif  // NIVORA_API_QUANTIZER_PARAMS_H_
