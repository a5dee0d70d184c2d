#include "telemetry/telemetry_aggregator.h"

#include <algorithm>
#include <ctime>
#include <iostream>
#include <iterator>
#include <limits>
#include <utility>

#include "telemetry/curl_transport.h"
#include "telemetry/error_description.h"

namespace nivora::internal {
namespace {

constexpr const char* kRetryLimitMessage =
    "Retry queue size limit reached, discarding older events.";

// Keeps the worker's deadline arithmetic far from overflow and its loop
// from spinning.
std::chrono::milliseconds ClampInterval(std::chrono::milliseconds interval) {
  return std::clamp<std::chrono::milliseconds>(interval, std::chrono::milliseconds(1),
                                               std::chrono::hours(24));
}

TelemetryOptions OptionsFromEnvironment(const std::string& api_key) {
  TelemetryOptions options;
  options.transport = MakeTelemetryTransportFromEnvironment(api_key);
  return options;
}

const std::string& CheckedApiKey(const std::string& api_key) {
  CheckApiKey(api_key);
  return api_key;
}

}  // namespace

TelemetryAggregator::TelemetryAggregator(const std::string& api_key)
    : TelemetryAggregator(api_key, OptionsFromEnvironment(api_key)) {}

TelemetryAggregator::TelemetryAggregator(const std::string& api_key, TelemetryOptions options)
    : api_key_(CheckedApiKey(api_key)),
      transport_(std::move(options.transport)),
      flush_interval_(ClampInterval(options.flush_interval)),
      retry_pause_(options.retry_pause) {
  for (int type = 0; type < kTelemetryEventTypeCount; ++type) counters_[type] = 0;
  errors_.reserve(kMaxErrorRecords);
  worker_ = std::thread(&TelemetryAggregator::WorkerLoop, this);
}

TelemetryAggregator::~TelemetryAggregator() {
  if (stop_.exchange(true)) return;
  try {
    {
      std::lock_guard<std::mutex> lock(wake_mutex_);
      wake_cv_.notify_all();
    }
    worker_.join();
  } catch (...) {
    // A thread that cannot be joined must not take the process down with
    // std::terminate in ~thread.
    if (worker_.joinable()) worker_.detach();
  }
  Flush();
}

void TelemetryAggregator::WorkerLoop() {
  try {
    while (true) {
      const auto deadline = std::chrono::steady_clock::now() + flush_interval_;
      if (stop_.load()) return;
      {
        std::unique_lock<std::mutex> lock(wake_mutex_);
        wake_cv_.wait_until(lock, deadline, [this] { return stop_.load(); });
      }
      if (stop_.load()) return;
      Flush();
    }
  } catch (...) {
    std::cerr << "[Telemetry] Background worker stopped by an unexpected error" << std::endl;
  }
}

void TelemetryAggregator::IncrementCounter(TelemetryEventType type, int64_t n) {
  if (n <= 0) return;
  constexpr int64_t kMax = std::numeric_limits<int>::max();
  std::lock_guard<std::mutex> lock(counters_mutex_);
  int& count = counters_[static_cast<int>(type)];
  count = static_cast<int>(n >= kMax - count ? kMax : count + n);
}

void TelemetryAggregator::RecordError(const std::string& message) {
  if (message.empty()) return;
  AppendErrorRecord({MakeErrorDescription(message), std::time(nullptr)});
}

void TelemetryAggregator::AppendErrorRecord(TelemetryErrorRecord record) {
  std::lock_guard<std::mutex> lock(errors_mutex_);
  if (errors_.size() >= kMaxErrorRecords) errors_.erase(errors_.begin());
  errors_.push_back(std::move(record));
}

void TelemetryAggregator::Flush() {
  try {
    std::vector<nlohmann::json> batch = TakeBatch();
    // Without a transport the taken data is dropped: nothing leaves.
    if (batch.empty() || transport_ == nullptr) return;
    if (SendEvents(batch.data(), batch.data() + batch.size())) return;
    RequeueFailedBatch(std::move(batch));
  } catch (const std::exception& e) {
    std::cerr << "[Telemetry] Flush failed: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "[Telemetry] Flush failed" << std::endl;
  }
}

std::vector<nlohmann::json> TelemetryAggregator::TakeBatch() {
  // Every usage event of one flush carries the same time.
  const std::time_t now = std::time(nullptr);

  std::vector<std::pair<int, int>> counts;
  {
    std::lock_guard<std::mutex> lock(counters_mutex_);
    for (auto& [type, count] : counters_) {
      if (count > 0) counts.emplace_back(type, std::exchange(count, 0));
    }
  }
  // Their order carries no meaning; by type keeps batches reproducible.
  std::sort(counts.begin(), counts.end());

  std::vector<TelemetryErrorRecord> records;
  records.reserve(kMaxErrorRecords);  // swapped in: errors_ keeps its room
  {
    std::lock_guard<std::mutex> lock(errors_mutex_);
    records.swap(errors_);
  }

  std::vector<nlohmann::json> fresh;
  fresh.reserve(counts.size() + records.size());
  for (const auto& [type, count] : counts) {
    fresh.push_back(MakeUsageEvent(GenerateUUID(), type, count, now));
  }
  for (const TelemetryErrorRecord& record : records) {
    fresh.push_back(MakeErrorEvent(GenerateUUID(), record.message, record.timestamp));
  }

  std::lock_guard<std::mutex> lock(retry_mutex_);
  std::vector<nlohmann::json> batch = std::exchange(retry_queue_, {});
  batch.insert(batch.end(), std::make_move_iterator(fresh.begin()),
               std::make_move_iterator(fresh.end()));
  return batch;
}

void TelemetryAggregator::RequeueFailedBatch(std::vector<nlohmann::json> batch) {
  std::lock_guard<std::mutex> lock(retry_mutex_);
  const size_t room = kMaxRetryEvents - std::min(retry_queue_.size(), kMaxRetryEvents);
  const size_t discarded = batch.size() > room ? batch.size() - room : 0;
  // The oldest events of the batch give way.
  retry_queue_.insert(retry_queue_.end(),
                      std::make_move_iterator(batch.begin() + static_cast<ptrdiff_t>(discarded)),
                      std::make_move_iterator(batch.end()));
  if (discarded == 0) return;
  std::cerr << "[Telemetry] Warning: Retry queue size limit reached, "
            << "discarding " << discarded << " older events." << std::endl;
  RecordError(kRetryLimitMessage);  // errors_mutex_ under retry_mutex_: the one allowed nesting
}

}  // namespace nivora::internal
