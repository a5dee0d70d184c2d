// The query's floor and the upsert path of the engine on the in-process
// store: retrieval of the rows of 32 of 1,024 probed lists of 100,000 items
// (per row one INDEX read, one unmask, one VECTORS read and one AES-GCM
// decryption), next to a plain OpenSSL AES-256-GCM decrypt loop over the
// same number of records of the same size, measured in the same run on the
// same threads; and ingest of 100,000 items in items/s, next to the plain
// batch encryption of their payload rows.
#include <benchmark/benchmark.h>
#include <omp.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <random>
#include <string>

#include "backing_store/thread_safe_memory_keystore.h"
#include "core/openssl_handles.h"
#include "core/parallel_for.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"

namespace {

namespace engine = nivora_encrypted_index;
namespace crypto = nivora_encrypted_index::internal::cryptography;
using engine::BackingStoreType;
using engine::internal::backing_store::Keystore;
using engine::internal::backing_store::ThreadSafeMemoryKeystore;
using Clock = std::chrono::steady_clock;

constexpr size_t kItems = 100000;
constexpr int32_t kLists = 1024;
constexpr size_t kProbes = 32;

nivora::Logger& QuietLogger() {
  static nivora::Logger logger;  // level ERROR
  return logger;
}

int AllCores() { return omp_get_num_procs(); }

struct Stores {
  std::array<std::unique_ptr<Keystore>, 6> owned;
  Stores() {
    nivora::DBConfig config(nivora::Location::THREADSAFEMEMORY, std::nullopt, std::nullopt);
    for (int t = 0; t < 6; ++t) {
      owned[t] = std::make_unique<ThreadSafeMemoryKeystore>(config, static_cast<BackingStoreType>(t));
    }
  }
  void Fill(engine::ExistingIndexConfig& c) const {
    c.index_keystore = owned[0].get();
    c.config_keystore = owned[1].get();
    c.contents_keystore = owned[2].get();
    c.vectors_keystore = owned[3].get();
    c.metadata_keystore = owned[4].get();
    c.id_keystore = owned[5].get();
  }
};

std::unique_ptr<engine::Client> NewIndex(const Stores& stores, const std::string& name,
                                         size_t width) {
  engine::NewIndexConfig config;
  config.index_name = name;
  config.index_key.fill(0x42);
  stores.Fill(config);
  config.vocab_size = kLists;
  config.payload_size = width;
  config.cpu_threads = nivora::ThreadCount();
  return std::make_unique<engine::Client>(config, QuietLogger());
}

struct Items {
  engine::ItemBatch batch;
  std::vector<uint32_t> centroids;
};

Items MakeItems(size_t width, uint32_t seed) {
  std::mt19937 random(seed);
  Items items;
  nivora::Array2D<uint8_t> payload(kItems, width);
  for (size_t i = 0; i < payload.size(); ++i) payload.data[i] = static_cast<uint8_t>(random());
  for (size_t i = 0; i < kItems; ++i) {
    items.batch.ids.push_back("item-" + std::to_string(i));
    items.centroids.push_back(static_cast<uint32_t>(random() % kLists));
  }
  items.batch.payload = payload;
  return items;
}

// The reference: decrypt every record on all threads, one context per
// thread with the key schedule set once, IV / update / tag / final per record.
double ReferenceDecrypt(const nivora::Array2D<unsigned char>& records, const crypto::Key& key,
                        std::vector<uint8_t>& out) {
  const size_t record_size = records.cols, plain = record_size - crypto::kRecordOverhead;
  const auto start = Clock::now();
  int failures = 0;
#pragma omp parallel num_threads(nivora::ThreadCount()) reduction(+ : failures)
  {
    nivora::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr);
#pragma omp for schedule(static)
    for (int64_t i = 0; i < static_cast<int64_t>(records.rows); ++i) {
      const uint8_t* record = records.row(static_cast<size_t>(i));
      uint8_t tag[16];
      std::memcpy(tag, record + record_size - 16, 16);
      int len = 0;
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, record);
      EVP_DecryptUpdate(ctx.get(), out.data() + plain * i, &len, record + 12, static_cast<int>(plain));
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag);
      failures += EVP_DecryptFinal_ex(ctx.get(), out.data() + plain * i + plain, &len) > 0 ? 0 : 1;
    }
  }
  if (failures != 0) throw std::runtime_error("reference decryption failed");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The query path's retrieval: the candidates, then each list's rows read
