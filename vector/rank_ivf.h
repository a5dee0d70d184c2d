// The IVF ranker. An IVF index stores nothing to score, so each query gets
// the items of its probed lists in probe order (nearest list first, rows
// ascending within a list), each carrying the distance from the query to
// its list's centroid as the IVF centroid selection recorded it, until the
// query holds top_k items. Metadata slots stay empty.
//
// Thread-safe: inputs are only read; one OpenMP iteration per query.
#ifndef NIVORA_VECTOR_RANK_IVF_H_
#define NIVORA_VECTOR_RANK_IVF_H_

#include <cstdint>

#include "vector/entry_points.h"

namespace nivora::internal::vector_index::cpu {

// Empty slots when no id was retrieved or the selection has no queries.
// k = min(top_k, number of ids); top_k 0 gives empty slots. Throws, logged
// at ERROR:
//  - std::invalid_argument "RankIVF: query_distances does not match
//    query_lists" when the selection holds no distance per probed list;
//  - std::out_of_range "RankIVF: centroid_idx (<p>) + 1 >=
//    centroid_to_matching_indices.size() (<n>)", "RankIVF:
//    centroid_to_matching_indices decreases at position (<p>)" and
//    "RankIVF: end_idx (<end>) > matching_ids.size() (<n>)" for lists
//    outside the retrieved ids (checked for every probed list up front).
RankingResults RankIVF(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                       const CentroidSelection& selection, uint32_t top_k);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_RANK_IVF_H_
