#include "telemetry/telemetry_aggregator.h"

#include <ctime>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_transport.h"

namespace nivora::internal {
namespace {

using testing::EventsOf;
using testing::Status;

// A known error message that tells records apart; sent as written.
std::string ErrorNumber(int i) {
  return "Exception in Get: Decryption failed for " + std::to_string(i) + " items";
}
using testing::TransportError;
using testing::TransportScript;
using testing::ScriptedTransport;
using nlohmann::json;

constexpr auto kNever = std::chrono::hours(1);

std::unique_ptr<TelemetryAggregator> MakeAggregator(
    const std::shared_ptr<TransportScript>& script,
    std::chrono::milliseconds flush_interval = kNever,
    std::chrono::milliseconds retry_pause = std::chrono::milliseconds(0)) {
  TelemetryOptions options;
  if (script) options.transport = std::make_unique<ScriptedTransport>(script);
  options.flush_interval = flush_interval;
  options.retry_pause = retry_pause;
  return std::make_unique<TelemetryAggregator>("test-key", std::move(options));
}

class AggregatorTest : public ::testing::Test {
 protected:
  std::shared_ptr<TransportScript> script_ = std::make_shared<TransportScript>();
  std::unique_ptr<TelemetryAggregator> aggregator_ = MakeAggregator(script_);
};

TEST_F(AggregatorTest, FlushWithNothingPendingSendsNothing) {
  aggregator_->Flush();
  EXPECT_TRUE(script_->Bodies().empty());
}

TEST_F(AggregatorTest, CountersBecomeOneUsageEventPerKindAndReset) {
  const std::time_t before = std::time(nullptr);
  for (int i = 0; i < 3; ++i) aggregator_->IncrementCounter(TelemetryEventType::Get, 1);
  aggregator_->IncrementCounter(TelemetryEventType::Query, 10);
  aggregator_->Flush();
  const std::time_t after = std::time(nullptr);

  ASSERT_EQ(script_->Bodies().size(), 1u);
  const json events = EventsOf(script_->Bodies()[0]);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["type"], "get");
  EXPECT_EQ(events[0]["count"], 3);
  EXPECT_EQ(events[1]["type"], "query");
  EXPECT_EQ(events[1]["count"], 10);
  // One timestamp for every usage event of a flush.
  EXPECT_EQ(events[0]["timestamp"], events[1]["timestamp"]);
  EXPECT_GE(events[0]["timestamp"].get<std::time_t>(), before);
  EXPECT_LE(events[0]["timestamp"].get<std::time_t>(), after);
  EXPECT_NE(events[0]["uuid"], events[1]["uuid"]);

