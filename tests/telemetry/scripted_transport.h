// A telemetry transport for tests: records every body it is given and
// answers from a script (then with its fallback answer). The test keeps the
// shared state; the aggregator owns the transport.
#ifndef NIVORA_TESTS_TELEMETRY_SCRIPTED_TRANSPORT_H_
#define NIVORA_TESTS_TELEMETRY_SCRIPTED_TRANSPORT_H_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "telemetry/telemetry_transport.h"

namespace nivora::internal::testing {

inline PostOutcome Status(long status) { return {true, {}, status}; }
inline PostOutcome TransportError(const std::string& text) { return {false, text, 0}; }

struct TransportScript {
  std::mutex mutex;
  std::condition_variable posted;
  std::vector<std::string> bodies;       // every body, in order
  std::deque<PostOutcome> answers;       // used first, front to back
  PostOutcome fallback = Status(204);    // then this
  bool throw_on_post = false;            // Post throws std::runtime_error("boom")

  void Answer(std::initializer_list<PostOutcome> outcomes) {
    std::lock_guard<std::mutex> lock(mutex);
    answers.insert(answers.end(), outcomes);
  }
  void SetFallback(PostOutcome outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    fallback = outcome;
  }
  std::vector<std::string> Bodies() {
    std::lock_guard<std::mutex> lock(mutex);
    return bodies;
  }
  // Waits until at least n bodies arrived; false after the timeout.
  bool WaitForBodies(size_t n, std::chrono::seconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return posted.wait_for(lock, timeout, [&] { return bodies.size() >= n; });
  }
};

class ScriptedTransport : public TelemetryTransport {
 public:
  explicit ScriptedTransport(std::shared_ptr<TransportScript> script)
      : script_(std::move(script)) {}

  PostOutcome Post(const std::string& body) override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    script_->bodies.push_back(body);
    script_->posted.notify_all();
    if (script_->throw_on_post) throw std::runtime_error("boom");
    if (script_->answers.empty()) return script_->fallback;
    PostOutcome outcome = script_->answers.front();
    script_->answers.pop_front();
    return outcome;
  }

 private:
  std::shared_ptr<TransportScript> script_;
};

// The "events" array of a sent body.
inline nlohmann::json EventsOf(const std::string& body) {
  return nlohmann::json::parse(body).at("events");
}

}  // namespace nivora::internal::testing

#endif  // NIVORA_TESTS_TELEMETRY_SCRIPTED_TRANSPORT_H_
