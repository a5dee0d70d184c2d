#include "telemetry/telemetry_event.h"

#include <set>

#include <gtest/gtest.h>

#include "telemetry/telemetry_aggregator.h"

namespace nivora::internal {
namespace {

using nlohmann::json;

TEST(TelemetryEventTest, WireNamesOfEveryKind) {
  const std::vector<std::pair<int, std::string>> names = {
      {0, "get"},    {1, "upsert"},       {2, "query"},        {3, "delete"},
      {4, "init"},   {5, "train"},        {6, "delete_index"}, {7, "create_index"},
      {8, "list_indexes"}, {9, "unknown"}, {-1, "unknown"},
  };
  for (const auto& [type, name] : names) EXPECT_EQ(TelemetryEventTypeName(type), name) << type;
}

TEST(TelemetryEventTest, BatchTextIsCompactWithSortedMembers) {
  const json usage = MakeUsageEvent("u-1", 0, 3, 1700000000);
  const json error = MakeErrorEvent("u-2", "Exception in Query: \xC3\xA9t\xC3\xA9", 1700000001);
  const json events[] = {usage, error};
  EXPECT_EQ(SerializeBatch(events, events + 1),
            R"({"events":[{"count":3,"timestamp":1700000000,"type":"get","uuid":"u-1"}]})");
  EXPECT_EQ(SerializeBatch(events + 1, events + 2),
            "{\"events\":[{\"description\":\"Exception in Query: \xC3\xA9t\xC3\xA9\","
            "\"timestamp\":1700000001,\"type\":\"error\",\"uuid\":\"u-2\"}]}");
  EXPECT_EQ(SerializeBatch(events, events), R"({"events":[]})");
}

TEST(TelemetryEventTest, SerialisationReplacesBytesThatAreNotUtf8) {
  const json error = MakeErrorEvent("u", "cut \xE2\x82", 1);
  std::string text;
  ASSERT_NO_THROW(text = SerializeBatch(&error, &error + 1));
  EXPECT_NE(text.find("cut \xEF\xBF\xBD"), std::string::npos) << text;
  EXPECT_NO_THROW(json::parse(text));
}

// xxxxxxxx-xxxx-4xxx-[89ab]xxx-xxxxxxxxxxxx, lowercase hexadecimal.
bool IsUuidV4(const std::string& uuid) {
  if (uuid.size() != 36) return false;
  for (size_t i = 0; i < uuid.size(); ++i) {
    const char c = uuid[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return uuid[14] == '4' && std::string("89ab").find(uuid[19]) != std::string::npos;
}

TEST(TelemetryEventTest, UuidsAreRandomVersion4) {
  std::set<std::string> seen;
  std::set<char> variants;
  for (int i = 0; i < 5000; ++i) {
    const std::string uuid = TelemetryAggregator::GenerateUUID();
    ASSERT_EQ(uuid.size(), 36u);
    ASSERT_TRUE(IsUuidV4(uuid)) << uuid;
    seen.insert(uuid);
    variants.insert(uuid[19]);
  }
  EXPECT_EQ(seen.size(), 5000u);
  EXPECT_EQ(variants, (std::set<char>{'8', '9', 'a', 'b'}));
}

}  // namespace
}  // namespace nivora::internal
