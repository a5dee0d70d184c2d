// Query tokens per centroid: copied from the token cache on a hit, extended
// from the cached last position when the list has grown, derived from the
// seed on a miss; the cache is then given the full list.
#include "encrypted_index/query_tokens.h"

#include <string>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "core/parallel_for.h"
#include "encrypted_index/centroid_range.h"
#include "encrypted_index/gpu_support.h"

namespace nivora_encrypted_index::internal::encrypted_index {
namespace {

void CheckArguments(const std::vector<uint32_t>& centroid_ids,
                    std::span<const SaltsAndSeeds> salts_and_seeds, uint32_t rounds) {
  nivora::Logger& log = *GetLogger();
  if (salts_and_seeds.size() < centroid_ids.size()) {
    const std::string message = "Number of centroid not matching the number of seeds.";
    nivora::LogAndThrow<std::invalid_argument>(
        log, nivora::ERROR,
        message + "\\nCentroid Ids: " + std::to_string(centroid_ids.size()) +
            " Seeds: " + std::to_string(salts_and_seeds.size()),
        message);
  }
  if (rounds == 0) {
    nivora::LogAndThrow<std::invalid_argument>(log, nivora::ERROR,
                                               "The number of round should be at least 1.",
                                               "The number of round should be at lest 1.");
  }
}

// Writes the tokens of positions first .. n - 1 of one centroid at keys and
// pads (indexed by position). The path starts at position `from`, which
// first == 0 derives from the seed and first > 0 takes as the position
// before first.
void DeriveTokens(const SaltsAndSeeds& secrets, uint32_t rounds, uint32_t from, uint64_t first,
                  uint64_t n, uint64_t* keys, uint64_t* pads) {
  PositionPath path(rounds);
  path.Reset(secrets.seed, from);
  for (uint64_t p = first; p < n; ++p) {
    path.MoveTo(static_cast<uint32_t>(p));  // nothing to redo when p == from
    const Token token = DeriveToken(secrets.salt, path.leaf());
    keys[p] = token.key;
    pads[p] = token.pad;
  }
}

}  // namespace

namespace cpu {

QueryTokens GenerateQueryTokens(const std::vector<uint32_t>& centroid_ids,
                                std::span<const SaltsAndSeeds> salts_and_seeds,
                                const std::vector<uint32_t>& counter_map, uint32_t rounds,
                                EncryptedTokenCache* cache) {
  CheckArguments(centroid_ids, salts_and_seeds, rounds);
  QueryTokens tokens;
  const size_t k = centroid_ids.size();
  if (k == 0) {
    GetLogger()->warning("Empty input");
    return tokens;
  }
  CheckCentroidIds(centroid_ids, salts_and_seeds.size(), "salts and seeds");
  CheckCentroidIds(centroid_ids, counter_map.size(), "counters");

  tokens.offsets.resize(k + 1);
  tokens.offsets[0] = 0;
  for (size_t i = 0; i < k; ++i) {
    tokens.offsets[i + 1] = tokens.offsets[i] + counter_map[centroid_ids[i]];
  }
  tokens.keys.resize(tokens.offsets[k]);
  tokens.value_hashes.resize(tokens.offsets[k]);

  nivora::ParallelForDynamic(k, [&](size_t i) {
    const uint32_t c = centroid_ids[i];
    const uint64_t n = counter_map[c];
    if (n == 0) return;
    uint64_t* keys = tokens.keys.data() + tokens.offsets[i];
    uint64_t* pads = tokens.value_hashes.data() + tokens.offsets[i];
    uint64_t cached = 0;
    uint32_t last_position = 0;
    if (cache != nullptr) cached = cache->Lookup(c, n, keys, pads, n, last_position);
    if (cached >= n) return;
    if (cached == 0) {
      DeriveTokens(salts_and_seeds[c], rounds, 0, 0, n, keys, pads);
    } else {
      DeriveTokens(salts_and_seeds[c], rounds, last_position, cached, n, keys, pads);
    }
    if (cache != nullptr) cache->Store(c, keys, pads, n);
  });
  return tokens;
}

}  // namespace cpu

namespace gpu {

QueryTokens GenerateQueryTokens(const std::vector<uint32_t>& /*centroid_ids*/,
                                std::span<const SaltsAndSeeds> /*salts_and_seeds*/,
                                const std::vector<uint32_t>& /*counter_map*/, uint32_t /*rounds*/) {
  ThrowCudaRequired();
}

}  // namespace gpu
}  // namespace nivora_encrypted_index::internal::encrypted_index
