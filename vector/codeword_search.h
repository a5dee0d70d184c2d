// Pieces shared by k-means and PQ encoding: copying one slice of chosen rows
// into a column-major block, and the nearest-codeword search over the
// columns of a distance matrix. Internal to the vector mathematics.
#ifndef NIVORA_VECTOR_CODEWORD_SEARCH_H_
#define NIVORA_VECTOR_CODEWORD_SEARCH_H_

#include <armadillo>
#include <cstddef>
#include <cstdint>

#include "core/array2d.h"

namespace nivora::internal::vector_index {

// Copies components [offset, offset + width) of `count` rows of `data` into
// out (width x count, column-major): column i from row rows[i], or from row
// first + i when rows is null.
void GatherSlice(const Array2D<float>& data, const arma::uword* rows, size_t first, size_t count,
                 size_t offset, size_t width, float* out);

// For each of the cols columns of the k x cols column-major matrix D: the row
// index of its smallest value. Ties go to the lowest index, NaN is never
// chosen, and a column of only NaN or +infinity gives 0 (the scan starts at
// +infinity with index 0).
void ArgMinColumns(const float* D, size_t k, size_t cols, uint32_t* out);

// A read-only Armadillo matrix over existing storage (no copy).
inline arma::fmat ViewMatrix(const float* data, size_t rows, size_t cols) {
  return arma::fmat(const_cast<float*>(data), rows, cols, /*copy_aux_mem=*/false,
                    /*strict=*/true);
}

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_CODEWORD_SEARCH_H_
