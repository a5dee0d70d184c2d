#include "vector/codeword_search.h"

#include <cstring>
#include <limits>

#include "vector/multiversion.h"

namespace nivora::internal::vector_index {

void GatherSlice(const Array2D<float>& data, const arma::uword* rows, size_t first, size_t count,
                 size_t offset, size_t width, float* out) {
  for (size_t i = 0; i < count; ++i) {
    const size_t r = rows != nullptr ? static_cast<size_t>(rows[i]) : first + i;
    std::memcpy(out + i * width, data.row(r) + offset, width * sizeof(float));
  }
}

namespace {

// Eight lanes in one vector (two halves on the baseline instruction set).
typedef float Floats8 __attribute__((vector_size(32)));
typedef int32_t Mask8 __attribute__((vector_size(32)));
typedef uint32_t Indices8 __attribute__((vector_size(32)));

}  // namespace

// One pass per column. Lane l scans rows l, l + 8, ... keeping its smallest
// value and the first row holding it (a strictly smaller value replaces, so
// NaN never enters and ties keep the earlier row). The column's answer is
// the smallest lane value at the lowest row among the lanes holding it, then
// the tail rows, which come later, replace it only when strictly smaller:
// exactly what one upward scan from (+infinity, 0) keeps.
NIVORA_MULTIVERSION
void ArgMinColumns(const float* D, size_t k, size_t cols, uint32_t* out) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const size_t whole = k - k % 8;
  for (size_t j = 0; j < cols; ++j) {
    const float* col = D + j * k;
    Floats8 best8 = {kInf, kInf, kInf, kInf, kInf, kInf, kInf, kInf};
    Indices8 index8 = {0, 0, 0, 0, 0, 0, 0, 0};
    Indices8 row8 = {0, 1, 2, 3, 4, 5, 6, 7};
    for (size_t q = 0; q < whole; q += 8) {
      Floats8 v;
      std::memcpy(&v, col + q, sizeof(v));
      const Mask8 less = v < best8;
      best8 = less ? v : best8;
      index8 = less ? row8 : index8;
      row8 += 8;
    }
    float best = kInf;
    uint32_t index = 0;
    for (int l = 0; l < 8; ++l) {
      if (best8[l] < best || (best8[l] == best && best8[l] < kInf && index8[l] < index)) {
        best = best8[l];
        index = index8[l];
      }
    }
    for (size_t q = whole; q < k; ++q) {
      if (col[q] < best) {
        best = col[q];
        index = static_cast<uint32_t>(q);
      }
    }
    out[j] = index;
  }
}

}  // namespace nivora::internal::vector_index
