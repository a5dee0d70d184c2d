#include "telemetry/telemetry_endpoint.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>

namespace nivora::internal {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char c) {
           return std::tolower(static_cast<unsigned char>(c)) == lower;
         });
}

bool IsHostNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

bool IsIpv6Char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// Digits only, 1 to 65535.
bool IsPort(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const long value = std::strtol(std::string(port).c_str(), nullptr, 10);
  return value >= 1 && value <= 65535;
}

// Splits "host[:port]" and checks both parts.
bool IsAuthority(std::string_view authority) {
  std::string_view host = authority;
  std::string_view rest;
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    const std::string_view address = authority.substr(1, close - 1);
    if (!std::all_of(address.begin(), address.end(), IsIpv6Char)) return false;
    host = authority.substr(0, close + 1);
    rest = authority.substr(close + 1);
  } else {
    const size_t colon = authority.find(':');
    host = authority.substr(0, colon);
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostNameChar)) return false;
    if (colon != std::string_view::npos) rest = authority.substr(colon);
  }
  if (rest.empty()) return true;
  return rest.starts_with(':') && IsPort(rest.substr(1));
}

}  // namespace

bool IsTelemetryBaseUrl(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  if (!StartsWithNoCase(url, kScheme)) return false;
  std::string_view authority = url.substr(kScheme.size());
  if (authority.ends_with('/')) authority.remove_suffix(1);
  return IsAuthority(authority);
}

std::optional<TelemetryEndpoint> ReadTelemetryEndpoint() {
  const char* url = std::getenv(kTelemetryUrlVariable);
  if (url == nullptr || *url == '\0') return std::nullopt;
  std::string_view base = url;
  if (!IsTelemetryBaseUrl(base)) {
    // The value is not echoed: it may hold credentials.
    std::cerr << "[Telemetry] " << kTelemetryUrlVariable
              << " is not an https://host[:port] URL; telemetry is not sent" << std::endl;
    return std::nullopt;
  }
  if (base.ends_with('/')) base.remove_suffix(1);
  TelemetryEndpoint endpoint;
  endpoint.url = std::string(base) + std::string(kTelemetryEventsPath);
  if (const char* ca_file = std::getenv(kTelemetryCaFileVariable); ca_file != nullptr) {
    endpoint.ca_file = ca_file;
  }
  return endpoint;
}

}  // namespace nivora::internal
