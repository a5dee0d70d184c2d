// ParallelErrors carries the first exception raised inside an OpenMP parallel
// region out to the calling thread, where it is rethrown after the region
// (an exception must never leave a region: that terminates the process).
// Every body runs through Run(), which catches whatever it throws; once one
// body has failed, later bodies are skipped, since the result is discarded
// anyway. The caller calls RethrowFirst() after the region.
//
// Thread-safe: Run() may be called from every thread of a team at once.
#ifndef NIVORA_CORE_PARALLEL_ERRORS_H_
#define NIVORA_CORE_PARALLEL_ERRORS_H_

#include <atomic>
#include <exception>
#include <mutex>

namespace nivora {

class ParallelErrors {
 public:
  template <typename Body>
  void Run(Body&& body) noexcept {
    if (failed_.load(std::memory_order_relaxed)) return;
    try {
      body();
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!first_) first_ = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
    }
  }

  bool failed() const { return failed_.load(std::memory_order_relaxed); }

  // Throws the first captured exception, if any. Call after the region.
  void RethrowFirst() const {
    if (first_) std::rethrow_exception(first_);
  }

 private:
  std::atomic<bool> failed_{false};
  std::mutex mutex_;  // guards first_ while the region runs
  std::exception_ptr first_;
};

}  // namespace nivora

#endif  // NIVORA_CORE_PARALLEL_ERRORS_H_
