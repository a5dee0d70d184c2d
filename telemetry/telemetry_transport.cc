#include "telemetry/telemetry_transport.h"

#include <algorithm>
#include <stdexcept>

namespace nivora::internal {

void CheckApiKey(std::string_view key) {
  const bool has_control = std::any_of(key.begin(), key.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
  if (has_control) {
    throw std::invalid_argument("[Telemetry] API key must not contain control characters");
  }
}

}  // namespace nivora::internal
