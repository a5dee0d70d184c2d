// The batch-read loops: a throw on a worker thread reaches the caller.
#include "backing_store/parallel_for.h"

#include <stdexcept>

#include <gtest/gtest.h>

namespace nivora_encrypted_index::internal::backing_store {
namespace {

TEST(ParallelForTest, AThrowInsideTheLoopIsRethrownAfterIt) {
  for (size_t n : {size_t{50}, size_t{5000}}) {  // serial and parallel
    SCOPED_TRACE(n);
    auto body = [&](size_t i) {
      if (i == n / 2) throw std::runtime_error("row failed");
    };
    try {
      ParallelForStatic(n, kSerialReadLimit, body);
      ADD_FAILURE() << "nothing rethrown";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "row failed");
    }
    EXPECT_THROW(ParallelForDynamic(n, body), std::runtime_error);
  }
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store
