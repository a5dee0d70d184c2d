// Helpers of the OpenMP loops of the vector mathematics: when a loop is worth
// a parallel region, and (from core) ParallelErrors, which carries the first
// exception of a loop body out of the region.
#ifndef NIVORA_VECTOR_PARALLEL_LOOPS_H_
#define NIVORA_VECTOR_PARALLEL_LOOPS_H_

#include <cstddef>

#include "core/parallel_errors.h"

namespace nivora::internal::vector_index {

// Whether a loop of about `work` float operations is worth a parallel
// region: waking a team costs far more than a small loop (and much more
// again on busy or virtualised machines), so small calls stay on the
// calling thread. Results never depend on it.
inline bool WorthParallel(size_t work) { return work >= (size_t{1} << 16); }

using nivora::ParallelErrors;

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_PARALLEL_LOOPS_H_
