#include "encrypted_index/ingest_tokens.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "encrypted_index/centroid_range.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::encrypted_index::cpu {
namespace {

// A full path costs `rounds` hashes; too few items per thread waste the wake-up.
constexpr size_t kItemsPerThread = 16;

[[noreturn]] void Refuse(const std::string& logged, const std::string& thrown) {
  nivora::LogAndThrow<std::invalid_argument>(*GetLogger(), nivora::ERROR, logged, thrown);
}

void CheckArguments(const std::vector<uint32_t>& centroid_ids,
                    const std::vector<uint64_t>& id_hashes,
                    const std::vector<SaltsAndSeeds>& salts_and_seeds, uint64_t rounds,
                    const std::vector<uint32_t>& positions) {
  const std::string count_message = "The number of centroid Ids does not match the number item Ids.";
  if (centroid_ids.size() != id_hashes.size()) {
    Refuse(count_message + "\nCentroid Ids: " + std::to_string(centroid_ids.size()) +
               "\nItem Ids: " + std::to_string(id_hashes.size()),
           count_message);
  }
  if (rounds == 0) {
    Refuse("The number of round should be at least 1.", "The number of round should be at least 1.");
  }
  if (positions.size() != centroid_ids.size()) {
    const std::string message = "The number of positions (" + std::to_string(positions.size()) +
                                ") does not match the number of item Ids (" +
                                std::to_string(centroid_ids.size()) + ").";
    Refuse(message, message);
  }
  CheckCentroidIds(centroid_ids, salts_and_seeds.size(), "salts and seeds");
}

}  // namespace

EncryptedTokens IngestCentroids(const std::vector<uint32_t>& centroid_ids,
                                const std::vector<uint64_t>& id_hashes,
                                const std::vector<SaltsAndSeeds>& salts_and_seeds,
                                uint64_t rounds, const std::vector<uint32_t>& positions) {
  CheckArguments(centroid_ids, id_hashes, salts_and_seeds, rounds, positions);
  const size_t n = centroid_ids.size();
  EncryptedTokens tokens;
  tokens.keys.resize(n);
  tokens.values.resize(n);

  // Walk the items grouped by centroid in position order: positions handed
  // out together are consecutive, so each leaf reuses most of the previous
  // leaf's path. Each thread walks one contiguous block of that order.
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return centroid_ids[a] != centroid_ids[b] ? centroid_ids[a] < centroid_ids[b]
                                              : positions[a] < positions[b];
  });

  nivora::SumOverThreadChunks(
      n,
      [&](size_t begin, size_t end) -> uint64_t {
        PositionPath path(rounds);
        uint32_t current = 0;
        for (size_t k = begin; k < end; ++k) {
          const size_t i = order[k];
          const uint32_t c = centroid_ids[i];
          if (k == begin || c != current) {
            path.Reset(salts_and_seeds[c].seed, positions[i]);
            current = c;
          } else {
            path.MoveTo(positions[i]);
          }
          const Token token = DeriveToken(salts_and_seeds[c].salt, path.leaf());
          tokens.keys[i] = token.key;
          tokens.values[i] = id_hashes[i] ^ token.pad;
        }
        return 0;
      },
      kItemsPerThread);
  return tokens;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index::cpu
