// What MemoryKeystore logs and throws, beyond the contract it shares with the
// other keystores.
#include "backing_store/memory_keystore.h"

#include <functional>

#include <gtest/gtest.h>

#include "backing_store/item_bytes.h"
#include "backing_store/log_capture.h"
#include "backing_store/store_config.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kIndex = 1;
constexpr uint64_t kMapKey = 100;
constexpr uint64_t kVersionKey = 42;

using Store = MemoryKeystore;

enum class Throws { kNothing, kInvalidArgument, kRuntimeError };

struct LogCase {
  const char* name;
  std::function<void(Store&)> setup;  // may be empty
  std::function<void(Store&)> action;
  std::vector<std::string> lines;  // what the action logs, in order
  Throws throws = Throws::kNothing;
  std::string what = "";
};

class MemoryKeystoreTest : public ::testing::Test {
 protected:
  LogCapture log_;
  nivora::DBConfig config_ = ConfigAt(nivora::Location::MEMORY);
};

nivora::Array2D<unsigned char> Zeros(size_t rows, size_t cols) { return {rows, cols}; }

void PushFixed(MemoryKeystore& store, std::vector<uint64_t> keys) {
  nivora::Array2D<unsigned char> rows(keys.size(), store.GetValueSizeImpl(kIndex));
  store.BatchPushItemsImpl(kIndex, keys, rows);
}

void PushVersion(MemoryKeystore& store, const Bytes& version) {
  store.PushItem(kIndex, kVersionKey, version.data(), version.size());
}

void PushMap(MemoryKeystore& store, uint64_t expected) {
  const Bytes map(4, 1);
  store.PushMapImpl(kIndex, kMapKey, map.data(), map.size(), kVersionKey, expected);
}

