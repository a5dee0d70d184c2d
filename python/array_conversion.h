// Conversions of Python vectors into the float matrices the Index API takes:
// a float32 numpy array (any layout), or rows already converted to float
// lists, or the list forms a query accepts.
//
// Every function runs with the GIL held and copies: the result owns its
// elements and shares nothing with the Python objects.
#ifndef NIVORA_PYTHON_ARRAY_CONVERSION_H_
#define NIVORA_PYTHON_ARRAY_CONVERSION_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "core/array2d.h"

namespace nivora {

// Copies a float32 array into a new row-major matrix, element (r, c) to
// (r, c), reading through the array's strides (transposed and strided views
// are copied in index order; nothing outside the array's elements is read).
// Two dimensions give rows x cols; one dimension gives 1 x length when
// allow_1d. Throws std::runtime_error "Expected a 2D array" followed by
// " or a 1D array if allowed." (allow_1d) or "." for any other shape, and
// "Buffer size mismatch or null pointer." for a non-empty array without
// data. A 0-row array gives a matrix with no storage.
Array2D<float> NumpyToArray2D(const pybind11::array_t<float>& array, bool allow_1d);

// Builds rows.size() x rows[0].size() from rows of equal length; throws
// std::invalid_argument "All vectors must have the same length." when a row
// differs from the first. No rows give an empty matrix.
Array2D<float> RowsToArray2D(const std::vector<std::vector<float>>& rows);

// A list of 32-bit floats from any sequence of numbers (pybind11's
// conversion). Anything else throws a pybind11 cast error (a
// std::runtime_error) "<what> must be a sequence of numbers".
std::vector<float> FloatRow(pybind11::handle value, const std::string& what);

// A query matrix built from a Python list and whether it stands for a
// single query vector (its result is then returned unnested).
struct QueryMatrix {
  Array2D<float> matrix;
  bool single = false;
};

// The list forms of query vectors: [] (no rows, not single); a list whose
// first element is a list or a numpy array (one row per element; single when
// there is exactly one non-empty row); otherwise a flat list of numbers (one
// row, single). Rows are converted by FloatRow, as "query_vectors row <i>"
// or "query_vectors"; ragged rows throw as RowsToArray2D does.
QueryMatrix QueryListToArray2D(const pybind11::list& vectors);

}  // namespace nivora

#endif  // NIVORA_PYTHON_ARRAY_CONVERSION_H_