  aggregator_->Flush();
  EXPECT_EQ(script_->Bodies().size(), 1u) << "counters were not reset";
}

TEST_F(AggregatorTest, CounterAdditionsSaturateAndIgnoreNonPositive) {
  constexpr int kMax = std::numeric_limits<int>::max();
  aggregator_->IncrementCounter(TelemetryEventType::Upsert, 0);
  aggregator_->IncrementCounter(TelemetryEventType::Upsert, -5);
  aggregator_->IncrementCounter(TelemetryEventType::Get, int64_t{3'000'000'000});  // rows x top_k
  aggregator_->IncrementCounter(TelemetryEventType::Query, kMax - 1);
  aggregator_->IncrementCounter(TelemetryEventType::Query, 7);
  aggregator_->IncrementCounter(TelemetryEventType::Train, std::numeric_limits<int64_t>::max());
  aggregator_->IncrementCounter(static_cast<TelemetryEventType>(42), 2);
  aggregator_->Flush();

  const json events = EventsOf(script_->Bodies().at(0));
  ASSERT_EQ(events.size(), 4u) << events.dump();
  EXPECT_EQ(events[0]["type"], "get");
  EXPECT_EQ(events[0]["count"].get<int64_t>(), kMax);
  EXPECT_EQ(events[1]["type"], "query");
  EXPECT_EQ(events[1]["count"].get<int64_t>(), kMax);
  EXPECT_EQ(events[2]["type"], "train");
  EXPECT_EQ(events[2]["count"].get<int64_t>(), kMax);
  EXPECT_EQ(events[3]["type"], "unknown");
  EXPECT_EQ(events[3]["count"], 2);

  // A saturated counter starts again from 0 after its flush.
  aggregator_->IncrementCounter(TelemetryEventType::Query, 5);
  aggregator_->Flush();
  const json next = EventsOf(script_->Bodies().at(1));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0]["count"], 5);
}

TEST_F(AggregatorTest, BatchIsRetryQueueThenUsageThenErrors) {
  script_->Answer({Status(503), Status(503), Status(503)});
  aggregator_->RecordError("Exception in Get: Decryption failed for 1 items");
  aggregator_->IncrementCounter(TelemetryEventType::Upsert, 2);
  ::testing::internal::CaptureStderr();
  aggregator_->Flush();
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(script_->Bodies().size(), 3u);
  const json failed = EventsOf(script_->Bodies()[0]);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0]["type"], "upsert");
  EXPECT_EQ(failed[1]["type"], "error");

  aggregator_->RecordError("Exception in Get: Decryption failed for 2 items");
  aggregator_->IncrementCounter(TelemetryEventType::Delete, 1);
  aggregator_->Flush();
  ASSERT_EQ(script_->Bodies().size(), 4u);
  const json sent = EventsOf(script_->Bodies()[3]);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], failed[0]) << "a resent event keeps its uuid and time";
  EXPECT_EQ(sent[1], failed[1]);
  EXPECT_EQ(sent[2]["type"], "delete");
  EXPECT_EQ(sent[3]["description"], "Exception in Get: Decryption failed for 2 items");

  aggregator_->Flush();
  EXPECT_EQ(script_->Bodies().size(), 4u) << "a sent batch must not be sent again";
}

TEST_F(AggregatorTest, ErrorRecordsKeepTheNewest128) {
  const std::time_t before = std::time(nullptr);
  aggregator_->RecordError("");
  for (int i = 0; i < 130; ++i) aggregator_->RecordError(ErrorNumber(i));
  aggregator_->Flush();

  const json events = EventsOf(script_->Bodies().at(0));
  ASSERT_EQ(events.size(), 128u);
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i]["type"], "error");
    EXPECT_EQ(events[i]["description"], ErrorNumber(i + 2));
    EXPECT_GE(events[i]["timestamp"].get<std::time_t>(), before);
    EXPECT_FALSE(events[i].contains("count"));
  }
}

TEST_F(AggregatorTest, ErrorDescriptionsAreCutRepairedAndRedacted) {
  const std::string long_known =
      "Exception in Get: Decryption failed for " + std::string(300, '7') + " items";
  aggregator_->RecordError(long_known);
  aggregator_->RecordError(std::string(255, 'a') + "\xC3\xA9");
  aggregator_->RecordError("bad \xFF byte");
  aggregator_->RecordError("Exception in LoadIndex: Index name secret-index already exists");
  aggregator_->Flush();

  const json events = EventsOf(script_->Bodies().at(0));
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0]["description"], long_known.substr(0, 256));
  EXPECT_EQ(events[1]["description"], "<redacted>");
  EXPECT_EQ(events[2]["description"], "<redacted>");
  EXPECT_EQ(events[3]["description"],
            "Exception in LoadIndex: Index name <redacted> already exists");
}

