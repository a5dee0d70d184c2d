#include "core/mutex_registry.h"

#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace nivora {
namespace {

using Registry = MutexRegistry<std::pair<std::string, std::string>>;

TEST(MutexRegistryTest, OneMutexPerKeyUntilForgotten) {
  Registry registry;
  const auto a = registry.Get({"memory", "a"});
  EXPECT_EQ(registry.Get({"memory", "a"}), a);
  EXPECT_NE(registry.Get({"memory", "b"}), a);
  EXPECT_NE(registry.Get({"rocksdb", "a"}), a);
  EXPECT_EQ(registry.size(), 3u);

  registry.Forget({"memory", "b"});  // nobody holds it
  registry.Forget({"memory", "zz"});  // never made
  EXPECT_EQ(registry.size(), 2u);
}

// A mutex someone else holds (locked or not) is kept, and the same one is
// handed out afterwards; the caller's own reference does not count.
TEST(MutexRegistryTest, AHeldMutexIsKept) {
  Registry registry;
  const std::pair<std::string, std::string> key{"memory", "a"};
  auto own = registry.Get(key);
  {
    const auto other = registry.Get(key);
    registry.Forget(key, own);
    EXPECT_EQ(registry.size(), 1u);
    EXPECT_EQ(registry.Get(key), other);
  }
  registry.Forget(key);  // `own` is held and not declared as the caller's
  EXPECT_EQ(registry.size(), 1u);
  registry.Forget(key, own);
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_NE(registry.Get(key), own);  // a fresh one from now on
}

}  // namespace
}  // namespace nivora
