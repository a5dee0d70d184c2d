// Where telemetry goes, read from the environment:
//   NIVORADB_TELEMETRY_URL      "https://host[:port]" (a trailing "/" is
//                               allowed); the path "/v1/telemetry/events" is
//                               appended. Unset or empty: nothing is sent.
//   NIVORADB_TELEMETRY_CA_FILE  when set and not empty, the CA certificates
//                               that verify the server, in place of the
//                               system bundles.
// Functions only; reading the environment races with setenv elsewhere, as
// getenv always does.
#ifndef NIVORA_TELEMETRY_TELEMETRY_ENDPOINT_H_
#define NIVORA_TELEMETRY_TELEMETRY_ENDPOINT_H_

#include <optional>
#include <string>
#include <string_view>

namespace nivora::internal {

inline constexpr const char* kTelemetryUrlVariable = "NIVORADB_TELEMETRY_URL";
inline constexpr const char* kTelemetryCaFileVariable = "NIVORADB_TELEMETRY_CA_FILE";
inline constexpr std::string_view kTelemetryEventsPath = "/v1/telemetry/events";

struct TelemetryEndpoint {
  std::string url;      // full URL of the events resource
  std::string ca_file;  // empty: probe the system bundles
};

// True for "https://host[:port]" with an optional trailing "/": a scheme of
// "https" in any case, a host of letters, digits, '.', '-' and '_' or a
// bracketed IPv6 address, a port of 1 to 65535; no user, path, query or
// fragment.
bool IsTelemetryBaseUrl(std::string_view url);

// The endpoint the environment names, or nullopt when the URL variable is
// unset or empty. A URL that IsTelemetryBaseUrl refuses is reported with one
// line on standard error and treated as unset.
std::optional<TelemetryEndpoint> ReadTelemetryEndpoint();

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_TELEMETRY_ENDPOINT_H_
