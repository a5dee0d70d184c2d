// Byte rows for keystore tests: stored values as vectors, and the matrices
// that batch pushes take and batch reads return.
#ifndef NIVORA_TESTS_BACKING_STORE_BYTE_ROWS_H_
#define NIVORA_TESTS_BACKING_STORE_BYTE_ROWS_H_

#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "core/array2d.h"

namespace nivora_encrypted_index::internal::backing_store::testing {

using Bytes = std::vector<uint8_t>;

// One matrix row per entry, as wide as the first entry (0 columns for none).
inline nivora::Array2D<unsigned char> Matrix(const std::vector<Bytes>& rows) {
  const size_t cols = rows.empty() ? 0 : rows.front().size();
  nivora::Array2D<unsigned char> m(rows.size(), cols);
  for (size_t r = 0; r < rows.size(); ++r) std::copy(rows[r].begin(), rows[r].end(), m.row(r));
  return m;
}

inline Bytes RowOf(const nivora::Array2D<unsigned char>& m, size_t r) {
  return Bytes(m.row(r), m.row(r) + m.cols);
}

// The single row of a one-key read; empty for an empty matrix.
inline Bytes OnlyRow(const nivora::Array2D<unsigned char>& m) {
  if (m.empty()) return {};
  EXPECT_EQ(m.rows, 1u);
  return RowOf(m, 0);
}

}  // namespace nivora_encrypted_index::internal::backing_store::testing

#endif  // NIVORA_TESTS_BACKING_STORE_BYTE_ROWS_H_
