// Builders shared by the ranker tests: candidate sets with lists of given
// sizes, selections with given probe positions, and a brute-force oracle.
#ifndef NIVORA_TESTS_VECTOR_RANKING_TEST_UTIL_H_
#define NIVORA_TESTS_VECTOR_RANKING_TEST_UTIL_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/item_batch.h"
#include "vector/centroid_selection.h"

namespace nivora::internal::vector_index {

inline uint64_t IdOf(size_t row) { return 1000 + row; }
inline std::string MetadataOf(size_t row) { return "{\"row\":" + std::to_string(row) + "}"; }

// Lists of the given sizes, rows of row_bytes zero bytes, ids IdOf(row).
inline nivora_encrypted_index::RetrieveNeighborsResult Retrieved(
    const std::vector<size_t>& list_sizes, size_t row_bytes) {
  nivora_encrypted_index::RetrieveNeighborsResult r;
  r.centroid_to_matching_indices.push_back(0);
  size_t rows = 0;
  for (size_t n : list_sizes) r.centroid_to_matching_indices.push_back(rows += n);
  for (size_t i = 0; i < rows; ++i) r.matching_ids.push_back(IdOf(i));
  r.payloads = Array2D<uint8_t>(rows, row_bytes);
  return r;
}

inline std::vector<std::string> Metadata(size_t rows) {
  std::vector<std::string> m;
  for (size_t i = 0; i < rows; ++i) m.push_back(MetadataOf(i));
  return m;
}

// One row of probe positions per query.
inline CentroidSelection Selection(const std::vector<std::vector<uint32_t>>& positions) {
  CentroidSelection s;
  s.n_queries = positions.size();
  const size_t cols = positions.empty() ? 0 : positions[0].size();
  s.query_lists = Array2D<uint32_t>(s.n_queries, cols);
  for (size_t q = 0; q < s.n_queries; ++q) {
    std::memcpy(s.query_lists.row(q), positions[q].data(), cols * sizeof(uint32_t));
  }
  return s;
}

template <typename T>
void PutRow(nivora_encrypted_index::RetrieveNeighborsResult& r, size_t row,
            const std::vector<T>& values) {
  std::memcpy(r.payloads.row(row), values.data(), values.size() * sizeof(T));
}

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_TESTS_VECTOR_RANKING_TEST_UTIL_H_
