// Position assignment from a counter map: the step of a counter-map update
// that hands out positions, without storing anything.
#ifndef NIVORA_ENCRYPTED_INDEX_COUNTER_ASSIGNMENT_H_
#define NIVORA_ENCRYPTED_INDEX_COUNTER_ASSIGNMENT_H_

#include <cstdint>
#include <vector>

namespace nivora_encrypted_index::internal::encrypted_index {

// For each id c in order: the position counters[c], then counters[c] + 1.
// Items of one centroid get consecutive positions in input order. Checks
// every id first (std::out_of_range "Centroid id <c> is out of range for
// <n> counters"); a counter that would pass 2^32 - 1 throws
// std::overflow_error "Counter of centroid <c> is exhausted". Either
// failure leaves counters unchanged.
std::vector<uint32_t> CountCentroids(const std::vector<uint32_t>& centroid_ids,
                                     std::vector<uint32_t>& counters);

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_COUNTER_ASSIGNMENT_H_
