#include "api/quantizer_stamp.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <vector>

namespace nivora::internal {
namespace {

// Whether n bytes at p lie inside block.
bool Inside(const void* p, size_t n, const nivora::Array2D<unsigned char>& block) {
  if (block.data == nullptr) return false;
  const auto begin = reinterpret_cast<uintptr_t>(block.data);
  const auto at = reinterpret_cast<uintptr_t>(p);
  return at >= begin && at - begin <= block.size() && n <= block.size() - (at - begin);
}

// Codebooks that point into `block` are left to its own wipe: one pass over
// their bytes instead of two.
void WipeCodebooks(std::vector<vector_index::Codebook>& codebooks,
                   const nivora::Array2D<unsigned char>& block) {
  for (vector_index::Codebook& codebook : codebooks) {
    const size_t bytes = codebook.centroids.size() * sizeof(float);
    if (codebook.centroids.data != nullptr && bytes != 0 &&
        !Inside(codebook.centroids.data, bytes, block)) {
      OPENSSL_cleanse(codebook.centroids.data, bytes);
    }
  }
}

void WipeFloats(std::vector<float>& values) {
  if (!values.empty()) OPENSSL_cleanse(values.data(), values.size() * sizeof(float));
}

}  // namespace

bool CoarseShapeMatches(const vector_index::QuantizerSet& set, const QuantizerStamp& stamp) {
  if (!stamp.trained) return set.centroids.empty();
  if (set.centroids.size() != 1 || stamp.n_lists == 0) return false;
  const vector_index::Codebook& coarse = set.centroids.front();
  return static_cast<uint32_t>(coarse.k) == stamp.n_lists && coarse.centroids.rows == stamp.n_lists &&
         coarse.centroids.cols != 0 && coarse.centroids.data != nullptr;
}

void WipeQuantizers(vector_index::QuantizerSet& set) {
  // A decrypted cache block the codebooks may point into.
  nivora::Array2D<unsigned char>& block = set.aux_matrix;
  WipeCodebooks(set.centroids, block);
  WipeCodebooks(set.pq_codebooks, block);
  for (vector_index::SQQuantizer& sq : set.sq_quantizers) {
    WipeFloats(sq.min);
    WipeFloats(sq.scale);
  }
  for (vector_index::AuxEntry& aux : set.aux_entries) {
    aux.second.reset();
    aux.first.reset();
    aux.flag = 0;
  }
  if (block.data != nullptr && block.size() != 0) OPENSSL_cleanse(block.data, block.size());
}

}  // namespace nivora::internal
