#include "encrypted_index/counter_assignment.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "encrypted_index/centroid_range.h"

namespace nivora_encrypted_index::internal::encrypted_index {

std::vector<uint32_t> CountCentroids(const std::vector<uint32_t>& centroid_ids,
                                     std::vector<uint32_t>& counters) {
  CheckCentroidIds(centroid_ids, counters.size(), "counters");
  std::vector<uint32_t> positions(centroid_ids.size());
  for (size_t k = 0; k < centroid_ids.size(); ++k) {
    const uint32_t c = centroid_ids[k];
    if (counters[c] == std::numeric_limits<uint32_t>::max()) {
      // Positions are 32-bit: never wrap onto positions already handed out.
      for (size_t undo = 0; undo < k; ++undo) --counters[centroid_ids[undo]];
      throw std::overflow_error("Counter of centroid " + std::to_string(c) + " is exhausted");
    }
    positions[k] = counters[c]++;
  }
  return positions;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index
