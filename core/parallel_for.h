// The parallel loops of the whole library, and the thread count they run on.
//
// OpenMP's own default (omp_set_num_threads) belongs to the calling thread
// only, so a client's thread count would be lost on every other thread that
// calls into it. Instead the count travels with the call: an operation opens
// a ScopedThreadCount on its thread, and every region started below it asks
// for ThreadCount() threads explicitly (num_threads). Without a scope, the
// OpenMP default of the calling thread applies.
//
// An exception thrown by a loop body never leaves a parallel region: the
// first one is kept (ParallelErrors) and rethrown on the calling thread after
// the loop.
#ifndef NIVORA_CORE_PARALLEL_FOR_H_
#define NIVORA_CORE_PARALLEL_FOR_H_

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/parallel_errors.h"

namespace nivora {

namespace parallel_detail {
inline int& ScopedCount() {
  thread_local int count = 0;  // 0: no scope open on this thread
  return count;
}

// Scope of a loop run on the calling thread. Such a loop enters no OpenMP
// construct: a region whose if clause is false is still a region, and a
// team opened inside it (by the OpenMP build of OpenBLAS, or by a loop of
// ours) gets freshly created threads on every call instead of the pool's.
// The body sees one OpenMP thread, as it would on a thread of a team, so
// that BLAS stays single-threaded in it; loops of ours inside still ask
// for ThreadCount() threads of an open ScopedThreadCount.
class SerialLoop {
 public:
  SerialLoop() : saved_(omp_get_max_threads()) {
    if (saved_ != 1) omp_set_num_threads(1);
  }
  ~SerialLoop() {
    if (saved_ != 1) omp_set_num_threads(saved_);
  }
  SerialLoop(const SerialLoop&) = delete;
  SerialLoop& operator=(const SerialLoop&) = delete;

 private:
  int saved_;
};

// body(i) for i in [0, n) on the calling thread; every error is kept as in
// a parallel loop, the first one rethrown.
template <typename Body>
void SerialFor(size_t n, const Body& body) {
  ParallelErrors errors;
  {
    SerialLoop serial;
    for (size_t i = 0; i < n; ++i) errors.Run([&] { body(i); });
  }
  errors.RethrowFirst();
}

}  // namespace parallel_detail

// The number of threads a parallel region started on this thread asks for:
// the innermost open ScopedThreadCount, else the OpenMP default. At least 1.
inline int ThreadCount() {
  const int scoped = parallel_detail::ScopedCount();
  return scoped > 0 ? scoped : std::max(1, omp_get_max_threads());
}

// Sets ThreadCount() on the calling thread for its lifetime; a count of 0 or
// less keeps the current one. Scopes nest; each restores the previous count.
// Not copyable: it belongs to the stack frame that opened it.
class ScopedThreadCount {
 public:
  explicit ScopedThreadCount(int64_t threads) : previous_(parallel_detail::ScopedCount()) {
    if (threads > 0) {
      parallel_detail::ScopedCount() =
          static_cast<int>(std::min<int64_t>(threads, int64_t{1} << 16));
    }
  }
  ~ScopedThreadCount() { parallel_detail::ScopedCount() = previous_; }
  ScopedThreadCount(const ScopedThreadCount&) = delete;
  ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;

 private:
  int previous_;
};

// Whether a loop of about `work` elementary operations is worth a parallel
// region: waking a team costs far more than a small loop (and much more again
// on busy or virtualised machines). Results never depend on it.
inline bool WorthParallel(size_t work) { return work >= (size_t{1} << 16); }

// Batch loops of up to this many cheap items (a key lookup, a copy) stay on
// the calling thread: below it, starting threads costs more than the work.
inline constexpr size_t kSerialReadLimit = 100;

// body(i) for i in [0, n), static schedule, on ThreadCount() threads when n is
// above `serial_limit`, else on the calling thread.
template <typename Body>
void ParallelForStatic(size_t n, size_t serial_limit, const Body& body) {
  if (n <= serial_limit || ThreadCount() == 1) {
    parallel_detail::SerialFor(n, body);
    return;
  }
  ParallelErrors errors;
  const int64_t count = static_cast<int64_t>(n);
#pragma omp parallel for schedule(static) num_threads(ThreadCount())
  for (int64_t i = 0; i < count; ++i) {
    errors.Run([&] { body(static_cast<size_t>(i)); });
  }
  errors.RethrowFirst();
}

// body(i) for i in [0, n), dynamic schedule with chunks of one, for loops over
// a few uneven pieces of work.
template <typename Body>
void ParallelForDynamic(size_t n, const Body& body) {
  if (n <= 1 || ThreadCount() == 1) {
    parallel_detail::SerialFor(n, body);
    return;
  }
  ParallelErrors errors;
  const int64_t count = static_cast<int64_t>(n);
#pragma omp parallel for schedule(dynamic, 1) num_threads(ThreadCount())
  for (int64_t i = 0; i < count; ++i) {
    errors.Run([&] { body(static_cast<size_t>(i)); });
  }
  errors.RethrowFirst();
}

// Runs chunk(begin, end) -> uint64_t on contiguous chunks of [0, n), one per
// thread, and returns the sum of the results. Asks for at most ThreadCount()
// threads, and for no more than give each `min_per_thread` items. The chunks
// are cut by the team the region really gets, so every item is processed also
// when the runtime grants fewer threads (a nested region, a thread limit).
template <typename Chunk>
uint64_t SumOverThreadChunks(size_t n, Chunk&& chunk, size_t min_per_thread = 1) {
  if (n == 0) return 0;
  const size_t planned = static_cast<size_t>(ThreadCount());
  const size_t wanted = (n + min_per_thread - 1) / std::max<size_t>(1, min_per_thread);
  const int threads = static_cast<int>(std::max<size_t>(1, std::min(planned, wanted)));
  if (threads == 1) {
    // As one thread of a team would see it (parallel_detail::SerialLoop).
    parallel_detail::SerialLoop serial;
    return chunk(size_t{0}, n);
  }
  uint64_t sum = 0;
  ParallelErrors errors;
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

}  // namespace nivora

#endif  // NIVORA_CORE_PARALLEL_FOR_H_
