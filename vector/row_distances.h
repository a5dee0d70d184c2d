// The distance computations of the scoring rankers over rows held in place:
// one row against a query (row scoring of short lists and of PQ
// sub-vectors) and a block of contiguous rows against a query through one
// BLAS matrix-vector product (block scoring of long lists).
//
// Row scoring is not clamped: squared L2 is the plain sum of squared
// differences; cosine is 1 - q.x / (|q| |x|), or 1 when that product of
// norms is 0. Block scoring follows the query kernels of distance_kernels.h:
// squared L2 as (|x|^2 + q.q) - 2 x.q, then max(v, 0) (NaN becomes 0);
// cosine as 1 - xhat.qhat clamped to [0, 2] (NaN stays), zero norms taken
// as 1. Results of the two ways may differ in the last bits.
//
// Rows are `d` contiguous floats; a block of n rows is read as the d x n
// column-major matrix it already is (no copy). Stateless and thread-safe.
#ifndef NIVORA_VECTOR_ROW_DISTANCES_H_
#define NIVORA_VECTOR_ROW_DISTANCES_H_

#include <cstddef>

namespace nivora::internal::vector_index::cpu {

float RowSquaredL2(const float* q, const float* x, size_t d);
float RowCosine(const float* q, const float* x, size_t d);

// The robust 2-norm of n values (recomputed with scaling when the plain
// square root of the sum of squares is 0 or not finite).
float RobustNorm(const float* x, size_t n);

// out[i] = squared L2 block distance of row i to q; qq = q.q. norms receives
// each row's squared length (NaN exactly when the row holds a NaN).
void BlockSquaredL2(const float* rows, size_t d, size_t n, const float* q, float qq,
                    float* norms, float* out);

// out[i] = cosine block distance of row i to the unit query q_hat (the query
// divided by its RobustNorm, or by 1 when that is 0). norms receives each
// row's RobustNorm (NaN exactly when the row holds a NaN).
void BlockCosine(const float* rows, size_t d, size_t n, const float* q_hat, float* norms,
                 float* out);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_ROW_DISTANCES_H_
