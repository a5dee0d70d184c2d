// The engine's hot cryptography: the SHA3 sponge, ingest token derivation
// and batch AES-GCM.
#include <benchmark/benchmark.h>

#include <random>

#include "encrypted_index/counter_assignment.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/cryptography/sha3.h"
#include "encrypted_index/ingest_tokens.h"

namespace {

namespace crypto = nivora_encrypted_index::internal::cryptography;
namespace engine = nivora_encrypted_index::internal::encrypted_index;

crypto::Key TestKey(uint8_t fill) {
  crypto::Key key;
  key.fill(fill);
  return key;
}

void BM_SHA3Direct256(benchmark::State& state) {
  std::array<uint8_t, 32> node{};
  for (auto _ : state) {
    node = crypto::cpu::SHA3Direct256(node);
    benchmark::DoNotOptimize(node);
  }
}
BENCHMARK(BM_SHA3Direct256);

void BM_SHA3Variable64(benchmark::State& state) {
  std::vector<uint8_t> input(static_cast<size_t>(state.range(0)), 7);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::cpu::SHA3Variable64(input));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SHA3Variable64)->Arg(40)->Arg(1000);

// One upsert slice: 10,000 items over `vocab` centroids, positions handed
// out on top of counters that already hold 1,000 items per centroid.
void BM_IngestCentroids(benchmark::State& state) {
  const size_t n = 10000;
  const size_t vocab = static_cast<size_t>(state.range(0));
  std::mt19937_64 rng(1);
  std::vector<uint32_t> centroids(n);
  std::vector<uint64_t> hashes(n);
  for (size_t i = 0; i < n; ++i) {
    centroids[i] = static_cast<uint32_t>(rng() % vocab);
    hashes[i] = rng();
  }
  std::vector<uint32_t> counters(vocab, 1000);
  const std::vector<uint32_t> positions = engine::CountCentroids(centroids, counters);
  const auto salts = engine::ComputeAllSaltsAndSeeds(vocab, TestKey(1), TestKey(2));
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine::cpu::IngestCentroids(centroids, hashes, salts, 32, positions));
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_IngestCentroids)->Arg(1)->Arg(100)->Arg(10000)->UseRealTime();

void BM_ComputeAllSaltsAndSeeds(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine::ComputeAllSaltsAndSeeds(4096, TestKey(1), TestKey(2)));
  }
  state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_ComputeAllSaltsAndSeeds)->UseRealTime();

void BM_EncryptDecryptFixed(benchmark::State& state) {
  const size_t n = 10000, width = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> data(n * width, 3);
  const crypto::Key key = TestKey(9);
  for (auto _ : state) {
    const auto records = crypto::EncryptItemsFixed(data.data(), n, width, key);
    benchmark::DoNotOptimize(crypto::DecryptItemsFixed(records.data, n, records.cols, key));
  }
  state.SetBytesProcessed(state.iterations() * n * width);
}
BENCHMARK(BM_EncryptDecryptFixed)->Arg(16)->Arg(512)->UseRealTime();

void BM_ComputeSHA3256String(benchmark::State& state) {
  std::vector<std::string> ids(10000);
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = "item-" + std::to_string(i);
  const crypto::Key key = TestKey(4);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::ComputeSHA3256String(ids, key));
  state.SetItemsProcessed(state.iterations() * ids.size());
}
BENCHMARK(BM_ComputeSHA3256String)->UseRealTime();

}  // namespace