// and decrypted through read_payloads into a per-thread buffer, which is
// wiped after each list (as the rankers read them).
void RetrieveListByList(engine::Client& client, std::vector<uint32_t>& probe, size_t width,
                        engine::RetrieveNeighborsResult& result) {
  client.RetrieveCandidates(probe, result);
  const std::vector<uint64_t>& off = result.centroid_to_matching_indices;
  const size_t lists = off.empty() ? 0 : off.size() - 1;
#pragma omp parallel num_threads(nivora::ThreadCount())
  {
    std::vector<uint8_t> rows, present;
#pragma omp for schedule(dynamic, 1)
    for (int64_t p = 0; p < static_cast<int64_t>(lists); ++p) {
      const size_t first = off[p], count = off[p + 1] - off[p];
      rows.resize(std::max(rows.size(), count * width + 1));
      present.assign(count, 1);
      result.read_payloads(result.matching_ids.data() + first, count, rows.data(),
                           present.data());
      OPENSSL_cleanse(rows.data(), count * width);
    }
  }
}

// Arguments: payload bytes, threads (0: all cores), 1 to read list by list
// as queries do (0: the whole decrypted matrix of RetrieveNeighbors).
int Threads(const benchmark::State& state) {
  return state.range(1) == 0 ? AllCores() : static_cast<int>(state.range(1));
}

void BM_RetrieveProbedLists(benchmark::State& state) {
  const size_t width = static_cast<size_t>(state.range(0));
  nivora::ScopedThreadCount threads(Threads(state));
  Stores stores;
  auto client = NewIndex(stores, "retrieval_" + std::to_string(width), width);
  Items items = MakeItems(width, 7);
  client->AddItems(items.batch, items.centroids);
  // Every list's tokens once, as a running index would have them cached.
  std::vector<uint32_t> all(kLists);
  for (int32_t c = 0; c < kLists; ++c) all[c] = static_cast<uint32_t>(c);
  engine::RetrieveNeighborsResult result;
  client->RetrieveNeighbors(all, result);

  crypto::Key reference_key;
  reference_key.fill(0x17);
  std::mt19937 random(11);
  double engine_seconds = 0, reference_seconds = 0;
  size_t rows = 0;
  for (auto _ : state) {
    std::vector<uint32_t> probe(kProbes);
    for (uint32_t& c : probe) c = static_cast<uint32_t>(random() % kLists);
    const auto start = Clock::now();
    if (state.range(2) == 0) {
      client->RetrieveNeighbors(probe, result);
    } else {
      RetrieveListByList(*client, probe, width, result);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    engine_seconds += seconds;
    const size_t n = result.matching_ids.size();
    rows += n;

    // The same number of records of the same size, plainly decrypted.
    const std::vector<uint8_t> plain(n * width, 1);
    const auto records = crypto::EncryptItemsFixed(plain.data(), n, width, reference_key);
    std::vector<uint8_t> out(n * width + 1);
    reference_seconds += ReferenceDecrypt(records, reference_key, out);
  }
  const double us_per_row = 1e6 * engine_seconds / static_cast<double>(rows);
  const double reference_us_per_row = 1e6 * reference_seconds / static_cast<double>(rows);
  state.counters["rows_per_query"] = static_cast<double>(rows) / state.iterations();
  state.counters["us_per_row"] = us_per_row;
  state.counters["ref_aes_gcm_us_per_row"] = reference_us_per_row;
  state.counters["ratio"] = us_per_row / reference_us_per_row;
  state.counters["threads"] = Threads(state);
  client->DeleteIndex(true);
}
BENCHMARK(BM_RetrieveProbedLists)
    ->ArgsProduct({{512, 128}, {0, 1}, {0, 1}})
    ->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Ingest100k(benchmark::State& state) {
  const size_t width = static_cast<size_t>(state.range(0));
  nivora::ScopedThreadCount threads(Threads(state));
  Stores stores;
  Items items = MakeItems(width, 3);
  crypto::Key reference_key;
  reference_key.fill(0x23);
  double engine_seconds = 0, reference_seconds = 0;
  int round = 0;
  for (auto _ : state) {
    auto client = NewIndex(stores, "ingest_" + std::to_string(width) + "_" + std::to_string(round++), width);
    const auto start = Clock::now();
    client->AddItems(items.batch, items.centroids);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    engine_seconds += seconds;

    const auto view = items.batch.payload_view();
    const auto reference_start = Clock::now();
    benchmark::DoNotOptimize(crypto::EncryptItemsFixed(view.data, view.rows, view.cols, reference_key));
    reference_seconds += std::chrono::duration<double>(Clock::now() - reference_start).count();
    client->DeleteIndex(true);
  }
  const double total = static_cast<double>(kItems) * state.iterations();
  state.counters["items_per_s"] = total / engine_seconds;
  state.counters["ref_payload_encrypt_items_per_s"] = total / reference_seconds;
  state.counters["ratio"] = (total / reference_seconds) / (total / engine_seconds);
}
BENCHMARK(BM_Ingest100k)
    ->ArgsProduct({{512, 128}, {0, 1}})
    ->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
