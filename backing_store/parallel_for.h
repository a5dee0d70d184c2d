// Loops of the in-process keystores' batch reads over OpenMP threads. An
// exception thrown by the body never leaves the parallel region: the first one
// is kept and rethrown on the calling thread after the loop.
#ifndef NIVORA_BACKING_STORE_PARALLEL_FOR_H_
#define NIVORA_BACKING_STORE_PARALLEL_FOR_H_

#include <cstddef>
#include <cstdint>

#include "core/parallel_errors.h"

namespace nivora_encrypted_index::internal::backing_store {

// Batch reads of up to this many keys copy on the calling thread: below it,
// starting threads costs more than the copy.
inline constexpr size_t kSerialReadLimit = 100;

// body(i) for i in [0, n), static schedule, on OpenMP threads only when n is
// above `serial_limit` (small batches are cheaper on the calling thread).
template <typename Body>
void ParallelForStatic(size_t n, size_t serial_limit, const Body& body) {
  nivora::ParallelErrors errors;
  const int64_t count = static_cast<int64_t>(n);
#pragma omp parallel for schedule(static) if (n > serial_limit)
  for (int64_t i = 0; i < count; ++i) {
    errors.Run([&] { body(static_cast<size_t>(i)); });
  }
  errors.RethrowFirst();
}

// body(i) for i in [0, n), dynamic schedule with chunks of one, for loops over
// a few uneven pieces of work.
template <typename Body>
void ParallelForDynamic(size_t n, const Body& body) {
  nivora::ParallelErrors errors;
  const int64_t count = static_cast<int64_t>(n);
#pragma omp parallel for schedule(dynamic, 1)
  for (int64_t i = 0; i < count; ++i) {
    errors.Run([&] { body(static_cast<size_t>(i)); });
  }
  errors.RethrowFirst();
}

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_PARALLEL_FOR_H_
