// TelemetryAggregator::GenerateUUID: random version-4 identifiers.
#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

#include "telemetry/telemetry_aggregator.h"

namespace nivora::internal {
namespace {

// One generator for the process, its whole state seeded once from the
// system (a single 32-bit seed would repeat across a fleet of processes);
// the worker and API threads share it under a mutex.
std::mt19937 SeededGenerator() {
  std::random_device device("/dev/urandom");
  std::array<uint32_t, std::mt19937::state_size> seed;
  for (uint32_t& word : seed) word = device();
  std::seed_seq sequence(seed.begin(), seed.end());
  return std::mt19937(sequence);
}

class UuidSource {
 public:
  UuidSource() : generator_(SeededGenerator()) {}

  void Draw(uint32_t (&values)[4]) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint32_t& value : values) value = static_cast<uint32_t>(generator_());
  }

 private:
  std::mutex mutex_;
  std::mt19937 generator_;  // guarded by mutex_
};

}  // namespace

std::string TelemetryAggregator::GenerateUUID() {
  static UuidSource source;
  uint32_t r[4];
  source.Draw(r);
  char text[37];
  std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%04x-%04x%08x", r[0], r[1] >> 16,
                (r[1] & 0x0FFFu) + 0x4000u, ((r[2] >> 16) & 0x3FFFu) + 0x8000u, r[2] & 0xFFFFu,
                r[3]);
  return text;
}

}  // namespace nivora::internal
