// The error guard of the public API operations. A guarded operation runs its
// body through Guarded(): the outcome never changes (results come back as
// they are, exceptions leave unchanged, same object and dynamic type), but
// a failure is reported. The innermost guard an exception passes hands one
// record to the telemetry aggregator ("Exception in <Op>: <what>", or
// "Unknown exception in <Op>" for an object that is not a std::exception);
// every guard it passes prints "[ERROR] Exception in <Op>: <what>" (or
// "[ERROR] Unknown exception in <Op>") to standard error. So one failure
// gives one record but one line per guarded operation on the call stack.
//
// The state behind this is per thread (t_api_call_depth, t_api_error_reported);
// guards on different threads never interact and take no lock. A guard
// without an aggregator prints its line but leaves the reported flag alone,
// so a guard further out that has one still records the failure. The flag
// is cleared when the outermost guarded operation of the thread ends,
// normally or not, so the next failure is reported afresh.
#ifndef NIVORA_API_ERROR_GUARD_H_
#define NIVORA_API_ERROR_GUARD_H_

#include <cstdint>
#include <exception>
#include <utility>

#include "telemetry/telemetry_aggregator.h"

namespace nivora::internal {

// Guarded operations now running on this thread. Defined here (constant
// initialisation, visible to every user) so that no translation unit goes
// through a dynamic-initialisation wrapper to reach it.
inline thread_local int32_t t_api_call_depth = 0;
// The exception now propagating has been recorded by an inner guard.
inline thread_local bool t_api_error_reported = false;

// One guarded operation's stay on the call stack: raises the depth on entry;
// on exit lowers it and, when it was the outermost, clears the flag.
class ApiCallScope {
 public:
  ApiCallScope() : outermost_(t_api_call_depth == 0) { ++t_api_call_depth; }
  ~ApiCallScope() {
    --t_api_call_depth;
    if (outermost_) t_api_error_reported = false;
  }
  ApiCallScope(const ApiCallScope&) = delete;
  ApiCallScope& operator=(const ApiCallScope&) = delete;

 private:
  const bool outermost_;
};

// Record (when due) and print one failure of operation op. what is null for
// an object that is not a std::exception. May throw (std::bad_alloc); the
// new exception then replaces the one being reported.
void ReportApiFailure(const char* op, TelemetryAggregator* telemetry, const char* what);

// Runs body() as the guarded operation op and returns its result. telemetry
// is borrowed for the call and may be null (nothing is recorded then).
template <typename Body>
decltype(auto) Guarded(const char* op, TelemetryAggregator* telemetry, Body&& body) {
  ApiCallScope scope;
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    ReportApiFailure(op, telemetry, e.what());
    throw;
  } catch (...) {
    ReportApiFailure(op, telemetry, nullptr);
    throw;
  }
}

}  // namespace nivora::internal

#endif  // NIVORA_API_ERROR_GUARD_H_
