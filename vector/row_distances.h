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
#include <cstdint>

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

// The block distances of n contiguous scalar-quantizer code rows (d codes
// each, decoded as code * scale + min with one fused multiply-add, exactly
// as DecodeSQ does), computed while decoding, without a decoded copy.
// Same formulas, final passes and norms as BlockSquaredL2 / BlockCosine.
void SQBlockSquaredL2(const uint8_t* codes, size_t d, size_t n, const float* scale,
                      const float* min, const float* q, float qq, float* norms, float* out);
void SQBlockSquaredL2(const uint16_t* codes, size_t d, size_t n, const float* scale,
                      const float* min, const float* q, float qq, float* norms, float* out);
void SQBlockCosine(const uint8_t* codes, size_t d, size_t n, const float* scale, const float* min,
                   const float* q_hat, float* norms, float* out);
void SQBlockCosine(const uint16_t* codes, size_t d, size_t n, const float* scale,
                   const float* min, const float* q_hat, float* norms, float* out);

// The same block distances for u queries at once through one matrix product
// (the block's rows are read once for all of them): Q is the d x u
// column-major matrix of the queries (unit queries for cosine), product
// receives the n x u dot products, outs[j] the n distances of query j.
void BlockSquaredL2Many(const float* rows, size_t d, size_t n, const float* Q, const float* qq,
                        size_t u, float* norms, float* product, float* const* outs);
void BlockCosineMany(const float* rows, size_t d, size_t n, const float* Q_hat, size_t u,
                     float* norms, float* product, float* const* outs);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_ROW_DISTANCES_H_
