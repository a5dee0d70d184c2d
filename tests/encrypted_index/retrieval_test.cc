// Retrieval: candidates of probed centroids, ids and metadata by hash, items
// by id, every stored item, and the RAM caches' refresh.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "backing_store/forwarding_keystore.h"
#include "encrypted_index/id_unmasking.h"
#include "ingest_fixture.h"

namespace nivora_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ThrowsMessage;

using RetrievalTest = EngineTest;

TEST_F(RetrievalTest, NoCentroidsOrEmptyListsGiveZeroOffsetsAndNoRows) {
  auto client = Create(3, 4);
  for (std::vector<uint32_t> probe : {std::vector<uint32_t>{}, std::vector<uint32_t>{0, 2}}) {
    RetrieveNeighborsResult result;
    result.matching_ids = {7};
    client->RetrieveNeighbors(probe, result);
    EXPECT_EQ(result.centroid_to_matching_indices, std::vector<uint64_t>(probe.size() + 1, 0));
    EXPECT_TRUE(result.matching_ids.empty());
    EXPECT_TRUE(result.row_present.empty());
    EXPECT_EQ(result.payloads.size(), 0u);
  }
  std::vector<uint32_t> outside = {3};
  RetrieveNeighborsResult result;
  EXPECT_THROW(client->RetrieveNeighbors(outside, result), std::out_of_range);
}

TEST_F(RetrievalTest, QueryFlagFailsAfterTheResultIsReset) {
  Create(1, 4);
  auto gpu = Open(/*gpu_config=*/4);
  std::vector<uint32_t> probe = {0};
  RetrieveNeighborsResult result;
  result.matching_ids = {1, 2};
  EXPECT_THAT([&] { gpu->RetrieveNeighbors(probe, result); },
              ThrowsMessage<std::runtime_error>(::testing::HasSubstr("built without CUDA")));
  EXPECT_TRUE(result.matching_ids.empty());
  EXPECT_THAT(result.centroid_to_matching_indices, ElementsAre(0, 0));
}

TEST_F(RetrievalTest, UnmaskingChecksWidthAndPadCount) {
  nivora::Array2D<uint8_t> rows(3, 8);
  rows.data[0] = 1;
  EXPECT_THAT([&] { layout::DecryptItemIdSHAs(nivora::Array2D<uint8_t>(3, 16), {1, 2, 3}); },
              ThrowsMessage<std::invalid_argument>("Invalid encrypted item ID size"));
  EXPECT_THAT([&] { layout::DecryptItemIdSHAs(rows, {1, 2}); },
              ThrowsMessage<std::invalid_argument>(
                  "value_hashes size must be at least the number of encrypted_item_id_SHAs rows"));
  EXPECT_THAT(layout::DecryptItemIdSHAs(rows, {0xF0, 2, 3, 4}), ElementsAre(0xF1, 2, 3));
}

TEST_F(RetrievalTest, ASwappedIdRecordIsTreatedAsMissing) {
  auto client = Create(1, 4);
  ItemBatch batch = MakeBatch(3, 4);
  client->AddItems(batch, {0, 0, 0});
  // Records are not bound to their keys: move item-0's ID record under item-1's key.
  Keystore& ids = Store(BackingStoreType::ID);
  const auto record = ids.GetItem(index_id(), StoreKey("item-0", ".id"));
  ids.PushItem(index_id(), StoreKey("item-1", ".id"), record.data, record.cols);

  std::vector<std::string> out = {"left alone"};
  client->RetrieveItemIDs({}, out);
  EXPECT_THAT(out, ElementsAre("left alone"));
  client->RetrieveItemIDs({Hash("item-0"), Hash("item-1"), Hash("item-2"), 12345}, out);
  EXPECT_THAT(out, ElementsAre("item-0", "", "item-2", ""));
}

