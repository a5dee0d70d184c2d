// Generations of the lists: a training's claim, build and commit, a second
// training taking over, a write overtaken by a commit, and the reads a
// training reconciles with.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "backing_store/forwarding_keystore.h"
#include "ingest_fixture.h"

namespace nivora_test {
namespace {

class GenerationsTest : public EngineTest {
 protected:
  // Where the INDEX and VECTORS stores keep generation g's lists.
  uint64_t list_id(uint64_t g) const {
    return g == 0 ? index_id() : ReferenceListId(key_, name_, g);
  }
  size_t PayloadRows(uint64_t g) { return Store(BackingStoreType::VECTORS).GetTotalSize(list_id(g)); }
  static std::unordered_set<std::string> Ids(const ItemBatch& batch) {
    return {batch.ids.begin(), batch.ids.end()};
  }
};

// A training builds beside the current lists and switches in one step; the
// replaced lists go afterwards.
TEST_F(GenerationsTest, CommitSwitchesEveryClientToTheNewLists) {
  auto trainer = Create(1, 16);
  ItemBatch items = MakeBatch(4, 16);
  trainer->AddItems(items, {0, 0, 0, 0});
  auto reader = Open();

  const uint64_t g = trainer->ClaimGeneration();
  EXPECT_EQ(g, 1u);
  const auto seen = trainer->ReadChangeStamp();
  EXPECT_EQ(seen.pending, g);
  trainer->BuildGeneration(g, 8, 2);
  ItemBatch coded = MakeBatch(4, 8);
  trainer->AddListEntries(coded, {1, 0, 1, 1});
  EXPECT_EQ(PayloadRows(1), 4u);
  // Building advances nothing: other clients see no change yet.
  EXPECT_EQ(trainer->ReadChangeStamp(), seen);
  EXPECT_EQ(reader->FollowCurrentGeneration(), 0u);

  ASSERT_TRUE(trainer->CommitGeneration(g, seen));
  EXPECT_EQ(reader->FollowCurrentGeneration(), 1u);
  EXPECT_EQ(PayloadRows(0), 4u);
  trainer->CollectGenerations();
  EXPECT_EQ(PayloadRows(0), 0u);
  EXPECT_EQ(Open()->generation(), 1u);
}

// A commit from a stamp that has moved is refused: the write that moved it
// must be reconciled first.
TEST_F(GenerationsTest, CommitAfterAnotherWriteIsRefused) {
  auto trainer = Create(1, 16);
  ItemBatch items = MakeBatch(2, 16);
  trainer->AddItems(items, {0, 0});
  const auto seen = trainer->ReadChangeStamp();
  const uint64_t g = trainer->ClaimGeneration();
  trainer->BuildGeneration(g, 16, 1);
  Open()->RemoveItems({"item-0"});
  EXPECT_FALSE(trainer->CommitGeneration(g, seen));
  EXPECT_TRUE(trainer->CommitGeneration(g, trainer->ReadChangeStamp()));
}

// A second training takes over a pending generation (its trainer died or
// is slow): the first can no longer commit, and its lists are gone.
TEST_F(GenerationsTest, ASecondTrainingTakesOverAPendingOne) {
  auto first = Create(1, 16);
  ItemBatch items = MakeBatch(3, 16);
  first->AddItems(items, {0, 0, 0});
  const auto seen = first->ReadChangeStamp();
  const uint64_t g = first->ClaimGeneration();
  first->BuildGeneration(g, 16, 1);
  first->AddListEntries(items, {0, 0, 0});
  EXPECT_EQ(PayloadRows(g), 3u);

  auto second = Open();
  const uint64_t h = second->ClaimGeneration();
  EXPECT_EQ(h, g + 1);
  EXPECT_EQ(PayloadRows(g), 0u);
  EXPECT_NE(second->ReadChangeStamp(), seen);  // moved, so that the first cannot commit
  EXPECT_THROW(first->CommitGeneration(g, first->ReadChangeStamp()), std::runtime_error);
  first->AbandonGeneration(g);
  EXPECT_EQ(second->generation(), 0u);
  EXPECT_EQ(second->ReadChangeStamp().pending, h);
}

// A write made into lists that a training replaced while it ran is
// reported, so that the caller makes it again on the new lists.
TEST_F(GenerationsTest, WriteIntoReplacedListsIsReported) {
  auto trainer = Create(1, 16);
  auto writer = Open();
  const uint64_t g = trainer->ClaimGeneration();
  trainer->BuildGeneration(g, 16, 1);
  ASSERT_TRUE(trainer->CommitGeneration(g, trainer->ReadChangeStamp()));

  ItemBatch late = MakeBatch(1, 16, "late-");
  EXPECT_THROW(writer->AddItems(late, {0}), nivora_encrypted_index::ListsReplaced);
  EXPECT_THROW(writer->RemoveItems({"late-0"}), nivora_encrypted_index::ListsReplaced);
  writer->FollowCurrentGeneration();
  EXPECT_NO_THROW(writer->AddItems(late, {0}));
}

// A VECTORS store that runs a hook once, right before its next row write.
class HookedVectors : public ForwardingKeystore {
 public:
  using ForwardingKeystore::ForwardingKeystore;
  std::function<void()> before_next_write;

  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override {
    if (before_next_write) std::exchange(before_next_write, nullptr)();
    ForwardingKeystore::BatchPushItemsImpl(index, keys, values);
  }
};

// The reads of reconciliation: every item first, then those rewritten or
// removed since; an item half-written is read once it is whole.
TEST_F(GenerationsTest, ChangedItemsAreReadOnceWholeAndAgainWhenRewritten) {
  HookedVectors vectors(stores_[BackingStoreType::VECTORS], nivora::Location::THREADSAFEMEMORY);
  stores_.Replace(BackingStoreType::VECTORS, &vectors);
  auto reader = Create(2, 16);
  auto writer = Open();
  ItemBatch items = MakeBatch(5, 16);
  writer->AddItems(items, {0, 1, 0, 1, 0});
  nivora_encrypted_index::Client::ItemDigests digests;
  std::vector<uint64_t> removed;
  EXPECT_EQ(Ids(reader->RetrieveChangedItems(digests, removed)), Ids(items));
  EXPECT_TRUE(reader->RetrieveChangedItems(digests, removed).ids.empty());

  // An update seen while its token is stored and its row is not yet.
  ItemBatch update;
  update.ids = {"item-0"};
  update.payload = nivora::Array2D<uint8_t>(std::vector<uint8_t>(16, 0xAB), 16);
  std::vector<std::string> during;
  vectors.before_next_write = [&] { during = reader->RetrieveChangedItems(digests, removed).ids; };
  writer->AddItems(update, {1});
  EXPECT_TRUE(during.empty());
  const ItemBatch& rewritten = reader->RetrieveChangedItems(digests, removed);
  ASSERT_EQ(rewritten.ids, std::vector<std::string>{"item-0"});
  EXPECT_EQ(rewritten.payload_view().row(0)[15], 0xAB);

  // A removal; a new item without its ID record yet is not read.
  writer->RemoveItems({"item-3"});
  ItemBatch fresh = MakeBatch(1, 16, "new-");
  vectors.before_next_write = [&] {
    during = reader->RetrieveChangedItems(digests, removed).ids;
    EXPECT_EQ(removed, std::vector<uint64_t>{Hash("item-3")});
  };
  writer->AddItems(fresh, {0});
  EXPECT_TRUE(during.empty());
  EXPECT_EQ(reader->RetrieveChangedItems(digests, removed).ids, std::vector<std::string>{"new-0"});
  EXPECT_TRUE(removed.empty());
  nivora_encrypted_index::Client::ReleaseAllEmbeddings();
}

}  // namespace
}  // namespace nivora_test