// Seven failed flushes of 137 events (9 counters, 128 errors) queue 959;
// 44 more errors make a failed batch of 1003.
TEST_F(AggregatorTest, RetryQueueKeepsNewest1000AndReportsTheLoss) {
  script_->SetFallback(Status(503));
  const auto add_errors = [&](int n) {
    for (int i = 0; i < n; ++i) aggregator_->RecordError(ErrorNumber(i));
  };
  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 7; ++round) {
    for (int type = 0; type < kTelemetryEventTypeCount; ++type) {
      aggregator_->IncrementCounter(static_cast<TelemetryEventType>(type), 1);
    }
    add_errors(128);
    aggregator_->Flush();
  }
  EXPECT_EQ(EventsOf(script_->Bodies().back()).size(), 959u);
  add_errors(44);
  aggregator_->Flush();
  const std::string err = ::testing::internal::GetCapturedStderr();

  const json overflowing = EventsOf(script_->Bodies().back());
  ASSERT_EQ(overflowing.size(), 1003u);
  EXPECT_NE(err.find("[Telemetry] HTTP error 503 on attempt 3\n"), std::string::npos);
  EXPECT_NE(err.find("[Telemetry] Warning: Retry queue size limit reached, "
                     "discarding 3 older events.\n"),
            std::string::npos)
      << err;

  script_->SetFallback(Status(200));
  aggregator_->Flush();
  const json resent = EventsOf(script_->Bodies().back());
  ASSERT_EQ(resent.size(), 1001u);
  EXPECT_EQ(resent[0], overflowing[3]);
  EXPECT_EQ(resent[999], overflowing[1002]);
  EXPECT_EQ(resent[1000]["type"], "error");
  EXPECT_EQ(resent[1000]["description"],
            "Retry queue size limit reached, discarding older events.");
}

struct AttemptCase {
  std::vector<PostOutcome> answers;
  bool sent;
  size_t attempts;
  std::string stderr_text;
};

TEST(SendEventsTest, AttemptsAndTheirLines) {
  const std::vector<AttemptCase> cases = {
      {{Status(204)}, true, 1, ""},
      {{Status(200)}, true, 1, ""},
      {{Status(503), Status(503), Status(503)},
       false,
       3,
       "[Telemetry] HTTP error 503 on attempt 1\n[Telemetry] HTTP error 503 on attempt 2\n"
       "[Telemetry] HTTP error 503 on attempt 3\n"},
      {{Status(302), Status(199), Status(300)},
       false,
       3,
       "[Telemetry] HTTP error 302 on attempt 1\n[Telemetry] HTTP error 199 on attempt 2\n"
       "[Telemetry] HTTP error 300 on attempt 3\n"},
      {{TransportError("Couldn't connect to server"), Status(500), Status(299)},
       true,
       3,
       "[Telemetry] CURL error: Couldn't connect to server on attempt 1\n"
       "[Telemetry] HTTP error 500 on attempt 2\n"},
  };
  for (const AttemptCase& c : cases) {
    auto script = std::make_shared<TransportScript>();
    for (const PostOutcome& answer : c.answers) script->Answer({answer});
    auto aggregator = MakeAggregator(script);
    const json event = {{"type", "get"}};
    ::testing::internal::CaptureStderr();
    const bool sent = aggregator->SendEvents(&event, &event + 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(sent, c.sent) << c.stderr_text;
    EXPECT_EQ(script->Bodies().size(), c.attempts) << c.stderr_text;
    EXPECT_EQ(err, c.stderr_text);
  }
}

TEST(SendEventsTest, PausesGrowBetweenAttempts) {
  auto script = std::make_shared<TransportScript>();
  script->SetFallback(Status(503));
  auto aggregator = MakeAggregator(script, kNever, std::chrono::milliseconds(40));
  const json event = {{"type", "get"}};
  ::testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(aggregator->SendEvents(&event, &event + 1));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ::testing::internal::GetCapturedStderr();
  EXPECT_GE(elapsed, std::chrono::milliseconds(120));  // 40 + 80
}

TEST(SendEventsTest, EmptyRangeAndMissingTransport) {
  auto script = std::make_shared<TransportScript>();
  auto aggregator = MakeAggregator(script);
  const json event = {{"type", "get"}};
  EXPECT_TRUE(aggregator->SendEvents(&event, &event));
  EXPECT_TRUE(script->Bodies().empty());

  auto silent = MakeAggregator(nullptr);
  EXPECT_FALSE(silent->SendEvents(&event, &event + 1));
  // Counters and errors are taken and dropped; nothing else happens.
  silent->IncrementCounter(TelemetryEventType::Get, 1);
  silent->RecordError("x");
  silent->Flush();
  silent->SendInitEvent();
}

TEST(SendEventsTest, ThrowingTransportIsAFailedAttempt) {
  auto script = std::make_shared<TransportScript>();
  script->throw_on_post = true;
  auto aggregator = MakeAggregator(script, std::chrono::milliseconds(5));
  ::testing::internal::CaptureStderr();
  aggregator->IncrementCounter(TelemetryEventType::Get, 1);
  // The worker keeps flushing (and failing) without ending the process.
  EXPECT_TRUE(script->WaitForBodies(6));
  aggregator.reset();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[Telemetry] CURL error: boom on attempt 1\n"), std::string::npos) << err;
}

TEST_F(AggregatorTest, InitEventIsSentAtOnceAndNeverQueued) {
  aggregator_->IncrementCounter(TelemetryEventType::Train, 1);
  script_->Answer({Status(503), Status(503), Status(503)});
  ::testing::internal::CaptureStderr();
  aggregator_->SendInitEvent();
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(script_->Bodies().size(), 3u);
  const json init = EventsOf(script_->Bodies()[0]);
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0]["type"], "init");
  EXPECT_EQ(init[0]["count"], 1);

  aggregator_->Flush();
  const json flushed = EventsOf(script_->Bodies().back());
  ASSERT_EQ(flushed.size(), 1u) << "the failed init event must not be queued";
  EXPECT_EQ(flushed[0]["type"], "train");
}

