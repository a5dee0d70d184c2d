// How a telemetry batch reaches the service: one POST attempt at a time.
// TelemetryAggregator owns one transport and retries on top of it; tests
// give it their own. The real one is the libcurl transport (curl_transport.h).
#ifndef NIVORA_TELEMETRY_TELEMETRY_TRANSPORT_H_
#define NIVORA_TELEMETRY_TELEMETRY_TRANSPORT_H_

#include <string>
#include <string_view>

namespace nivora::internal {

// The result of one attempt.
struct PostOutcome {
  // False when no HTTP answer came (connection, TLS, timeout, ...).
  bool transferred = false;
  // Without an answer: what went wrong, in the transport's words.
  std::string error;
  // With an answer: its HTTP status.
  long status = 0;
};

class TelemetryTransport {
 public:
  virtual ~TelemetryTransport() = default;

  // Sends body (a serialised batch) once. Called from several threads at
  // once; an implementation serialises what it must. Should not throw; the
  // aggregator counts an exception as a failed attempt.
  virtual PostOutcome Post(const std::string& body) = 0;
};

// Throws std::invalid_argument "[Telemetry] API key must not contain control
// characters" when key holds a byte below 0x20 or 0x7F: it goes into a
// header line, where such bytes would inject headers.
void CheckApiKey(std::string_view key);

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_TELEMETRY_TRANSPORT_H_