TEST_F(MemoryKeystoreTest, LogLinesAndExceptionTexts) {
  const std::vector<LogCase> cases = {
      {"constructor", nullptr,
       [&](Store&) { MemoryKeystore other(config_, BackingStoreType::ID); },
       {"[INFO] MemoryKeystore constructor called"}},
      {"batch push", nullptr, [](Store& s) { PushFixed(s, {1, 2}); },
       {"[INFO] Pushing 2 items to Memory", "[INFO] Items successfully pushed to Memory"}},
      {"batch push without keys", nullptr, [](Store& s) { PushFixed(s, {}); },
       {"[INFO] Pushing 0 items to Memory", "[ERROR] No keys provided for batch insertion"},
       Throws::kInvalidArgument, "No keys provided for batch insertion"},
      {"batch push with more rows than keys", nullptr,
       [](Store& s) { s.BatchPushItemsImpl(kIndex, {1, 2}, Zeros(3, 8)); },
       {"[INFO] Pushing 2 items to Memory",
        "[ERROR] Mismatch between number of keys (2) and batch size (3)"},
       Throws::kInvalidArgument, "Mismatch between number of keys and batch size"},
      {"batch push of the wrong width", nullptr,
       [](Store& s) { s.BatchPushItemsImpl(kIndex, {1, 2, 3}, Zeros(3, 16)); },
       {"[INFO] Pushing 3 items to Memory",
        "[ERROR] Amount of data (48) must be divisible by the size of each value (24)"},
       Throws::kInvalidArgument, "Amount of data must be divisible by the size of each value"},
      {"variable push with fewer values than keys", nullptr,
       [](Store& s) { s.BatchPushVariableImpl(kIndex, {1, 2}, {Bytes(2, 1)}); },
       {"[INFO] Pushing 2 items to Memory", "[ERROR] Mismatch between number of keys and batch size"},
       Throws::kInvalidArgument, "Mismatch between number of keys and batch size"},
      {"push item", nullptr, [](Store& s) { s.PushItem(kIndex, 7, nullptr, 0); },
       {"[INFO] Pushing item to Memory with key: 7", "[INFO] Item successfully pushed to Memory"}},
      {"map push", nullptr, [](Store& s) { PushMap(s, 0); },
       {"[INFO] Pushing map. Expected version: 0",
        "[INFO] Map and version successfully pushed to Memory"}},
      {"refused map push", [](Store& s) { PushMap(s, 0); },
       [](Store& s) { PushMap(s, 0); },
       {"[INFO] Pushing map. Expected version: 0", "[WARNING] Version mismatch: expected 0, got 1"}},
      {"batch delete without keys", nullptr, [](Store& s) { s.BatchDeleteItemsImpl(kIndex, {}); },
       {"[INFO] Deleting 0 items from Memory", "[WARNING] No keys provided for batch deletion"}},
      {"batch delete without table", nullptr, [](Store& s) { s.BatchDeleteItemsImpl(kIndex, {1}); },
       {"[INFO] Deleting 1 items from Memory",
        "[WARNING] Index name for hashed_index_name does not exist.",
        "[INFO] Items successfully deleted from Memory"}},
      {"delete item without table", nullptr, [](Store& s) { s.DeleteItem(kIndex, 3); },
       {"[INFO] Deleting item from Memory with key: 3",
        "[WARNING] Index name not found during DeleteItem"}},
      {"delete item", [](Store& s) { PushFixed(s, {3}); },
       [](Store& s) { s.DeleteItem(kIndex, 3); },
       {"[INFO] Deleting item from Memory with key: 3", "[INFO] Item successfully deleted from Memory"}},
      {"delete absent index", nullptr, [](Store& s) { s.DeleteIndexImpl(kIndex); },
       {"[INFO] Deleting index from Memory", "[WARNING] Cannot delete index. Index does not exist."}},
      {"delete index", [](Store& s) { PushFixed(s, {3}); },
       [](Store& s) { s.DeleteIndexImpl(kIndex); },
       {"[INFO] Deleting index from Memory", "[INFO] Index successfully deleted from Memory"}},
      {"get item without table", nullptr, [](Store& s) { s.GetItem(kIndex, 3); },
       {"[INFO] Getting item from Memory", "[WARNING] Index name not found in MemoryKeystore"}},
      {"get item after its table was emptied by a batch delete",
       [](Store& s) {
         PushFixed(s, {3, 4});
         s.BatchDeleteItemsImpl(kIndex, {3, 4});
       },
       [](Store& s) { s.GetItem(kIndex, 3); },
       {"[INFO] Getting item from Memory", "[WARNING] Index name not found in MemoryKeystore"}},
      {"get item after its last item was deleted alone",
       [](Store& s) {
         PushFixed(s, {3});
         s.DeleteItem(kIndex, 3);
       },
       [](Store& s) { s.GetItem(kIndex, 3); },
       {"[INFO] Getting item from Memory", "[WARNING] Key not found in MemoryKeystore for index"}},
      {"get item", [](Store& s) { PushFixed(s, {3}); },
       [](Store& s) { s.GetItem(kIndex, 3); },
       {"[INFO] Getting item from Memory", "[INFO] Item found in Memory"}},
      {"get map without table", nullptr, [](Store& s) { s.GetMapImpl(kIndex, kMapKey, kVersionKey); },
       {"[INFO] Getting map and version from Memory", "[WARNING] Index name not found in MemoryKeystore"}},
      {"get map that was never pushed", [](Store& s) { PushFixed(s, {3}); },
       [](Store& s) { s.GetMapImpl(kIndex, kMapKey, kVersionKey); },
       {"[INFO] Getting map and version from Memory",
        "[WARNING] Map key not found in MemoryKeystore for index",
        "[WARNING] Version key not found in MemoryKeystore for index",
        "[INFO] Map and version retrieved from Memory"}},
      {"get map with a 9-byte version", [](Store& s) { PushMap(s, 0); PushVersion(s, Bytes(9, 0)); },
       [](Store& s) { s.GetMapImpl(kIndex, kMapKey, kVersionKey); },
       {"[INFO] Getting map and version from Memory", "[WARNING] Version data has incorrect size",
        "[INFO] Map and version retrieved from Memory"}},
      {"batch read without keys", nullptr, [](Store& s) { s.BatchGetItemsImpl(kIndex, {}); },
       {"[WARNING] No keys provided for batch retrieval"}},
      {"batch read without table", nullptr, [](Store& s) { s.BatchGetItemsImpl(kIndex, {1, 2}); },
       {"[INFO] Getting 2 items from Memory",
        "[WARNING] Index not found in MemoryKeystore. Returning default values."}},
      {"batch read", [](Store& s) { PushFixed(s, {1}); },
       [](Store& s) { s.BatchGetItemsImpl(kIndex, {1}); },
       {"[INFO] Getting 1 items from Memory", "[INFO] Items successfully retrieved from Memory"}},
      {"batch read with value size 0", [](Store& s) { s.SetValueSizeImpl(kIndex, 0); },
       [](Store& s) { s.BatchGetItemsImpl(kIndex, {1}); },
       {"[INFO] Getting 1 items from Memory",
        "[WARNING] Index not found in MemoryKeystore. Returning default values.",
        "[ERROR] Exception in BatchGetItems: Data size must be a multiple of the number of columns"},
       Throws::kRuntimeError,
       "Exception in BatchGetItems: Data size must be a multiple of the number of columns"},
      {"variable read without keys", nullptr, [](Store& s) { s.BatchGetVariableImpl(kIndex, {}); },
       {"[WARNING] No keys provided for batch retrieval"}},
      {"variable read without table", nullptr, [](Store& s) { s.BatchGetVariableImpl(kIndex, {1}); },
       {"[INFO] Getting 1 items from Memory",
        "[WARNING] Index not found in MemoryKeystore. Returning empty vectors."}},
      {"variable read", [](Store& s) { PushFixed(s, {1}); },
       [](Store& s) { s.BatchGetVariableImpl(kIndex, {1}); },
       {"[INFO] Getting 1 items from Memory", "[INFO] Items successfully retrieved from Memory"}},
      {"delete config item", nullptr, [](Store& s) { s.DeleteConfigItem("a.nvs"); },
       {"[WARNING] MemoryKeystore does not support DeleteConfigItem"}},
      {"load config item", nullptr, [](Store& s) { s.LoadConfigItem("a.nvs"); }, {},
       Throws::kRuntimeError, "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet"},
      {"silent operations", nullptr,
       [](Store& s) {
         s.PushConfigItem("a.nvs", nullptr, 0);
         s.ConfigItemExists("a.nvs");
         s.GetTotalSize(kIndex);
         s.GetAllKeys(kIndex);
       },
       {}},
  };
  for (const LogCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryKeystore store(config_, BackingStoreType::VECTORS);
    if (c.setup) c.setup(store);
    log_.Take();
    Throws thrown = Throws::kNothing;
    std::string what;
    try {
      c.action(store);
    } catch (const std::invalid_argument& e) {
      thrown = Throws::kInvalidArgument;
      what = e.what();
    } catch (const std::runtime_error& e) {
      thrown = Throws::kRuntimeError;
      what = e.what();
    }
    EXPECT_EQ(log_.Take(), c.lines);
    EXPECT_EQ(thrown, c.throws);
    EXPECT_EQ(what, c.what);
  }
}

