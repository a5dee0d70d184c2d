#include "vector/quantizer_set.h"

#include <cstring>
#include <utility>

namespace nivora::internal::vector_index {

Codebook Codebook::Clone() const {
  Codebook copy;
  copy.k = k;
  copy.centroids = Array2D<float>(centroids.rows, centroids.cols);
  if (centroids.size() != 0) {
    std::memcpy(copy.centroids.data, centroids.data, centroids.size() * sizeof(float));
  }
  return copy;
}

QuantizerSet::QuantizerSet(QuantizerSet&& other) noexcept { *this = std::move(other); }

QuantizerSet& QuantizerSet::operator=(QuantizerSet&& other) noexcept {
  if (this == &other) return *this;
  Release();
  centroids = std::move(other.centroids);
  pq_codebooks = std::move(other.pq_codebooks);
  sq_quantizers = std::move(other.sq_quantizers);
  aux_entries = std::move(other.aux_entries);
  aux_matrix = std::move(other.aux_matrix);
  other.Release();
  return *this;
}

QuantizerSet::~QuantizerSet() { Release(); }

void QuantizerSet::Release() noexcept {
  aux_matrix = Array2D<unsigned char>();
  while (!aux_entries.empty()) aux_entries.pop_back();
  sq_quantizers.clear();
  pq_codebooks.clear();
  centroids.clear();
}

}  // namespace nivora::internal::vector_index
