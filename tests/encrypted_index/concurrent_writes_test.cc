// Two clients writing one item: two re-upserts interleaved call by call, an
// upsert after a delete that failed part-way, and the undo of a failed
// upsert while another client's upsert of the item was acknowledged. After
// each, the item has exactly one token, in the list of the version that
// stands, and that token is the one its location record names (a delete
// then leaves none).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

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

// ---- Two re-upserts, interleaved call by call ------------------------------

// Hands out turns on the INDEX store to two client threads: each waits
// before every token write and every read or write of location records for
// the driver to let it go, so that the driver chooses the order. (The
// deletes of tokens run in the turn of the read before them.)
class Turns {
 public:
  struct Call {
    int who;
    char kind;  // 't' token write, 'r' location read, 'w' location write
  };

  void Wait(int who, char kind) {
    std::unique_lock lock(mutex_);
    waiting_[who] = true;
    changed_.notify_all();
    if (!changed_.wait_for(lock, kBound, [&] { return granted_ == who || abandoned_; })) {
      abandoned_ = true;
    }
    waiting_[who] = false;
    granted_ = -1;
    trace_.push_back({who, kind});
    changed_.notify_all();
  }
  void Finish(int who) {
    std::lock_guard lock(mutex_);
    done_[who] = true;
    changed_.notify_all();
  }
  // Lets the threads run to the end; at each point where both wait, the
  // next entry of `prefix` (then 0) chooses. Returns the choices made, or
  // nothing when a thread did not reach its next call in time.
  std::optional<std::vector<int>> Drive(const std::vector<int>& prefix) {
    std::vector<int> choices;
    std::unique_lock lock(mutex_);
    for (;;) {
      const bool settled = changed_.wait_for(lock, kBound, [&] {
        return granted_ == -1 && (waiting_[0] || done_[0]) && (waiting_[1] || done_[1]);
      });
      if (!settled) {
        abandoned_ = true;
        changed_.notify_all();
        return std::nullopt;
      }
      if (done_[0] && done_[1]) return choices;
      int next = waiting_[0] ? 0 : 1;
      if (waiting_[0] && waiting_[1]) {
        next = choices.size() < prefix.size() ? prefix[choices.size()] : 0;
        choices.push_back(next);
      }
      granted_ = next;
      changed_.notify_all();
    }
  }
  std::vector<Call> trace() const { return trace_; }

 private:
  static constexpr std::chrono::seconds kBound{10};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool waiting_[2] = {false, false};
  bool done_[2] = {false, false};
  int granted_ = -1;
  bool abandoned_ = false;
  std::vector<Call> trace_;
};

class TurnTakingKeystore : public ForwardingKeystore {
 public:
  TurnTakingKeystore(Keystore& target, Turns& turns, int who)
      : ForwardingKeystore(target, nivora::Location::THREADSAFEMEMORY), turns_(turns), who_(who) {}
  bool armed = false;

  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override {
    Turn('t');
    ForwardingKeystore::BatchPushItemsImpl(index, keys, values);
  }
  void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                             const std::vector<std::vector<uint8_t>>& values) override {
    Turn('w');
    ForwardingKeystore::BatchPushVariableImpl(index, keys, values);
  }
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override {
    Turn('r');
    return ForwardingKeystore::BatchGetVariableImpl(index, keys);
  }

 private:
  void Turn(char kind) {
    if (armed) turns_.Wait(who_, kind);
  }
  Turns& turns_;
  int who_;
};

// Position in `trace` of the n-th call of `kind` by `who`; past the end
// when there is none.
size_t NthCall(const std::vector<Turns::Call>& trace, int who, char kind, int n) {
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].who == who && trace[i].kind == kind && n-- == 0) return i;
  }
  return trace.size();
}

