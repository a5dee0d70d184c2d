// Plaintext ids and metadata never go back to the heap unwiped when the
// changed items are read, also when the read fails halfway. This binary replaces the global operator new
// and delete: while a watch is on, every block freed is searched for the
// watched ids before it is released (the block is still ours then). It holds
// only these tests, so no other test pays for the search.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "backing_store/forwarding_keystore.h"
#include "ingest_fixture.h"

// GCC takes the malloc behind this file's operator new for a mismatch with
// the free behind its operator delete wherever both are inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// The ids searched for in freed blocks; nothing is searched while empty.
// Written only while no other thread allocates (before and after the call).
struct Watch {
  const std::string* ids = nullptr;
  size_t count = 0;
  std::atomic<bool> on{false};
  std::atomic<size_t> found{0};
};

Watch& TheWatch() {
  static Watch watch;
  return watch;
}

// Searches the `size` bytes the block was asked for: spare bytes past them
// may hold what an earlier, unwatched block left there.
void Inspect(void* block, size_t size) {
  Watch& watch = TheWatch();
  if (block == nullptr || !watch.on.load(std::memory_order_acquire)) return;
  for (size_t i = 0; i < watch.count; ++i) {
    const std::string& id = watch.ids[i];
    if (memmem(block, size, id.data(), id.size()) != nullptr) {
      watch.found.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

}  // namespace

void* operator new(size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  Inspect(block, block == nullptr ? 0 : malloc_usable_size(block));
  std::free(block);
}
void operator delete(void* block, size_t size) noexcept {
  Inspect(block, size);
  std::free(block);
}

namespace nivora_test {
namespace {

using nivora_encrypted_index::Client;

// Fails the one read it is told to, the way a broken store or connection
// would: by throwing, or by answering with rows of the wrong shape.
enum class Fault { kNone, kThrow, kWrongShape };

class FaultyReads : public ForwardingKeystore {
 public:
  using ForwardingKeystore::ForwardingKeystore;
  Fault fault = Fault::kNone;

  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override {
    if (fault == Fault::kThrow) throw std::runtime_error("row read failed");
    nivora::Array2D<unsigned char> rows = ForwardingKeystore::BatchGetItemsImpl(index, keys);
    if (fault == Fault::kWrongShape) return nivora::Array2D<unsigned char>(rows.rows, rows.cols + 1);
    return rows;
  }
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override {
    if (fault == Fault::kThrow) throw std::runtime_error("metadata read failed");
    std::vector<std::vector<uint8_t>> records = ForwardingKeystore::BatchGetVariableImpl(index, keys);
    if (fault == Fault::kWrongShape) records.pop_back();
    return records;
  }
};

struct FailCase {
  const char* name;
  BackingStoreType store;
  Fault fault;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class FreedPlaintextTest : public EngineTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FreedPlaintextTest, ChangedItemsLeaveNoPlaintextInFreedMemory) {
  const FailCase& c = GetParam();
  FaultyReads faulty(stores_[c.store], nivora::Location::THREADSAFEMEMORY);
  stores_.Replace(c.store, &faulty);
  auto client = Create(1, 8);
  // One id held inside the string (short), one on a block of its own.
  ItemBatch items = MakeBatch(1, 8, "fp-");
  items.ids.push_back("freed-plaintext-marker-of-a-long-item-id");
  items.payload = nivora::Array2D<uint8_t>(2, 8);
  items.metadata = {"{}", "{\"marker\":\"freed-plaintext-marker-of-long-metadata\"}"};
  client->AddItems(items, {0, 0});
  const std::vector<std::string> watched = {items.ids[0], items.ids[1], items.metadata[1]};

  faulty.fault = c.fault;
  Client::ItemDigests digests;
  std::vector<uint64_t> removed;
  Watch& watch = TheWatch();
  watch.ids = watched.data();
  watch.count = watched.size();
  watch.found = 0;
  watch.on = true;
  bool threw = false;
  try {
    client->RetrieveChangedItems(digests, removed);
  } catch (const std::runtime_error&) {
    threw = true;
  }
  Client::ReleaseAllEmbeddings();
  watch.on = false;
  EXPECT_EQ(threw, c.fault != Fault::kNone);
  EXPECT_EQ(watch.found.load(), 0u) << "blocks freed holding a plaintext id";
}

INSTANTIATE_TEST_SUITE_P(
    ReadFailures, FreedPlaintextTest,
    ::testing::Values(FailCase{"NothingFails", BackingStoreType::VECTORS, Fault::kNone},
                      FailCase{"RowReadThrows", BackingStoreType::VECTORS, Fault::kThrow},
                      FailCase{"RowsOfTheWrongWidth", BackingStoreType::VECTORS, Fault::kWrongShape},
                      FailCase{"MetadataReadThrows", BackingStoreType::METADATA, Fault::kThrow},
                      FailCase{"MetadataRowMissing", BackingStoreType::METADATA, Fault::kWrongShape}),
    [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nivora_test