TEST_F(MemoryKeystoreTest, EmptyVariableValuesAreSkipped) {
  MemoryKeystore store(config_, BackingStoreType::METADATA);
  store.BatchPushVariableImpl(kIndex, {1, 2, 3}, {Bytes(1, 1), Bytes{}, Bytes(1, 3)});
  EXPECT_EQ(store.GetTotalSize(kIndex), 2u);

  // An empty value leaves an earlier value of its key as it was.
  store.BatchPushVariableImpl(kIndex, {2}, {Bytes(5, 2)});
  store.BatchPushVariableImpl(kIndex, {1, 2, 3}, {Bytes(1, 1), Bytes{}, Bytes(1, 3)});
  EXPECT_EQ(store.GetTotalSize(kIndex), 3u);
  EXPECT_EQ(store.BatchGetVariableImpl(kIndex, {2})[0], Bytes(5, 2));
}

TEST_F(MemoryKeystoreTest, VersionItemOfAnotherLengthCountsAsVersionZero) {
  MemoryKeystore store(config_, BackingStoreType::INDEX);
  PushVersion(store, Bytes(9, 0xFF));
  const Bytes map(3, 7);
  EXPECT_TRUE(store.PushMapImpl(kIndex, kMapKey, map.data(), map.size(), kVersionKey, 0));
  VersionedMap read = store.GetMapImpl(kIndex, kMapKey, kVersionKey);
  EXPECT_EQ(read.version, 1u);

  // Version 2^64 - 1 wraps to 0 on the next push.
  const auto top = EncodeVersion(~0ull);
  store.PushItem(kIndex, kVersionKey, top.data(), top.size());
  EXPECT_TRUE(store.PushMapImpl(kIndex, kMapKey, map.data(), map.size(), kVersionKey, ~0ull));
  EXPECT_EQ(store.GetMapImpl(kIndex, kMapKey, kVersionKey).version, 0u);
}

TEST_F(MemoryKeystoreTest, KeepsNoConfigItems) {
  MemoryKeystore store(config_, BackingStoreType::CONFIG);
  const Bytes item(4, 1);
  store.PushConfigItem("a.nvs", item.data(), item.size());
  EXPECT_FALSE(store.ConfigItemExists("a.nvs"));
  EXPECT_THROW(store.LoadConfigItem("a.nvs"), std::runtime_error);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