TEST(AggregatorWorkerTest, FlushesOnItsInterval) {
  auto script = std::make_shared<TransportScript>();
  auto aggregator = MakeAggregator(script, std::chrono::milliseconds(20));
  aggregator->IncrementCounter(TelemetryEventType::Delete, 4);
  ASSERT_TRUE(script->WaitForBodies(1));
  EXPECT_EQ(EventsOf(script->Bodies()[0])[0]["count"], 4);
}

TEST(AggregatorWorkerTest, DestructionWakesTheWorkerAndFlushesOnce) {
  auto script = std::make_shared<TransportScript>();
  auto aggregator = MakeAggregator(script);  // worker waits an hour
  aggregator->IncrementCounter(TelemetryEventType::CreateIndex, 1);
  const auto start = std::chrono::steady_clock::now();
  aggregator.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  const auto bodies = script->Bodies();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(EventsOf(bodies[0])[0]["type"], "create_index");
}

TEST(AggregatorWorkerTest, ConcurrentUpdatesAreAllCounted) {
  auto script = std::make_shared<TransportScript>();
  auto aggregator = MakeAggregator(script, std::chrono::milliseconds(1));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        aggregator->IncrementCounter(TelemetryEventType::Upsert, 1);
        if (i % 100 == 0) aggregator->Flush();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  aggregator.reset();

  int64_t total = 0;
  for (const std::string& body : script->Bodies()) {
    for (const json& event : EventsOf(body)) total += event["count"].get<int64_t>();
  }
  EXPECT_EQ(total, kThreads * kPerThread);
}

TEST(AggregatorConstructionTest, ApiKeysWithControlCharactersAreRefused) {
  const std::vector<std::string> refused = {"a\nb", "a\rb", "\x7f", "key\t",
                                            std::string("a\0b", 3)};
  for (const std::string& key : refused) {
    EXPECT_THROW(TelemetryAggregator(key, TelemetryOptions{}), std::invalid_argument)
        << ::testing::PrintToString(key);
  }
  const std::vector<std::string> accepted = {"", "sk-live_0123456789abcdef", "k\xC3\xA9y"};
  for (const std::string& key : accepted) {
    EXPECT_NO_THROW(TelemetryAggregator(key, TelemetryOptions{}));
  }
}

}  // namespace
}  // namespace nivora::internal
