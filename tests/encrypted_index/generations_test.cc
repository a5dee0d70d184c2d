// Generations of the lists: a training's claim, build and commit, a second
// training taking over, a write overtaken by a commit, and the reads a
// training reconciles with.
#include <gtest/gtest.h>

#include <stdexcept>
#include <unordered_set>

#include "ingest_fixture.h"

namespace nivora_test {
namespace {

class GenerationsTest : public EngineTest {
 protected:
  // Where the INDEX and VECTORS stores keep generation g's lists.
  uint64_t list_id(uint64_t g) const {
    return g == 0 ? index_id() : ReferenceIndexId(key_, name_ + ".lists." + std::to_string(g));
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

  const auto seen = trainer->ReadChangeStamp();
  const uint64_t g = trainer->ClaimGeneration();
  EXPECT_EQ(g, 1u);
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
  trainer->RemoveRetiredGeneration();
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
  EXPECT_EQ(second->LoadGenerationRecord().pending, h);
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

// The reads of reconciliation: every complete item once, then only what was
// written since; an item not complete yet is read when it is.
TEST_F(GenerationsTest, WritesSinceACursorAreReadOnceComplete) {
  auto client = Create(2, 16);
  ItemBatch items = MakeBatch(5, 16);
  client->AddItems(items, {0, 1, 0, 1, 0});
  ItemBatch again = MakeBatch(2, 16);  // item-0 and item-1 once more
  client->AddItems(again, {1, 1});

  nivora_encrypted_index::Client::ChangeCursor cursor;
  EXPECT_EQ(Ids(client->RetrieveItemsWrittenSince(cursor)), Ids(items));
  EXPECT_EQ(client->RetrieveItemsWrittenSince(cursor).ids.size(), 0u);

  ItemBatch later = MakeBatch(2, 16, "later-");
  client->AddItems(later, {0, 1});
  client->RemoveItems({"later-1"});  // its position stays, its item goes
  const ItemBatch& read = client->RetrieveItemsWrittenSince(cursor);
  ASSERT_EQ(read.ids, std::vector<std::string>{"later-0"});
  EXPECT_EQ(client->RetrieveItemsWrittenSince(cursor).ids.size(), 0u);
  // Stored again (a new position) it is read, once.
  ItemBatch back = MakeBatch(1, 16, "later-", 1);
  client->AddItems(back, {0});
  EXPECT_EQ(client->RetrieveItemsWrittenSince(cursor).ids, std::vector<std::string>{"later-1"});
  nivora_encrypted_index::Client::ReleaseAllEmbeddings();

  const std::vector<uint64_t> hashes = client->IdHashes({"item-0", "item-3", "later-1"});
  client->RemoveItems({"item-3"});
  EXPECT_EQ(client->RemovedItems(hashes), std::vector<uint64_t>{hashes[1]});
}

}  // namespace
}  // namespace nivora_test
