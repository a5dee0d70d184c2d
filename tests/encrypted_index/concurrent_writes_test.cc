// Two clients writing one item: the undo of a failed upsert while another
// client's upsert of the item was acknowledged. Afterwards the item is that
// upsert's version, with exactly one token, in its list, and that token is
// the one its location record names (a delete then leaves none).
#include <gtest/gtest.h>

#include <optional>

#include "backing_store/forwarding_keystore.h"
#include "ingest_fixture.h"

namespace nivora_test {
namespace {

constexpr size_t kWidth = 4;
constexpr int32_t kLists = 3;

// Version `seed` of item "x": payload, metadata and contents of its own.
ItemBatch VersionOf(size_t seed) {
  ItemBatch batch = MakeBatch(1, kWidth, "x", seed, true, true);
  batch.ids = {"x"};
  return batch;
}

class ConcurrentWritesTest : public EngineTest {
 protected:
  void SetUp() override {
    Create(kLists, kWidth);
    ItemBatch v0 = VersionOf(0);
    Open()->AddItems(v0, {0});
  }

  // The rows of "x" that a query of every list finds, as (list, payload).
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> RowsOfX() {
    auto reader = Open();
    std::vector<uint32_t> lists = {0, 1, 2};
    RetrieveNeighborsResult result;
    reader->RetrieveNeighbors(lists, result);
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> rows;
    for (size_t r = 0; r < result.matching_ids.size(); ++r) {
      if (result.matching_ids[r] != Hash("x")) continue;
      uint32_t list = 0;
      while (r >= result.centroid_to_matching_indices[list + 1]) ++list;
      rows.emplace_back(list, Row(result.payloads, r));
    }
    return rows;
  }

  // "x" has one token, in list `list`, and it is the one its location
  // record names: deleting the item leaves no token behind.
  void ExpectOneToken(uint32_t list) {
    const auto rows = RowsOfX();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].first, list);
    Open()->RemoveItems({"x"});
    EXPECT_TRUE(RowsOfX().empty()) << "a token the location record does not name";
  }

  // ... and "x" is wholly version `seed`.
  void ExpectOnlyVersion(size_t seed, uint32_t list) {
    const auto items = Open()->RetrieveItems({"x"}, {});
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].vector, ExpectedPayload(seed, kWidth));
    EXPECT_EQ(items[0].metadata, VersionOf(seed).metadata[0]);
    EXPECT_EQ(items[0].contents, VersionOf(seed).contents[0]);
    const auto rows = RowsOfX();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].second, ExpectedPayload(seed, kWidth));
    ExpectOneToken(list);
  }

  std::unique_ptr<Client> OpenOver(Stores& stores) {
    ExistingIndexConfig config = OpenConfig(stores, name_, key_);
    return std::make_unique<Client>(config, logger_);
  }

  // A client whose six stores fail as `plan` says; `wrappers` keeps them.
  template <typename Wrapper, typename Plan>
  std::unique_ptr<Client> OpenInterrupted(Plan& plan,
                                          std::vector<std::unique_ptr<Wrapper>>& wrappers,
                                          Stores& stores) {
    for (int t = 0; t < 6; ++t) {
      const auto type = static_cast<BackingStoreType>(t);
      wrappers.push_back(std::make_unique<Wrapper>(Store(type), plan));
      stores.Replace(type, wrappers.back().get());
    }
    return OpenOver(stores);
  }
};

// ---- A delete or upsert that a store fails, and what comes after -----------

// Fails one write call of a client (counted over the stores that share a
// plan, or over one store kind), running `meanwhile` first: before the call
// reaches the store, or after it stored.
struct Interruption {
  std::optional<BackingStoreType> store;  // only this kind's writes count
  size_t fail_at = SIZE_MAX;
  bool after_storing = false;
  std::function<void()> meanwhile = [] {};
  size_t writes = 0;
  bool fired = false;
};

class InterruptingKeystore : public ForwardingKeystore {
 public:
  InterruptingKeystore(Keystore& target, Interruption& plan)
      : ForwardingKeystore(target, nivora::Location::THREADSAFEMEMORY), plan_(plan) {}

  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override {
    Write([&] { ForwardingKeystore::BatchPushItemsImpl(index, keys, values); });
  }
  void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                             const std::vector<std::vector<uint8_t>>& values) override {
    Write([&] { ForwardingKeystore::BatchPushVariableImpl(index, keys, values); });
  }
  void BatchDeleteItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys) override {
    Write([&] { ForwardingKeystore::BatchDeleteItemsImpl(index, keys); });
  }

 private:
  template <typename Op>
  void Write(const Op& op) {
    const bool counted = !plan_.store || *plan_.store == GetBackingStoreType();
    if (!counted || plan_.fired || plan_.writes++ != plan_.fail_at) return op();
    plan_.fired = true;
    if (plan_.after_storing) op();
    plan_.meanwhile();
    throw std::runtime_error("injected store failure");
  }
  Interruption& plan_;
};

struct UndoCase {
  BackingStoreType store;  // whose first write of the failed upsert fails
  bool after_storing;
  bool fresh;  // the item was not stored before
};

class UndoTest : public ConcurrentWritesTest, public ::testing::WithParamInterface<UndoCase> {
 protected:
  void SetUp() override {
    Create(kLists, kWidth);
    if (!GetParam().fresh) {
      ItemBatch v0 = VersionOf(0);
      Open()->AddItems(v0, {0});
    }
  }
};

TEST_P(UndoTest, UndoLeavesAnotherClientsAcknowledgedUpsert) {
  const UndoCase c = GetParam();
  Interruption plan;
  plan.store = c.store;
  plan.fail_at = 0;
  plan.after_storing = c.after_storing;
  // The other client's upsert is acknowledged while the failed one is
  // still to be undone.
  plan.meanwhile = [&] {
    ItemBatch v2 = VersionOf(2);
    Open()->AddItems(v2, {2});
  };
  Stores stores(nivora::Location::THREADSAFEMEMORY);
  std::vector<std::unique_ptr<InterruptingKeystore>> wrappers;
  auto writer = OpenInterrupted(plan, wrappers, stores);
  ItemBatch v1 = VersionOf(1);
  EXPECT_THROW(writer->AddItems(v1, {1}), std::runtime_error);
  ASSERT_TRUE(plan.fired);
  ExpectOnlyVersion(2, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Stores, UndoTest,
    ::testing::ValuesIn([] {
      std::vector<UndoCase> cases;
      for (BackingStoreType store :
           {BackingStoreType::INDEX, BackingStoreType::VECTORS, BackingStoreType::METADATA,
            BackingStoreType::ID, BackingStoreType::CONTENTS}) {
        for (bool after : {false, true}) {
          for (bool fresh : {false, true}) cases.push_back({store, after, fresh});
        }
      }
      return cases;
    }()),
    [](const ::testing::TestParamInfo<UndoCase>& info) {
      return nivora_encrypted_index::BackingStoreTypeToString(info.param.store) +
             (info.param.after_storing ? "_FailsAfterStoring" : "_FailsBeforeStoring") +
             (info.param.fresh ? "_Fresh" : "_Stored");
    });

}  // namespace
}  // namespace nivora_test
