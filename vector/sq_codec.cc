#include "vector/sq_codec.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "vector/multiversion.h"
#include "core/parallel_for.h"
#include "vector/vector_errors.h"

namespace nivora::internal::vector_index::cpu {
namespace {

// The largest code of each code width.
template <typename CodeT>
struct SQCodeRange;
template <>
struct SQCodeRange<uint8_t> {
  static constexpr float kMax = 255.0f;
};
template <>
struct SQCodeRange<uint16_t> {
  static constexpr float kMax = 65535.0f;
};

// g = (x - min) * inv; clamp to [0, max] with NaN -> max; round half away
// from zero. The rounding is exact: for v >= 0, v - trunc(v) is computed
// without error, so 0.49999997f stays 0 (adding 0.5 first would give 1).
template <typename CodeT>
NIVORA_INLINE_INTO_CLONES CodeT EncodeComponent(float x, float min, float inv) {
  constexpr float kMax = SQCodeRange<CodeT>::kMax;
  const float g = (x - min) * inv;
  float v = g < kMax ? g : kMax;
  v = v > 0.0f ? v : 0.0f;
  const int32_t whole = static_cast<int32_t>(v);
  const int32_t up = (v - static_cast<float>(whole)) >= 0.5f ? 1 : 0;
  return static_cast<CodeT>(whole + up);
}

typedef float Floats8 __attribute__((vector_size(32)));
typedef int32_t Ints8 __attribute__((vector_size(32)));

// EncodeComponent over a row: chunks of 64 components go through explicit
// eight-lane vector operations (the same IEEE operations, so the same codes)
// into 32-bit codes, then one plain narrowing loop that the compiler turns
// into packs; the tail goes component by component.
template <typename CodeT>
NIVORA_INLINE_INTO_CLONES void EncodeRowLanes(const float* __restrict x,
                                              const float* __restrict min,
                                              const float* __restrict inv,
                                              CodeT* __restrict out, size_t dim) {
  constexpr size_t kChunk = 64;
  constexpr float kMax = SQCodeRange<CodeT>::kMax;
  const Floats8 max8 = {kMax, kMax, kMax, kMax, kMax, kMax, kMax, kMax};
  const Floats8 zero8 = {};
  const Floats8 half8 = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
  int32_t wide[kChunk];
  size_t j = 0;
  for (; j + kChunk <= dim; j += kChunk) {
    for (size_t l = 0; l < kChunk; l += 8) {
      Floats8 xv, mv, iv;
      std::memcpy(&xv, x + j + l, sizeof(xv));
      std::memcpy(&mv, min + j + l, sizeof(mv));
      std::memcpy(&iv, inv + j + l, sizeof(iv));
      Floats8 v = (xv - mv) * iv;
      v = v < max8 ? v : max8;
      v = v > zero8 ? v : zero8;
      Ints8 whole = __builtin_convertvector(v, Ints8);
      const Ints8 up = (v - __builtin_convertvector(whole, Floats8)) >= half8;  // -1 or 0
      whole -= up;
      std::memcpy(wide + l, &whole, sizeof(whole));
    }
    for (size_t l = 0; l < kChunk; ++l) out[j + l] = static_cast<CodeT>(wide[l]);
  }
  for (; j < dim; ++j) out[j] = EncodeComponent<CodeT>(x[j], min[j], inv[j]);
}

NIVORA_MULTIVERSION
void EncodeRow8(const float* __restrict x, const float* __restrict min,
                const float* __restrict inv, uint8_t* __restrict out, size_t dim) {
  EncodeRowLanes<uint8_t>(x, min, inv, out, dim);
}

NIVORA_MULTIVERSION
void EncodeRow16(const float* __restrict x, const float* __restrict min,
                 const float* __restrict inv, uint16_t* __restrict out, size_t dim) {
  EncodeRowLanes<uint16_t>(x, min, inv, out, dim);
}

NIVORA_MULTIVERSION
void DecodeRow8(const uint8_t* __restrict code, const float* __restrict scale,
                const float* __restrict min, float* __restrict out, size_t dim) {
  for (size_t j = 0; j < dim; ++j) {
    out[j] = std::fma(static_cast<float>(code[j]), scale[j], min[j]);
  }
}

NIVORA_MULTIVERSION
void DecodeRow16(const uint16_t* __restrict code, const float* __restrict scale,
                 const float* __restrict min, float* __restrict out, size_t dim) {
  for (size_t j = 0; j < dim; ++j) {
    out[j] = std::fma(static_cast<float>(code[j]), scale[j], min[j]);
  }
}

// The row functions of one code width (multiversioned functions cannot be
// templates, so each width has its own above).
template <typename CodeT>
struct SQRows;
template <>
struct SQRows<uint8_t> {
  static constexpr auto Encode = &EncodeRow8;
  static constexpr auto Decode = &DecodeRow8;
};
template <>
struct SQRows<uint16_t> {
  static constexpr auto Encode = &EncodeRow16;
  static constexpr auto Decode = &DecodeRow16;
};

void CheckQuantizerDimension(const char* what, const SQQuantizer& quantizer, size_t dim) {
  if (dim == quantizer.min.size() && dim == quantizer.scale.size()) return;
  LogAndThrowInvalid(std::string(what) +
                     " dimension does not match SQ quantizer dimension. Expected " +
                     std::to_string(quantizer.min.size()) + ", got " + std::to_string(dim));
}

}  // namespace

template <typename CodeT>
void EncodeSQInto(const Array2D<float>& data, const SQQuantizer& quantizer,
                  Array2DView<CodeT> out) {
  const size_t dim = data.cols;
  CheckQuantizerDimension("Embedding", quantizer, dim);
  if (out.rows != data.rows || out.cols != dim) {
    LogAndThrowInvalid("Output view dimensions do not match input embeddings.",
                       "Output view dimensions do not match input embeddings");
  }
  std::vector<float> inv(dim);
  for (size_t j = 0; j < dim; ++j) inv[j] = 1.0f / quantizer.scale[j];
  const float* min = quantizer.min.data();
  const long rows = static_cast<long>(data.rows);
#pragma omp parallel for schedule(static) num_threads(nivora::ThreadCount()) if (WorthParallel(data.size()))
  for (long i = 0; i < rows; ++i) {
    SQRows<CodeT>::Encode(data.row(i), min, inv.data(), out.row(i), dim);
  }
}

template <typename CodeT>
Array2D<float> DecodeSQ(Array2DView<CodeT> codes, const SQQuantizer& quantizer) {
  const size_t dim = codes.cols;
  CheckQuantizerDimension("Quantized embedding", quantizer, dim);
  // Every cell is written below, so the storage is not zero-filled first;
  // the parallel loop is then also the first touch of its pages.
  Array2D<float> values;
  values.rows = codes.rows;
  values.cols = dim;
  // Decoded rows are plaintext vectors: wiped when released.
  if (values.size() != 0) values.AllocateWiped(values.size());
  const float* scale = quantizer.scale.data();
  const float* min = quantizer.min.data();
  const long rows = static_cast<long>(codes.rows);
#pragma omp parallel for schedule(static) num_threads(nivora::ThreadCount()) if (WorthParallel(values.size()))
  for (long i = 0; i < rows; ++i) {
    SQRows<CodeT>::Decode(codes.row(i), scale, min, values.row(i), dim);
  }
  return values;
}

template <typename CodeT>
void DecodeSQRows(const CodeT* codes, size_t n, size_t dim, const float* scale, const float* min,
                  float* out) {
  for (size_t i = 0; i < n; ++i) SQRows<CodeT>::Decode(codes + i * dim, scale, min, out + i * dim, dim);
}

template void EncodeSQInto<uint8_t>(const Array2D<float>&, const SQQuantizer&,
                                    Array2DView<uint8_t>);
template void EncodeSQInto<uint16_t>(const Array2D<float>&, const SQQuantizer&,
                                     Array2DView<uint16_t>);
template Array2D<float> DecodeSQ<uint8_t>(Array2DView<uint8_t>, const SQQuantizer&);
template Array2D<float> DecodeSQ<uint16_t>(Array2DView<uint16_t>, const SQQuantizer&);
template void DecodeSQRows<uint8_t>(const uint8_t*, size_t, size_t, const float*, const float*,
                                    float*);
template void DecodeSQRows<uint16_t>(const uint16_t*, size_t, size_t, const float*, const float*,
                                     float*);

}  // namespace nivora::internal::vector_index::cpu