TEST_F(RetrievalTest, MetadataByHashIsEmptyForItemsWithoutIt) {
  auto client = Create(1, 4);
  ItemBatch with = MakeBatch(1, 4, "item-", 0, true);
  ItemBatch without = MakeBatch(1, 4, "item-", 1);
  client->AddItems(with, {0});
  client->AddItems(without, {0});
  std::vector<std::string> out;
  client->RetrieveItemMetadata({Hash("item-0"), Hash("item-1"), 99}, out);
  EXPECT_THAT(out, ElementsAre("{\"n\":0}", "", ""));
}

TEST_F(RetrievalTest, ItemsArePresentByTheirStoredRecordsNotTheirBytes) {
  auto client = Create(1, 4);
  ItemBatch zero = MakeBatch(1, 4, "zero-");
  zero.payload = nivora::Array2D<uint8_t>(1, 4);  // an all-zero vector
  client->AddItems(zero, {0});
  ItemBatch full = MakeBatch(1, 4, "full-", 0, true, true);
  client->AddItems(full, {0});

  auto items = client->RetrieveItems({"missing", "zero-0", "full-0"}, {});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].id, "zero-0");
  EXPECT_EQ(items[0].vector, std::vector<uint8_t>(4, 0));
  EXPECT_EQ(items[1].id, "full-0");
  EXPECT_EQ(items[1].contents, full.contents[0]);

  items = client->RetrieveItems({"zero-0", "full-0"}, {nivora::ItemFields::CONTENTS});
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, "full-0");
  EXPECT_TRUE(items[0].vector.empty());
  EXPECT_TRUE(items[0].metadata.empty());

  items = client->RetrieveItems({"zero-0"}, {nivora::ItemFields::METADATA});
  ASSERT_EQ(items.size(), 1u);  // its empty metadata record is stored
  EXPECT_EQ(items[0].metadata, "");
  EXPECT_TRUE(client->RetrieveItems({}, {}).empty());
}

TEST_F(RetrievalTest, AllEmbeddingsComeBackInOneThreadOwnedBatch) {
  auto client = Create(1, 4);
  ItemBatch& none = client->RetrieveAllEmbeddings();
  EXPECT_TRUE(none.ids.empty());
  EXPECT_EQ(none.payload_rows(), 0u);

  ItemBatch batch = MakeBatch(5, 4, "item-", 0, true);
  client->AddItems(batch, std::vector<uint32_t>(5, 0));
  ItemBatch& all = client->RetrieveAllEmbeddings();
  ASSERT_EQ(all.ids.size(), 5u);
  ASSERT_EQ(all.metadata.size(), 5u);
  ASSERT_EQ(all.payload_rows(), 5u);
  const auto& payload = std::get<nivora::Array2D<uint8_t>>(all.payload);
  for (size_t i = 0; i < 5; ++i) {
    const size_t item = std::stoul(all.ids[i].substr(5));
    EXPECT_EQ(all.metadata[i], "{\"n\":" + std::to_string(item) + "}");
    EXPECT_EQ(Row(payload, i), ExpectedPayload(item, 4));
  }

  client->RemoveItems({"item-0", "item-1", "item-2"});
  ItemBatch& again = client->RetrieveAllEmbeddings();
  EXPECT_EQ(&again, &all);
  EXPECT_EQ(again.ids.size(), 2u);
  EXPECT_EQ(again.metadata.size(), 2u);
  EXPECT_EQ(again.payload_rows(), 2u);
  Client::ReleaseAllEmbeddings();
  EXPECT_TRUE(again.ids.empty());
}

// Whether m's storage is wiped when its last owner releases it.
bool WipedOnRelease(const nivora::Array2D<uint8_t>& m) {
  const auto* wipe = std::get_deleter<nivora::WipingFree>(m.owner);
  return wipe != nullptr && wipe->bytes >= m.size();
}

