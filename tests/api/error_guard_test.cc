#include "api/error_guard.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "telemetry/scripted_transport.h"

namespace nivora::internal {
namespace {

using testing::EventsOf;
using testing::ScriptedTransport;
using testing::TransportScript;

struct StoredStateError : std::runtime_error {
  explicit StoredStateError(int code) : std::runtime_error("Decryption failed for 1 items"), code(code) {}
  int code;
};

class ErrorGuardTest : public ::testing::Test {
 protected:
  ErrorGuardTest() {
    TelemetryOptions options;
    options.transport = std::make_unique<ScriptedTransport>(script_);
    options.flush_interval = std::chrono::hours(1);
    telemetry_ = std::make_unique<TelemetryAggregator>("test-key", std::move(options));
  }

  // The error descriptions the aggregator sends on its next flush.
  std::vector<std::string> RecordedErrors() {
    const size_t before = script_->Bodies().size();
    telemetry_->Flush();
    std::vector<std::string> errors;
    const std::vector<std::string> bodies = script_->Bodies();
    for (size_t i = before; i < bodies.size(); ++i) {
      for (const auto& event : EventsOf(bodies[i])) {
        if (event["type"] == "error") errors.push_back(event["description"]);
      }
    }
    return errors;
  }

  static void ExpectAtRest() {
    EXPECT_EQ(t_api_call_depth, 0);
    EXPECT_FALSE(t_api_error_reported);
  }

  std::shared_ptr<TransportScript> script_ = std::make_shared<TransportScript>();
  std::unique_ptr<TelemetryAggregator> telemetry_;
};

TEST_F(ErrorGuardTest, SuccessReturnsTheResultUntouchedAndLeavesNoTrace) {
  ::testing::internal::CaptureStderr();
  auto value = Guarded("Get", telemetry_.get(), [] { return std::make_unique<int>(7); });
  int depth_inside = -1;
  Guarded("Query", telemetry_.get(), [&] {
    depth_inside = Guarded("Get", nullptr, [] { return t_api_call_depth; });
  });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(*value, 7);
  EXPECT_EQ(depth_inside, 2);
  ExpectAtRest();
  EXPECT_TRUE(RecordedErrors().empty());
}

TEST_F(ErrorGuardTest, NestedFailureIsRecordedOnceAndPrintedPerGuard) {
  const void* thrown = nullptr;
  const void* caught = nullptr;
  ::testing::internal::CaptureStderr();
  try {
    Guarded("LoadIndex", telemetry_.get(), [&] {
      Guarded("EncryptedIndex", telemetry_.get(), [&] {
        try {
          throw StoredStateError(42);
        } catch (const StoredStateError& e) {
          thrown = &e;
          throw;
        }
      });
    });
  } catch (const StoredStateError& e) {
    caught = &e;
    EXPECT_EQ(e.code, 42);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(caught, thrown) << "the guard must rethrow the same object";
  EXPECT_EQ(err,
            "[ERROR] Exception in EncryptedIndex: Decryption failed for 1 items\n"
            "[ERROR] Exception in LoadIndex: Decryption failed for 1 items\n");
  ExpectAtRest();
  EXPECT_EQ(RecordedErrors(),
            std::vector<std::string>{"Exception in EncryptedIndex: Decryption failed for 1 items"});
}

TEST_F(ErrorGuardTest, TwoFailuresInARowAreTwoRecords) {
  for (int i = 0; i < 2; ++i) {
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(Guarded("Upsert", telemetry_.get(),
                         [] { throw std::invalid_argument("Vectors must contain only finite values."); }),
                 std::invalid_argument);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[ERROR] Exception in Upsert: Vectors must contain only finite values.\n");
    ExpectAtRest();
  }
  EXPECT_EQ(RecordedErrors(),
            (std::vector<std::string>{"Exception in Upsert: Vectors must contain only finite values.",
                                      "Exception in Upsert: Vectors must contain only finite values."}));
}

TEST_F(ErrorGuardTest, ObjectThatIsNotAStdExceptionIsReportedAsUnknownAndRethrown) {
  ::testing::internal::CaptureStderr();
  try {
    Guarded("Upsert", telemetry_.get(), []() -> int { throw 1234; });
    FAIL() << "no exception";
  } catch (int value) {
    EXPECT_EQ(value, 1234);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[ERROR] Unknown exception in Upsert\n");
  ExpectAtRest();
  EXPECT_EQ(RecordedErrors(), std::vector<std::string>{"Unknown exception in Upsert"});
}

TEST_F(ErrorGuardTest, GuardWithoutAggregatorPrintsButLeavesTheRecordToAnOuterGuard) {
  // Alone: a line, no record, the flag untouched.
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(Guarded("Get", nullptr, [] { throw std::runtime_error("Decryption failed for 2 items"); }),
               std::runtime_error);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[ERROR] Exception in Get: Decryption failed for 2 items\n");
  ExpectAtRest();
  EXPECT_TRUE(RecordedErrors().empty());

  // Inside a guard that has one: the outer guard records it.
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(Guarded("LoadIndex", telemetry_.get(),
                       [] {
                         Guarded("EncryptedIndex", nullptr,
                                 [] { throw std::runtime_error("Decryption failed for 2 items"); });
                       }),
               std::runtime_error);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[ERROR] Exception in EncryptedIndex: Decryption failed for 2 items\n[ERROR] Exception in LoadIndex: Decryption failed for 2 items\n");
  ExpectAtRest();
  EXPECT_EQ(RecordedErrors(), std::vector<std::string>{"Exception in LoadIndex: Decryption failed for 2 items"});
}

TEST_F(ErrorGuardTest, CaughtInnerFailureStillCountsAsReportedUntilTheOutermostEnds) {
  // A body that handles an inner failure: the flag stays set until the
  // outermost guard ends, so a second failure inside it is not recorded.
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(Guarded("TrainIndex", telemetry_.get(),
                       [&] {
                         try {
                           Guarded("Query", telemetry_.get(),
                                   [] { throw std::runtime_error("Decryption failed for 3 items"); });
                         } catch (const std::runtime_error&) {
                         }
                         EXPECT_EQ(t_api_call_depth, 1);
                         EXPECT_TRUE(t_api_error_reported);
                         throw std::runtime_error("second");
                       }),
               std::runtime_error);
  ::testing::internal::GetCapturedStderr();
  ExpectAtRest();
  EXPECT_EQ(RecordedErrors(), std::vector<std::string>{"Exception in Query: Decryption failed for 3 items"});
}

TEST_F(ErrorGuardTest, StateIsPerThread) {
  Guarded("Query", telemetry_.get(), [&] {
    int other_depth = -1;
    bool other_flag = true;
    std::thread([&] {
      other_depth = t_api_call_depth;
      other_flag = t_api_error_reported;
    }).join();
    EXPECT_EQ(other_depth, 0);
    EXPECT_FALSE(other_flag);
  });
}

}  // namespace
}  // namespace nivora::internal
