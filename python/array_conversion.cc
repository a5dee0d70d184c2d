#include "python/array_conversion.h"

#include <pybind11/stl.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace nivora {
namespace {

// The shape of a buffer as a matrix: rows x cols with their byte strides.
struct MatrixShape {
  size_t rows = 0;
  size_t cols = 0;
  py::ssize_t row_stride = 0;  // bytes; may be negative or 0
  py::ssize_t col_stride = 0;
};

MatrixShape ShapeOf(const py::buffer_info& info, bool allow_1d) {
  if (info.ndim == 2) {
    return {static_cast<size_t>(info.shape[0]), static_cast<size_t>(info.shape[1]),
            info.strides[0], info.strides[1]};
  }
  if (info.ndim == 1 && allow_1d) {
    return {1, static_cast<size_t>(info.shape[0]), 0, info.strides[0]};
  }
  throw std::runtime_error(std::string("Expected a 2D array") +
                           (allow_1d ? " or a 1D array if allowed." : "."));
}

void CopyStrided(const char* base, const MatrixShape& shape, float* out) {
  const bool contiguous_rows = shape.col_stride == static_cast<py::ssize_t>(sizeof(float));
  for (size_t r = 0; r < shape.rows; ++r) {
    const char* row = base + static_cast<py::ssize_t>(r) * shape.row_stride;
    float* dst = out + r * shape.cols;
    if (contiguous_rows) {
      std::memcpy(dst, row, shape.cols * sizeof(float));
      continue;
    }
    for (size_t c = 0; c < shape.cols; ++c) {
      // memcpy: a strided view need not keep floats aligned.
      std::memcpy(dst + c, row + static_cast<py::ssize_t>(c) * shape.col_stride, sizeof(float));
    }
  }
}

}  // namespace

Array2D<float> NumpyToArray2D(const py::array_t<float>& array, bool allow_1d) {
  // The buffer request stays held (the view's exporter pinned) for the
  // whole copy.
  const py::buffer_info info = array.request();
  const MatrixShape shape = ShapeOf(info, allow_1d);
  const size_t count = shape.rows * shape.cols;
  if (static_cast<size_t>(info.size) != count || (count != 0 && info.ptr == nullptr)) {
    throw std::runtime_error("Buffer size mismatch or null pointer.");
  }
  Array2D<float> out;
  out.rows = shape.rows;
  out.cols = shape.cols;
  if (count == 0) return out;
  out.AllocateOwned(count);
  CopyStrided(static_cast<const char*>(info.ptr), shape, out.data);
  return out;
}

Array2D<float> RowsToArray2D(const std::vector<std::vector<float>>& rows) {
  Array2D<float> out;
  if (rows.empty()) return out;
  const size_t cols = rows.front().size();
  for (const auto& row : rows) {
    if (row.size() != cols) throw std::invalid_argument("All vectors must have the same length.");
  }
  out.rows = rows.size();
  out.cols = cols;
  if (out.size() == 0) return out;
  out.AllocateOwned(out.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    std::memcpy(out.row(r), rows[r].data(), cols * sizeof(float));
  }
  return out;
}

std::vector<float> FloatRow(py::handle value, const std::string& what) {
  try {
    return value.cast<std::vector<float>>();
  } catch (const py::cast_error&) {
    throw py::cast_error(what + " must be a sequence of numbers");
  }
}

QueryMatrix QueryListToArray2D(const py::list& vectors) {
  QueryMatrix result;
  if (vectors.empty()) return result;
  const py::handle first = vectors[0];
  if (py::isinstance<py::list>(first) || py::isinstance<py::array>(first)) {
    std::vector<std::vector<float>> rows;
    rows.reserve(vectors.size());
    for (size_t i = 0; i < vectors.size(); ++i) {
      rows.push_back(FloatRow(vectors[i], "query_vectors row " + std::to_string(i)));
    }
    result.single = rows.size() == 1 && !rows.front().empty();
    result.matrix = RowsToArray2D(rows);
    return result;
  }
  std::vector<std::vector<float>> rows(1, FloatRow(vectors, "query_vectors"));
  result.matrix = RowsToArray2D(rows);
  result.single = true;
  return result;
}

}  // namespace nivora
