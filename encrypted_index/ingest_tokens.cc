#include "encrypted_index/ingest_tokens.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "encrypted_index/centroid_range.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::encrypted_index::cpu {
namespace {

// A full path costs `rounds` hashes; too few items per thread waste the
// wake-up and leave ways of the four-way hasher idle.
constexpr size_t kItemsPerThread = 32;

[[noreturn]] void Refuse(const std::string& logged, const std::string& thrown) {
  nivora::LogAndThrow<std::invalid_argument>(*GetLogger(), nivora::ERROR, logged, thrown);
}

void CheckArguments(const std::vector<uint32_t>& centroid_ids,
                    const std::vector<uint64_t>& id_hashes,
                    std::span<const SaltsAndSeeds> salts_and_seeds, uint64_t rounds,
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
  if (rounds >= std::numeric_limits<size_t>::max()) {
    throw std::length_error("Position tree depth too large");
  }
}

}  // namespace

EncryptedTokens IngestCentroids(const std::vector<uint32_t>& centroid_ids,
                                const std::vector<uint64_t>& id_hashes,
                                std::span<const SaltsAndSeeds> salts_and_seeds,
                                uint64_t rounds, const std::vector<uint32_t>& positions) {
  CheckArguments(centroid_ids, id_hashes, salts_and_seeds, rounds, positions);
  const size_t n = centroid_ids.size();
  EncryptedTokens tokens;
  tokens.keys.resize(n);
  tokens.values.resize(n);

  // Derive the tokens grouped by centroid in position order: positions
  // handed out together are consecutive, so each leaf reuses most of the
  // previous leaf's path. Each thread derives one contiguous slice of that
  // order.
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return centroid_ids[a] != centroid_ids[b] ? centroid_ids[a] < centroid_ids[b]
                                              : positions[a] < positions[b];
  });
  std::vector<TokenRequest> requests(n);
  for (size_t k = 0; k < n; ++k) {
    requests[k] = TokenRequest{&salts_and_seeds[centroid_ids[order[k]]], positions[order[k]]};
  }
  cryptography::SecretVector<Token> derived(n);  // the pads are secrets

  nivora::SumOverThreadChunks(
      n,
      [&](size_t begin, size_t end) -> uint64_t {
        DeriveTokens(std::span(requests).subspan(begin, end - begin), rounds,
                     derived.data() + begin);
        for (size_t k = begin; k < end; ++k) {
          const size_t i = order[k];
          tokens.keys[i] = derived[k].key;
          tokens.values[i] = id_hashes[i] ^ derived[k].pad;
        }
        return 0;
      },
      kItemsPerThread);
  return tokens;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index::cpu
