#include "api/quantizer_stamp.h"

#include <openssl/crypto.h>

#include <vector>

namespace nivora::internal {
namespace {

void WipeCodebooks(std::vector<vector_index::Codebook>& codebooks) {
  for (vector_index::Codebook& codebook : codebooks) {
    if (codebook.centroids.data != nullptr && codebook.centroids.size() != 0) {
      OPENSSL_cleanse(codebook.centroids.data, codebook.centroids.size() * sizeof(float));
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
  WipeCodebooks(set.centroids);
  WipeCodebooks(set.pq_codebooks);
  for (vector_index::SQQuantizer& sq : set.sq_quantizers) {
    WipeFloats(sq.min);
    WipeFloats(sq.scale);
  }
  for (vector_index::AuxEntry& aux : set.aux_entries) {
    aux.second.reset();
    aux.first.reset();
    aux.flag = 0;
  }
  // A decrypted cache block the codebooks may point into.
  nivora::Array2D<unsigned char>& block = set.aux_matrix;
  if (block.data != nullptr && block.size() != 0) OPENSSL_cleanse(block.data, block.size());
}

}  // namespace nivora::internal
