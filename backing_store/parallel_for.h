// Loops of the in-process keystores' batch reads over OpenMP threads. An
// exception thrown by the body never leaves the parallel region: the first one
// is kept and rethrown on the calling thread after the loop.
#ifndef NIVORA_BACKING_STORE_PARALLEL_FOR_H_
#define NIVORA_BACKING_STORE_PARALLEL_FOR_H_

#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

namespace nivora_encrypted_index::internal::backing_store {

// Batch reads of up to this many keys copy on the calling thread: below it,
// starting threads costs more than the copy.
inline constexpr size_t kSerialReadLimit = 100;

// Keeps the first exception thrown by any thread of a loop.
class LoopErrors {
 public:
  // body(i), keeping what it throws instead of letting it leave the thread.
  template <typename Body>
  void Run(const Body& body, int64_t i) {
    try {
      body(static_cast<size_t>(i));
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!first_) first_ = std::current_exception();
    }
  }
  void RethrowIfAny() const {
    if (first_) std::rethrow_exception(first_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr first_;  // guarded by mutex_ while the loop runs
};

// body(i) for i in [0, n), static schedule, on OpenMP threads only when n is
// above `serial_limit` (small batches are cheaper on the calling thread).
template <typename Body>
void ParallelForStatic(size_t n, size_t serial_limit, const Body& body) {
  LoopErrors errors;
  const int64_t count = static_cast<int64_t>(n);
#pragma omp parallel for schedule(static) if (n > serial_limit)
  for (int64_t i = 0; i < count; ++i) errors.Run(body, i);
  errors.RethrowIfAny();
}

// body(i) for i in [0, n), dynamic schedule with chunks of one, for loops over
// a few uneven pieces of work.
template <typename Body>
void ParallelForDynamic(size_t n, const Body& body) {
  LoopErrors errors;
  const int64_t count = static_cast<int64_t>(n);
#pragma omp parallel for schedule(dynamic, 1)
  for (int64_t i = 0; i < count; ++i) errors.Run(body, i);
  errors.RethrowIfAny();
}

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_PARALLEL_FOR_H_
