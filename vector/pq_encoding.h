// Product-quantizer encoding: every vector is cut into m equal slices and
// slice s is replaced by the index of the nearest codeword of codebook s.
// With the one coarse codebook (m = 1) this is the centroid assignment of
// ingested vectors; with the PQ codebooks it gives the stored PQ codes.
//
// Nearest means smallest squared L2 distance (Euclidean and
// SquaredEuclidean) or cosine distance (Cosine); ties go to the lowest
// codeword index, a NaN distance is never chosen, and a slice whose
// distances are all NaN or +infinity gets code 0.
//
// Thread-safe: no shared state; runs one OpenMP loop over (subspace, block
// of 1000 vectors) pairs. Inputs are read only.
#ifndef NIVORA_VECTOR_PQ_ENCODING_H_
#define NIVORA_VECTOR_PQ_ENCODING_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/array2d.h"
#include "core/index_config.h"
#include "vector/quantizer_set.h"

namespace nivora::internal::vector_index {

// 2^pq_bits, the number of codewords of a PQ codebook. Throws
// std::invalid_argument "pq_bits must be between 1 and 16." (logged at
// ERROR) for any other pq_bits, so no shift is ever taken out of range.
size_t PQCodewordCount(size_t pq_bits);

namespace cpu {

// Errors common to every operation below, each logged at ERROR and thrown as
// std::invalid_argument, tested in this order:
//  - "Vector dimension must be divisible by the number of subvectors." when
//    there is no codebook or their number does not divide the dimension;
//  - (writing-into variants) "Output view dimensions do not match expected
//    dimensions" (logged with a final full stop) when out is not rows x m;
//  - "Codebook has no codewords." for a codebook whose k is below 1, and
//    "Codebook storage does not hold k x dsub values." for one whose
//    centroid storage holds another number of values.
// Nothing is written to out when a check fails.

// The n x m codes, dispatched by metric; another metric throws
// std::runtime_error "Unsupported distance metric." (logged at ERROR).
Array2D<uint32_t> EncodePQ(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                           DistanceMetric metric);

Array2D<uint32_t> EncodePQL2(const Array2D<float>& data, const std::vector<Codebook>& codebooks);
Array2D<uint32_t> EncodePQCosine(const Array2D<float>& data,
                                 const std::vector<Codebook>& codebooks);

// Write the codes into every cell of the caller's rows x m view.
void EncodePQIntoL2(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                    Array2DView<uint32_t> out);
void EncodePQIntoCosine(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                        Array2DView<uint32_t> out);

}  // namespace cpu
}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_PQ_ENCODING_H_
