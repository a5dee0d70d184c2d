// TelemetryAggregator: sending a batch with retries, and the init event.
#include <ctime>
#include <exception>
#include <iostream>
#include <thread>

#include "telemetry/telemetry_aggregator.h"

namespace nivora::internal {
namespace {

PostOutcome PostOnce(TelemetryTransport& transport, const std::string& body) {
  try {
    return transport.Post(body);
  } catch (const std::exception& e) {
    return {false, e.what(), 0};
  } catch (...) {
    return {false, "unknown transport failure", 0};
  }
}

// True for a 2xx answer; otherwise writes the attempt's line.
bool Accepted(const PostOutcome& outcome, int attempt) {
  if (!outcome.transferred) {
    std::cerr << "[Telemetry] CURL error: " << outcome.error << " on attempt " << attempt
              << std::endl;
    return false;
  }
  if (outcome.status >= 200 && outcome.status <= 299) return true;
  std::cerr << "[Telemetry] HTTP error " << outcome.status << " on attempt " << attempt
            << std::endl;
  return false;
}

}  // namespace

bool TelemetryAggregator::SendEvents(const nlohmann::json* first, const nlohmann::json* last) {
  if (first == last) return true;
  if (transport_ == nullptr) return false;
  try {
    const std::string body = SerializeBatch(first, last);
    for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
      if (Accepted(PostOnce(*transport_, body), attempt)) return true;
      if (attempt < kSendAttempts) std::this_thread::sleep_for(retry_pause_ * attempt);
    }
  } catch (const std::exception& e) {
    std::cerr << "[Telemetry] Send failed: " << e.what() << std::endl;
  }
  return false;
}

void TelemetryAggregator::SendInitEvent() {
  if (transport_ == nullptr) return;
  try {
    const nlohmann::json event = MakeUsageEvent(
        GenerateUUID(), static_cast<int>(TelemetryEventType::Init), 1, std::time(nullptr));
    SendEvents(&event, &event + 1);
  } catch (const std::exception& e) {
    std::cerr << "[Telemetry] Init event failed: " << e.what() << std::endl;
  }
}

}  // namespace nivora::internal
