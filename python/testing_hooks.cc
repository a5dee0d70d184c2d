// Private entry points for the module's own tests (nivoradb_core._core._testing).
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "api/change_checks.h"
#include "python/array_conversion.h"
#include "python/embedding_model.h"
#include "python/module_state.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nivora::python {
namespace {

py::array_t<float> ToNumpy(const Array2D<float>& matrix) {
  py::array_t<float> out({matrix.rows, matrix.cols});
  if (matrix.size() != 0) std::memcpy(out.mutable_data(), matrix.data, matrix.size() * 4);
  return out;
}

struct UnknownError {};

// Throws the native exception named `kind`, to watch how it reaches Python.
void RaiseNative(const std::string& kind, const std::string& message) {
  if (kind == "invalid_argument") throw std::invalid_argument(message);
  if (kind == "domain_error") throw std::domain_error(message);
  if (kind == "length_error") throw std::length_error(message);
  if (kind == "range_error") throw std::range_error(message);
  if (kind == "out_of_range") throw std::out_of_range(message);
  if (kind == "overflow_error") throw std::overflow_error(message);
  if (kind == "bad_alloc") throw std::bad_alloc();
  if (kind == "runtime_error") throw std::runtime_error(message);
  if (kind == "logic_error") throw std::logic_error(message);
  if (kind == "python_error") {
    py::module_::import("json").attr("loads")(message);  // raises for bad JSON
    return;
  }
  throw UnknownError{};
}

}  // namespace

void RegisterTestingHooks(py::module_& m) {
  py::module_ t = m.def_submodule("_testing", "Private hooks for the module's own tests.");
  t.def("set_change_checks", &internal::SetChangeChecks, py::arg("enabled"));
  t.def(
      "numpy_to_matrix",
      [](const py::array_t<float>& array, bool allow_1d) {
        return ToNumpy(NumpyToArray2D(array, allow_1d));
      },
      py::arg("array").noconvert(), py::arg("allow_1d"));
  t.def("rows_to_matrix", [](const std::vector<std::vector<float>>& rows) {
    return ToNumpy(RowsToArray2D(rows));
  });
  t.def("query_list_to_matrix", [](const py::list& vectors) {
    QueryMatrix q = QueryListToArray2D(vectors);
    return py::make_tuple(ToNumpy(q.matrix), q.single);
  });
  t.def("load_embedding_model", &LoadEmbeddingModel);
  t.def("embedding_dimension", &EmbeddingDimension);
  t.def("json_dumps", [](py::handle value) { return JsonDumps(value); });
  t.def("json_loads", [](py::handle text) { return JsonLoads(text); });
  t.def("json_handles_held", &JsonHandlesHeld);
  t.def("working_dir", &WorkingDir);
  t.def("raise_native", &RaiseNative);
}

}  // namespace nivora::python
