#include "api/change_checks.h"

#include <atomic>

namespace nivora::internal {
namespace {

std::atomic<bool>& Flag() {
  static std::atomic<bool> enabled{true};
  return enabled;
}

}  // namespace

void SetChangeChecks(bool enabled) { Flag().store(enabled, std::memory_order_relaxed); }

bool ChangeChecksEnabled() { return Flag().load(std::memory_order_relaxed); }

}  // namespace nivora::internal
