// The engine's own SHA3-256 against OpenSSL's EVP SHA3-256 with a context
// reused across hashes (the fastest way to call it), measured in the same
// run on the same inputs: one hash at a time for 32- and 64-byte inputs,
// and the four-way batch hasher. Each figure is the median of alternating
// rounds, so both sides see the same machine noise. A ratio above 1 means
// the engine's code is faster than EVP.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <stdexcept>
#include <vector>

#include "core/little_endian.h"
#include "core/openssl_handles.h"
#include "core/parallel_for.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/cryptography/sha3.h"
#include "encrypted_index/cryptography/sha3_x4.h"
#include "encrypted_index/position_tree.h"
#include "encrypted_index/ingest_tokens.h"

namespace {

namespace cpu = nivora_encrypted_index::internal::cryptography::cpu;

constexpr size_t kInputs = 4096;   // distinct inputs, cycled
constexpr size_t kHashes = 200000; // per round
constexpr int kRounds = 15;

volatile uint64_t sink;

// Nanoseconds per hash of one round of `hashes` hashes.
double TimeRound(const std::function<uint64_t()>& round, size_t hashes) {
  const auto start = std::chrono::steady_clock::now();
  sink = sink + round();
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(stop - start).count() / double(hashes);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Medians of alternating rounds of each column; the last column is the
// reference, and each other column's ratio is reference / column.
void CompareColumns(const char* label, const std::vector<std::function<uint64_t()>>& columns,
                    size_t hashes) {
  std::vector<std::vector<double>> times(columns.size());
  for (const auto& column : columns) TimeRound(column, hashes);  // warm-up
  for (int r = 0; r < kRounds; ++r) {
    for (size_t c = 0; c < columns.size(); ++c) times[c].push_back(TimeRound(columns[c], hashes));
  }
  std::vector<double> medians;
  for (auto& t : times) medians.push_back(Median(t));
  std::printf("%-34s", label);
  for (double m : medians) std::printf(" %9.1f", m);
  for (size_t c = 0; c + 1 < medians.size(); ++c) std::printf(" %8.2f", medians.back() / medians[c]);
  std::printf("\n");
}

void Compare(const char* label, const std::function<uint64_t()>& ours,
             const std::function<uint64_t()>& evp) {
  CompareColumns(label, {ours, evp}, kHashes);
}

// OpenSSL's SHA3-256 through one context and one fetched digest, reused.
class EvpSHA3 {
 public:
  EvpSHA3() : md_(EVP_MD_fetch(nullptr, "SHA3-256", nullptr)), ctx_(EVP_MD_CTX_new()) {
    if (!md_ || !ctx_) throw std::runtime_error("EVP SHA3-256 unavailable");
  }
  uint64_t D64(const uint8_t* data, size_t size) {
    std::array<uint8_t, 32> out;
    Digest(data, size, out);
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | out[i];
    return v;
  }
  void Digest(const uint8_t* data, size_t size, std::array<uint8_t, 32>& out) {
    unsigned int length = 0;
    if (EVP_DigestInit_ex(ctx_.get(), md_.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx_.get(), data, size) != 1 ||
        EVP_DigestFinal_ex(ctx_.get(), out.data(), &length) != 1) {
      throw std::runtime_error("EVP SHA3-256 failed");
    }
  }

 private:
  std::unique_ptr<EVP_MD, nivora::OpenSslFree<&EVP_MD_free>> md_;
  nivora::EvpMdCtxPtr ctx_;
};

namespace engine = nivora_encrypted_index::internal::encrypted_index;
namespace crypto = nivora_encrypted_index::internal::cryptography;

// The token of every item as ingest derives it, but each hash through EVP:
// items sorted by (centroid, position), each path re-derived below the
// first bit where it parts from the previous one in the same tree.
uint64_t EvpTokens(EvpSHA3& evp, const engine::SaltsAndSeedsList& salts,
                   const std::vector<std::pair<uint32_t, uint32_t>>& sorted, size_t depth) {
  std::vector<engine::Node> states(depth + 1);
  uint64_t x = 0;
  for (size_t k = 0; k < sorted.size(); ++k) {
    const auto [c, p] = sorted[k];
    size_t first = 0;
    if (k == 0 || sorted[k - 1].first != c) {
      states[0] = salts[c].seed;
    } else {
      const uint32_t q = sorted[k - 1].second;
      while (first < depth && ((p ^ q) >> (depth - 1 - first) % 32 & 1) == 0) ++first;
    }
    for (size_t j = first; j < depth; ++j) {
      engine::Node input = states[j];
      input[0] ^= static_cast<uint8_t>((p >> ((depth - 1 - j) % 32)) & 1);
      evp.Digest(input.data(), input.size(), states[j + 1]);
    }
    for (size_t half = 0; half < 2; ++half) {
      uint8_t input[32];
      std::copy_n(salts[c].salt.data() + 16 * half, 16, input);
      std::copy_n(states[depth].data() + 16 * half, 16, input + 16);
      x ^= evp.D64(input, 32);
    }
  }
  return x;
}

// XOR of d64(key || name) over the names, one at a time.
template <typename D64>
uint64_t EachKeyedName(const crypto::Key& key, const std::vector<std::string>& names, D64&& d64) {
  uint64_t x = 0;
  std::vector<uint8_t> buffer;
  for (const std::string& name : names) {
    buffer.assign(key.begin(), key.end());
    buffer.insert(buffer.end(), name.begin(), name.end());
    x ^= d64(buffer);
  }
  return x;
}

// The batch paths of the engine on one thread (engine batch, the same work
// one hash at a time through the one-way sponge, EVP): nanoseconds per item.
void BatchPaths(EvpSHA3& evp) {
  nivora::ScopedThreadCount one_thread(1);
  constexpr size_t kItems = 20000;
  crypto::Key key;
  key.fill(7);
  std::printf("%-34s %9s %9s %9s %8s %8s\n", "ns per item, one thread", "batch", "one-way",
              "EVP", "EVP/bat", "EVP/one");

  std::vector<uint64_t> ids(kItems);
  std::mt19937_64 rng(2);
  for (auto& id : ids) id = rng();
  CompareColumns(
      "store keys (DeriveKeystoreKeys)",
      {[&] { return crypto::DeriveKeystoreKeys(ids, key)[kItems / 2]; },
       [&] {
         uint64_t x = 0;
         for (uint64_t id : ids) x ^= crypto::DeriveKeystoreKey(id, key);
         return x;
       },
       [&] {
         uint64_t x = 0;
         uint8_t buffer[40];
         std::copy(key.begin(), key.end(), buffer);
         for (uint64_t id : ids) {
           nivora::StoreLittleEndian(id, buffer + 32);
           x ^= evp.D64(buffer, 40);
         }
         return x;
       }},
      kItems);

  std::vector<std::string> names(kItems);
  for (size_t i = 0; i < kItems; ++i) names[i] = "item-" + std::to_string(i * 7919);
  CompareColumns(
      "id hashes (ComputeSHA3256String)",
      {[&] { return crypto::ComputeSHA3256String(names, key)[kItems / 2]; },
       [&] {
         return EachKeyedName(key, names, [](const std::vector<uint8_t>& buffer) {
           return cpu::SHA3Variable64(buffer);
         });
       },
       [&] {
         return EachKeyedName(key, names, [&evp](const std::vector<uint8_t>& buffer) {
           return evp.D64(buffer.data(), buffer.size());
         });
       }},
      kItems);

  // Ingest tokens, depth 32: one list (consecutive positions, about four
  // hashes per item) and 10,000 lists (a full path per item).
  for (size_t vocab : {size_t{1}, size_t{10000}}) {
    const size_t n = 10000;
    const auto salts = engine::ComputeAllSaltsAndSeeds(vocab, key, key);
    std::vector<uint32_t> centroids(n), positions(n);
    std::vector<uint64_t> hashes(n, 0);
    std::vector<uint32_t> counters(vocab, 1000);
    for (size_t i = 0; i < n; ++i) {
      centroids[i] = static_cast<uint32_t>(rng() % vocab);
      positions[i] = counters[centroids[i]]++;
    }
    std::vector<std::pair<uint32_t, uint32_t>> sorted(n);
    for (size_t i = 0; i < n; ++i) sorted[i] = {centroids[i], positions[i]};
    std::sort(sorted.begin(), sorted.end());
    const std::string label = "ingest tokens, " + std::to_string(vocab) + " list(s)";
    CompareColumns(
        label.c_str(),
        {[&] { return engine::cpu::IngestCentroids(centroids, hashes, salts, 32, positions).keys[0]; },
         [&] {
           uint64_t x = 0;
           engine::PositionPath path(32);
           for (size_t k = 0; k < n; ++k) {
             const auto [c, p] = sorted[k];
             if (k == 0 || sorted[k - 1].first != c) {
               path.Reset(salts[c].seed, p);
             } else {
               path.MoveTo(p);
             }
             const engine::Token t = engine::DeriveToken(salts[c].salt, path.leaf());
             x ^= t.key ^ t.pad;
           }
           return x;
         },
         [&] { return EvpTokens(evp, salts, sorted, 32); }},
        n);
  }
}

}  // namespace

int main() {
  std::mt19937_64 rng(1);
  std::vector<uint8_t> bytes(kInputs * 64);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  std::vector<std::array<uint8_t, 32>> nodes(kInputs);
  for (size_t i = 0; i < kInputs; ++i) std::copy_n(bytes.data() + 64 * i, 32, nodes[i].begin());
  EvpSHA3 evp;

  auto evp_round = [&](size_t size) {
    return [&evp, &bytes, size] {
      uint64_t x = 0;
      for (size_t i = 0; i < kHashes; ++i) x ^= evp.D64(bytes.data() + 64 * (i % kInputs), size);
      return x;
    };
  };

  std::printf("AVX2 kernel in use: %s\n", cpu::HasAvx2() ? "yes" : "no (portable)");
  std::printf("%-34s %9s %9s %8s\n", "ns per hash", "engine", "EVP", "EVP/eng");

  Compare("one-way, 32 B (SHA3Direct256)",
          [&] {
            uint64_t x = 0;
            for (size_t i = 0; i < kHashes; ++i) x ^= cpu::SHA3Direct256(nodes[i % kInputs])[0];
            return x;
          },
          evp_round(32));
  auto variable = [&bytes](size_t size) {
    return [&bytes, size] {
      uint64_t x = 0;
      for (size_t i = 0; i < kHashes; ++i) {
        x ^= cpu::SHA3Variable64(bytes.data() + 64 * (i % kInputs), size);
      }
      return x;
    };
  };
  Compare("one-way, 32 B (SHA3Variable64)", variable(32), evp_round(32));
  Compare("one-way, 64 B (SHA3Variable64)", variable(64), evp_round(64));
  Compare("4-way, 32 B (SHA3Direct256x4)",
          [&] {
            uint64_t x = 0;
            std::array<uint8_t, 32> out[cpu::kWays];
            std::array<uint8_t, 32>* outs[cpu::kWays] = {&out[0], &out[1], &out[2], &out[3]};
            for (size_t i = 0; i < kHashes; i += cpu::kWays) {
              const size_t k = i % kInputs;
              const std::array<uint8_t, 32>* in[cpu::kWays] = {&nodes[k], &nodes[k + 1],
                                                                &nodes[k + 2], &nodes[k + 3]};
              cpu::SHA3Direct256x4(in, outs);
              x ^= out[0][0] ^ out[1][0] ^ out[2][0] ^ out[3][0];
            }
            return x;
          },
          evp_round(32));
  auto variable_x4 = [&](size_t size) {
    return [&bytes, size] {
      uint64_t x = 0;
      const size_t sizes[cpu::kWays] = {size, size, size, size};
      for (size_t i = 0; i < kHashes; i += cpu::kWays) {
        const uint8_t* p = bytes.data() + 64 * (i % kInputs);
        const uint8_t* data[cpu::kWays] = {p, p + 64, p + 128, p + 192};
        uint64_t out[cpu::kWays];
        cpu::SHA3Variable64x4(data, sizes, out);
        x ^= out[0] ^ out[1] ^ out[2] ^ out[3];
      }
      return x;
    };
  };
  Compare("4-way, 40 B (SHA3Variable64x4)", variable_x4(40), evp_round(40));
  Compare("4-way, 64 B (SHA3Variable64x4)", variable_x4(64), evp_round(64));

  // The permutation alone: the portable kernel (four one-way permutations)
  // as the reference for the AVX2 kernel.
  if (cpu::HasAvx2()) {
    cpu::States4 s{};
    auto permutations = [&s](void (*kernel)(cpu::States4&)) {
      return [&s, kernel] {
        for (size_t i = 0; i < kHashes; i += cpu::kWays) kernel(s);
        return s.lanes[0][0];
      };
    };
    std::printf("%-34s %9s %9s %8s\n", "ns per state permuted", "AVX2", "portable", "port/AVX2");
    Compare("Keccak-f[1600] x4", permutations(&cpu::KeccakF4Avx2),
            permutations(&cpu::KeccakF4Portable));
  }
  BatchPaths(evp);
  return 0;
}
