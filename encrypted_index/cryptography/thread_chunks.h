// The one parallel-loop shape of the engine's batch work: [0, n) cut into
// contiguous chunks, one per OpenMP thread, each chunk's results summed.
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_THREAD_CHUNKS_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_THREAD_CHUNKS_H_

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/parallel_errors.h"

namespace nivora_encrypted_index::internal::cryptography {

// Runs chunk(begin, end) -> uint64_t on contiguous chunks of [0, n) and
// returns the sum of the results. Asks for at most the OpenMP maximum
// thread count, and for no more threads than give each min_per_thread
// items. The chunks are cut by the number of threads the region really
// gets, so every item is processed also when the runtime grants fewer (a
// nested region, a thread limit). An exception thrown by a chunk is carried
// out of the region and rethrown on the calling thread after it.
template <typename Chunk>
uint64_t SumOverThreadChunks(size_t n, Chunk&& chunk, size_t min_per_thread = 1) {
  if (n == 0) return 0;
  const size_t planned = static_cast<size_t>(std::max(1, omp_get_max_threads()));
  const size_t wanted = (n + min_per_thread - 1) / std::max<size_t>(1, min_per_thread);
  const int threads = static_cast<int>(std::max<size_t>(1, std::min(planned, wanted)));
  uint64_t sum = 0;
  nivora::ParallelErrors errors;
#pragma omp parallel num_threads(threads) reduction(+ : sum)
  {
    const size_t t = static_cast<size_t>(omp_get_thread_num());
    const size_t team = static_cast<size_t>(omp_get_num_threads());
    const size_t per_thread = (n + team - 1) / team;
    const size_t begin = std::min(n, t * per_thread);
    const size_t end = std::min(n, begin + per_thread);
    if (begin < end) errors.Run([&] { sum += chunk(begin, end); });
  }
  errors.RethrowFirst();
  return sum;
}

}  // namespace nivora_encrypted_index::internal::cryptography

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_THREAD_CHUNKS_H_
