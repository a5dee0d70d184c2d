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

#include "core/openssl_handles.h"
#include "encrypted_index/cryptography/sha3.h"
#include "encrypted_index/cryptography/sha3_x4.h"

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

void Compare(const char* label, const std::function<uint64_t()>& ours,
             const std::function<uint64_t()>& evp) {
  std::vector<double> a, b;
  TimeRound(ours, kHashes);  // warm-up
  TimeRound(evp, kHashes);
  for (int r = 0; r < kRounds; ++r) {
    a.push_back(TimeRound(ours, kHashes));
    b.push_back(TimeRound(evp, kHashes));
  }
  const double ours_ns = Median(a), evp_ns = Median(b);
  std::printf("%-34s %9.1f %9.1f %8.2f\n", label, ours_ns, evp_ns, evp_ns / ours_ns);
}

// OpenSSL's SHA3-256 through one context and one fetched digest, reused.
class EvpSHA3 {
 public:
  EvpSHA3() : md_(EVP_MD_fetch(nullptr, "SHA3-256", nullptr)), ctx_(EVP_MD_CTX_new()) {
    if (!md_ || !ctx_) throw std::runtime_error("EVP SHA3-256 unavailable");
  }
  uint64_t D64(const uint8_t* data, size_t size) {
    uint8_t out[32];
    unsigned int length = 0;
    if (EVP_DigestInit_ex(ctx_.get(), md_.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx_.get(), data, size) != 1 ||
        EVP_DigestFinal_ex(ctx_.get(), out, &length) != 1) {
      throw std::runtime_error("EVP SHA3-256 failed");
    }
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | out[i];
    return v;
  }

 private:
  std::unique_ptr<EVP_MD, nivora::OpenSslFree<&EVP_MD_free>> md_;
  nivora::EvpMdCtxPtr ctx_;
};

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
  Compare("one-way, 32 B (SHA3Variable64)",
          [&] {
            uint64_t x = 0;
            for (size_t i = 0; i < kHashes; ++i) {
              x ^= cpu::SHA3Variable64(bytes.data() + 64 * (i % kInputs), 32);
            }
            return x;
          },
          evp_round(32));
  Compare("one-way, 64 B (SHA3Variable64)",
          [&] {
            uint64_t x = 0;
            for (size_t i = 0; i < kHashes; ++i) {
              x ^= cpu::SHA3Variable64(bytes.data() + 64 * (i % kInputs), 64);
            }
            return x;
          },
          evp_round(64));
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
  return 0;
}
