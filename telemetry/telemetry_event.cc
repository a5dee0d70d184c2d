#include "telemetry/telemetry_event.h"

namespace nivora::internal {

const char* TelemetryEventTypeName(int type) {
  switch (static_cast<TelemetryEventType>(type)) {
    case TelemetryEventType::Get: return "get";
    case TelemetryEventType::Upsert: return "upsert";
    case TelemetryEventType::Query: return "query";
    case TelemetryEventType::Delete: return "delete";
    case TelemetryEventType::Init: return "init";
    case TelemetryEventType::Train: return "train";
    case TelemetryEventType::DeleteIndex: return "delete_index";
    case TelemetryEventType::CreateIndex: return "create_index";
    case TelemetryEventType::ListIndexes: return "list_indexes";
  }
  return "unknown";
}

nlohmann::json MakeUsageEvent(const std::string& uuid, int type, int64_t count,
                              std::time_t timestamp) {
  return nlohmann::json{{"uuid", uuid},
                        {"type", TelemetryEventTypeName(type)},
                        {"count", count},
                        {"timestamp", static_cast<int64_t>(timestamp)}};
}

nlohmann::json MakeErrorEvent(const std::string& uuid, const std::string& description,
                              std::time_t timestamp) {
  return nlohmann::json{{"uuid", uuid},
                        {"type", "error"},
                        {"description", description},
                        {"timestamp", static_cast<int64_t>(timestamp)}};
}

std::string SerializeBatch(const nlohmann::json* first, const nlohmann::json* last) {
  nlohmann::json batch = {{"events", nlohmann::json::array()}};
  nlohmann::json& events = batch["events"];
  for (const nlohmann::json* event = first; event != last; ++event) events.push_back(*event);
  // replace: a description holding bytes that are not UTF-8 must not make
  // the whole batch unsendable.
  return batch.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace nivora::internal