TEST_F(RetrievalTest, DecryptedVectorsAreWipedWhenReleased) {
  auto client = Create(1, 4);
  ItemBatch batch = MakeBatch(3, 4);
  client->AddItems(batch, {0, 0, 0});

  std::vector<uint32_t> probe = {0};
  RetrieveNeighborsResult neighbors;
  client->RetrieveNeighbors(probe, neighbors);
  ASSERT_EQ(neighbors.payloads.rows, 3u);
  EXPECT_TRUE(WipedOnRelease(neighbors.payloads));

  const auto& all = std::get<nivora::Array2D<uint8_t>>(client->RetrieveAllEmbeddings().payload);
  ASSERT_EQ(all.rows, 3u);
  EXPECT_TRUE(WipedOnRelease(all));
  Client::ReleaseAllEmbeddings();

  const nivora::Array2D<uint8_t> stored = Store(BackingStoreType::VECTORS)
      .BatchGetItems(index_id(), {Hash("item-0"), Hash("item-1")});
  EXPECT_TRUE(WipedOnRelease(crypto::DecryptItemsFixed(stored.data, stored.rows, stored.cols,
                                                       SubKey(".vectors"))));
}

TEST_F(RetrievalTest, RowsOfAnotherWidthThanThePayloadSizeAreRefused) {
  auto client = Create(1, 4);
  ItemBatch batch = MakeBatch(1, 4);
  client->AddItems(batch, {0});
  Store(BackingStoreType::VECTORS).SetValueSize(index_id(), 60);  // another client's idea
  std::vector<uint32_t> probe = {0};
  RetrieveNeighborsResult result;
  EXPECT_THAT([&] { client->RetrieveNeighbors(probe, result); },
              ThrowsMessage<std::runtime_error>("Stored payload rows are 60 bytes, expected 32"));
}

using CacheRefreshTest = CachedEngineTest;

TEST_F(CacheRefreshTest, RefreshFetchesOnlyWhatAnotherProcessAdded) {
  auto cached = Create(3, 4);
  EXPECT_FALSE(cached->RefreshCaches());  // nothing stored yet
  auto other = OpenRaw();
  ItemBatch batch = MakeBatch(12, 4, "item-", 0, true);
  std::vector<uint32_t> centroids = {0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2};
  other->AddItems(batch, centroids);

  std::vector<uint32_t> probe = {0, 1, 2};
  RetrieveNeighborsResult result;
  cached->RetrieveNeighbors(probe, result);  // the index cache has none of the tokens
  EXPECT_EQ(std::count(result.row_present.begin(), result.row_present.end(), 1), 0);

  EXPECT_TRUE(cached->RefreshCaches());
  EXPECT_FALSE(cached->RefreshCaches());
  cached->RetrieveNeighbors(probe, result);
  EXPECT_EQ(std::count(result.row_present.begin(), result.row_present.end(), 1), 12);
  std::vector<std::string> metadata;
  cached->RetrieveItemMetadata(result.matching_ids, metadata);
  EXPECT_EQ(metadata[11], "{\"n\":11}");

  // Positions 2, 3 of centroid 0 and 0 .. 2 of centroid 2, in that order.
  EXPECT_THAT(cached->RefreshIndexCacheIncremental({2, 5}, {4, 5, 3}),
              ElementsAre(Hash("item-2"), Hash("item-3"), Hash("item-9"), Hash("item-10"),
                          Hash("item-11")));
  EXPECT_TRUE(cached->RefreshIndexCacheIncremental({4, 5, 3}, {4, 5, 3}).empty());
  cached->ClearVectorsCache();
  EXPECT_FALSE(Store(BackingStoreType::VECTORS).IsCacheLoaded(index_id()));
}

TEST_F(RetrievalTest, InProcessStoresHaveNoCacheToRefresh) {
  auto client = Create(1, 4);
  EXPECT_FALSE(client->RefreshCaches());
  client->ClearVectorsCache();
}

}  // namespace
}  // namespace nivora_test
