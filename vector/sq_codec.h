// Scalar-quantizer codec: one 8-bit or 16-bit code per dimension.
//
// Encoding of value x in dimension j: g = (x - min[j]) * (1 / scale[j]) in
// single precision; g at or above the largest code, and NaN, give the
// largest code; below 0 gives 0; otherwise g rounded to the nearest integer,
// halves away from zero. Decoding: code * scale[j] + min[j] as one fused
// multiply-add.
//
// Thread-safe: no shared state; each direction is one OpenMP loop over rows.
#ifndef NIVORA_VECTOR_SQ_CODEC_H_
#define NIVORA_VECTOR_SQ_CODEC_H_

#include <cstddef>
#include <cstdint>

#include "core/array2d.h"
#include "vector/quantizer_set.h"

namespace nivora::internal::vector_index::cpu {

// For CodeT = uint8_t or uint16_t: writes the codes of the n x dim matrix
// `data` into every cell of `out`. Throws std::invalid_argument, logged at
// ERROR first:
//  - "Embedding dimension does not match SQ quantizer dimension. Expected
//    <size of min>, got <dim>" when dim differs from the size of min or scale;
//  - "Output view dimensions do not match input embeddings" (logged with a
//    final full stop) when out is not n x dim.
// Nothing is written to out when a check fails.
template <typename CodeT>
void EncodeSQInto(const Array2D<float>& data, const SQQuantizer& quantizer,
                  Array2DView<CodeT> out);

// For CodeT = uint8_t or uint16_t: the decoded values, shaped as `codes`.
// Throws std::invalid_argument "Quantized embedding dimension does not match
// SQ quantizer dimension. Expected <size of min>, got <cols>" (logged at
// ERROR) when the code rows differ from the size of min or scale.
template <typename CodeT>
Array2D<float> DecodeSQ(Array2DView<CodeT> codes, const SQQuantizer& quantizer);

// Decodes n contiguous code rows of `dim` codes into n rows of dim floats
// (out), with no checks: scale and min must hold dim values. For the rankers,
// which decode lists block by block.
template <typename CodeT>
void DecodeSQRows(const CodeT* codes, size_t n, size_t dim, const float* scale, const float* min,
                  float* out);

extern template void EncodeSQInto<uint8_t>(const Array2D<float>&, const SQQuantizer&,
                                           Array2DView<uint8_t>);
extern template void EncodeSQInto<uint16_t>(const Array2D<float>&, const SQQuantizer&,
                                            Array2DView<uint16_t>);
extern template Array2D<float> DecodeSQ<uint8_t>(Array2DView<uint8_t>, const SQQuantizer&);
extern template Array2D<float> DecodeSQ<uint16_t>(Array2DView<uint16_t>, const SQQuantizer&);
extern template void DecodeSQRows<uint8_t>(const uint8_t*, size_t, size_t, const float*,
                                           const float*, float*);
extern template void DecodeSQRows<uint16_t>(const uint16_t*, size_t, size_t, const float*,
                                            const float*, float*);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_SQ_CODEC_H_
