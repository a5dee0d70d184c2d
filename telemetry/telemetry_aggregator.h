// TelemetryAggregator collects the usage telemetry of one nivora::Client and
// its indexes: a count per kind of operation and a list of error reports.
// A background worker turns them into JSON events (telemetry_event.h) every
// flush interval and posts them through its transport; a batch that fails
// waits in a bounded retry queue for the next flush. Without a transport
// (no endpoint configured) nothing is ever sent: counters still count and
// flushes still empty them.
//
// Held by std::shared_ptr; neither copied nor moved. Every member function
// is safe to call from several threads at once. Nothing it does on the
// worker thread or in the destructor throws; sending failures only write
// lines to standard error. Error messages are reduced to safe descriptions
// (error_description.h) before they are kept.
#ifndef NIVORA_TELEMETRY_TELEMETRY_AGGREGATOR_H_
#define NIVORA_TELEMETRY_TELEMETRY_AGGREGATOR_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <nlohmann/json.hpp>

#include "telemetry/telemetry_event.h"
#include "telemetry/telemetry_transport.h"

namespace nivora::internal {

struct TelemetryOptions {
  // Where batches go. Null: nothing is sent. Default: null
  std::unique_ptr<TelemetryTransport> transport;
  // Wait between the end of one background flush and the next.
  // Default: 10 s
  std::chrono::milliseconds flush_interval{std::chrono::seconds(10)};
  // Pause after a failed first attempt of a send; the pause after the second
  // is twice as long. Default: 1 s
  std::chrono::milliseconds retry_pause{std::chrono::seconds(1)};
};

class TelemetryAggregator {
 public:
  // Most error reports kept between flushes; older ones give way.
  static constexpr size_t kMaxErrorRecords = 128;
  // Most events kept for resending; older ones give way.
  static constexpr size_t kMaxRetryEvents = 1000;
  // Attempts per send.
  static constexpr int kSendAttempts = 3;

  // Sends to the endpoint the environment names, read once here
  // (telemetry_endpoint.h). Throws std::invalid_argument when api_key holds
  // control characters (CheckApiKey). Starts the worker.
  explicit TelemetryAggregator(const std::string& api_key);

  // Sends through options.transport. Same checks; starts the worker.
  TelemetryAggregator(const std::string& api_key, TelemetryOptions options);

  // Stops the worker (waking it at once) and flushes one last time; what
  // that flush cannot send is lost.
  ~TelemetryAggregator();

  TelemetryAggregator(const TelemetryAggregator&) = delete;
  TelemetryAggregator& operator=(const TelemetryAggregator&) = delete;

  // Adds n (> 0; anything else is ignored) to the counter of type. Counts
  // are 32-bit and saturate at INT_MAX; n is 64-bit so that a caller's
  // product (rows x top_k) arrives whole and saturates here instead of
  // wrapping on the way in. A type outside the enum gets its own counter,
  // sent as "unknown".
  void IncrementCounter(TelemetryEventType type, int64_t n);

  // Queues an error report with the current time; an empty message is
  // ignored. Keeps the newest kMaxErrorRecords reports.
  void RecordError(const std::string& message);

  // Takes every counter above 0 (resetting it) and every error report and
  // sends them, after the events of the retry queue, as one batch; a failed
  // batch goes back into the retry queue. Blocks for the send. Never throws.
  void Flush();

  // Sends the events [first, last) as one batch with up to kSendAttempts
  // attempts, writing a line to standard error for each failed one. Returns
  // true when the service answered 2xx; true for an empty range; false
  // without a transport. Never throws.
  bool SendEvents(const nlohmann::json* first, const nlohmann::json* last);

  // Sends one "init" event (count 1, now) at once on the calling thread and
  // returns whatever the outcome; a failed one is not retried later. Returns
  // at once without a transport. Never throws.
  void SendInitEvent();

  // A random version-4 UUID, "xxxxxxxx-xxxx-4xxx-[89ab]xxx-xxxxxxxxxxxx".
  static std::string GenerateUUID();

 private:
  void WorkerLoop();
  // Builds the batch of this flush; empty when there is nothing to send.
  std::vector<nlohmann::json> TakeBatch();
  // Puts a batch that could not be sent back into the retry queue.
  void RequeueFailedBatch(std::vector<nlohmann::json> batch);
  // Stores an already safe description.
  void AppendErrorRecord(TelemetryErrorRecord record);

  // Fixed after construction.
  const std::string api_key_;
  const std::unique_ptr<TelemetryTransport> transport_;
  const std::chrono::milliseconds flush_interval_;
  const std::chrono::milliseconds retry_pause_;

  std::atomic<bool> stop_{false};  // set once, by the destructor
  std::thread worker_;             // runs WorkerLoop
  std::condition_variable wake_cv_;
  std::mutex wake_mutex_;  // the worker's wait runs under it

  std::mutex counters_mutex_;
  absl::flat_hash_map<int, int> counters_;  // guarded by counters_mutex_

  std::mutex errors_mutex_;
  std::vector<TelemetryErrorRecord> errors_;  // guarded by errors_mutex_; oldest first

  std::mutex retry_mutex_;  // may be held while taking errors_mutex_, never the reverse
  std::vector<nlohmann::json> retry_queue_;  // guarded by retry_mutex_; oldest first
};

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_TELEMETRY_AGGREGATOR_H_
