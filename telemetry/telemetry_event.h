// The records of usage telemetry and the JSON events built from them.
//
// A usage event is {"count", "timestamp", "type", "uuid"}; an error event is
// {"description", "timestamp", "type": "error", "uuid"}. A batch is
// {"events": [...]}, sent as compact JSON with members in byte-wise name
// order (nlohmann::json's own object order). Plain functions, no state;
// safe from any thread.
#ifndef NIVORA_TELEMETRY_TELEMETRY_EVENT_H_
#define NIVORA_TELEMETRY_TELEMETRY_EVENT_H_

#include <cstdint>
#include <ctime>
#include <string>

#include <nlohmann/json.hpp>

namespace nivora::internal {

// The kinds of counted operations. The values are the counter keys.
enum class TelemetryEventType : int {
  Get = 0,
  Upsert = 1,
  Query = 2,
  Delete = 3,
  Init = 4,
  Train = 5,
  DeleteIndex = 6,
  CreateIndex = 7,
  ListIndexes = 8,
};

// Number of defined kinds; counters 0 .. kTelemetryEventTypeCount - 1 always exist.
inline constexpr int kTelemetryEventTypeCount = 9;

// The wire text of a counter kind ("get", "upsert", ..., "list_indexes");
// "unknown" for any other value.
const char* TelemetryEventTypeName(int type);

// One pending error report.
struct TelemetryErrorRecord {
  std::string message;     // already a safe description (see error_description.h)
  std::time_t timestamp;   // seconds since the epoch, when it was recorded
};

// {"count": count, "timestamp": timestamp, "type": <wire text>, "uuid": uuid}.
nlohmann::json MakeUsageEvent(const std::string& uuid, int type, int64_t count,
                              std::time_t timestamp);

// {"description": description, "timestamp": timestamp, "type": "error", "uuid": uuid}.
nlohmann::json MakeErrorEvent(const std::string& uuid, const std::string& description,
                              std::time_t timestamp);

// The compact text of {"events": [first, last)}. Never throws for bad text:
// bytes that are not UTF-8 come out as U+FFFD. May throw std::bad_alloc.
std::string SerializeBatch(const nlohmann::json* first, const nlohmann::json* last);

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_TELEMETRY_EVENT_H_