// A writer reads the location record, then writes its own over it: a writer
// whose location write and read-back both fall between those two calls of
// the other is replaced unseen (two plain store calls cannot tell it).
bool OvertakenUnseen(const std::vector<Turns::Call>& trace) {
  for (int x = 0; x < 2; ++x) {
    const int y = 1 - x;
    if (NthCall(trace, x, 'r', 0) < NthCall(trace, y, 'w', 0) &&
        NthCall(trace, y, 'r', 1) < NthCall(trace, x, 'w', 0)) {
      return true;
    }
  }
  return false;
}

TEST_F(ConcurrentWritesTest, TwoReUpsertsLeaveOneTokenWhateverTheInterleaving) {
  const std::string base = name_;
  std::vector<std::vector<int>> pending = {{}};
  size_t checked = 0;
  for (int run = 0; !pending.empty(); ++run) {
    const std::vector<int> prefix = pending.back();
    pending.pop_back();
    name_ = base + "_" + std::to_string(run);
    SetUp();

    Turns turns;
    std::vector<std::unique_ptr<TurnTakingKeystore>> gates;
    std::vector<std::unique_ptr<Stores>> stores;
    std::vector<std::unique_ptr<Client>> clients;
    for (int who = 0; who < 2; ++who) {
      stores.push_back(std::make_unique<Stores>(nivora::Location::THREADSAFEMEMORY));
      gates.push_back(
          std::make_unique<TurnTakingKeystore>(Store(BackingStoreType::INDEX), turns, who));
      stores[who]->Replace(BackingStoreType::INDEX, gates[who].get());
      clients.push_back(OpenOver(*stores[who]));
      gates[who]->armed = true;
    }
    std::vector<std::thread> threads;
    for (int who = 0; who < 2; ++who) {
      threads.emplace_back([&, who] {
        ItemBatch batch = VersionOf(1 + who);
        try {
          clients[who]->AddItems(batch, {static_cast<uint32_t>(1 + who)});
        } catch (const std::exception& e) {
          ADD_FAILURE() << "writer " << who << ": " << e.what();
        }
        turns.Finish(who);
      });
    }
    const std::optional<std::vector<int>> choices = turns.Drive(prefix);
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(choices) << "a writer did not reach its next call in time";
    for (size_t d = prefix.size(); d < choices->size(); ++d) {
      if ((*choices)[d] != 0) continue;
      std::vector<int> child(choices->begin(), choices->begin() + d);
      child.push_back(1);
      pending.push_back(child);
    }

    const std::vector<Turns::Call> trace = turns.trace();
    std::string order;
    for (const Turns::Call& call : trace) order += std::string(1, 'A' + call.who) + call.kind + ' ';
    SCOPED_TRACE("calls: " + order);
    if (OvertakenUnseen(trace)) continue;
    ++checked;
    // The location record written last names the token that stays. (The
    // other records of the item are each the last one written.)
    const int last = NthCall(trace, 0, 'w', 0) > NthCall(trace, 1, 'w', 0) ? 0 : 1;
    ExpectOneToken(1 + last);
    if (HasFailure()) return;
  }
  EXPECT_GT(checked, 0u);
}

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

TEST_F(ConcurrentWritesTest, UpsertAfterAFailedDeleteLeavesOneToken) {
  const std::string base = name_;
  for (size_t fail_at = 0;; ++fail_at) {
    SCOPED_TRACE("failing write " + std::to_string(fail_at));
    name_ = base + "_" + std::to_string(fail_at);
    SetUp();
    Interruption plan;
    plan.fail_at = fail_at;
    Stores stores(nivora::Location::THREADSAFEMEMORY);
    std::vector<std::unique_ptr<InterruptingKeystore>> wrappers;
    auto deleter = OpenInterrupted(plan, wrappers, stores);
    bool failed = false;
    try {
      deleter->RemoveItems({"x"});
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "injected store failure");
      failed = true;
    }
    if (!plan.fired) break;  // every write of the delete has failed once
    EXPECT_TRUE(failed);
    ItemBatch v1 = VersionOf(1);
    Open()->AddItems(v1, {1});
    ExpectOnlyVersion(1, 1);
  }
}

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
