#include "core/test_points.h"

#include <atomic>

namespace nivora::internal {
namespace {

std::atomic<TestPointHandler>& Handler() {
  static std::atomic<TestPointHandler> handler{nullptr};
  return handler;
}

}  // namespace

void SetTestPointHandler(TestPointHandler handler) {
  Handler().store(handler, std::memory_order_release);
}

void ReachTestPoint(const char* point) {
  const TestPointHandler handler = Handler().load(std::memory_order_acquire);
  if (handler != nullptr) handler(point);
}

}  // namespace nivora::internal
