#include "api/error_guard.h"

#include <iostream>
#include <string>

namespace nivora::internal {

void ReportApiFailure(const char* op, TelemetryAggregator* telemetry, const char* what) {
  const std::string message = what != nullptr
                                  ? std::string("Exception in ") + op + ": " + what
                                  : std::string("Unknown exception in ") + op;
  // The record comes before the line; only a guard with an aggregator
  // claims the failure, so an outer one with an aggregator still records it.
  if (telemetry != nullptr && !t_api_error_reported) {
    t_api_error_reported = true;
    telemetry->RecordError(message);
  }
  std::cerr << "[ERROR] " << message << std::endl;
}

}  // namespace nivora::internal
