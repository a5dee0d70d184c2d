// Private entry points for the module's own tests (nivoradb_core._core._testing).
// The hooks that change how the engine behaves (set_change_checks, stop_at)
// act only in a process started with NIVORA_TESTING_HOOKS=1: in an installed
// module they could turn coherence off for the whole process or park a
// thread for good. The conversion and JSON helpers only compute and stay open.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "api/change_checks.h"
#include "core/test_points.h"
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

// Whether the process was started with NIVORA_TESTING_HOOKS=1; read once,
// at the first call of a guarded hook.
bool TestingHooksEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("NIVORA_TESTING_HOOKS");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return enabled;
}

void RequireTestingHooks(const char* hook) {
  if (TestingHooksEnabled()) return;
  throw std::runtime_error(std::string("_testing.") + hook +
                           " is a test hook: it acts only in a process started with "
                           "NIVORA_TESTING_HOOKS=1");
}

void SetChangeChecks(bool enabled) {
  RequireTestingHooks("set_change_checks");
  internal::SetChangeChecks(enabled);
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

// The point stop_at holds this process at ("" for none), and the file whose
// appearance releases it ("" for never).
struct StopPoint {
  std::mutex mutex;
  std::string name;     // guarded by mutex
  std::string release;  // guarded by mutex
  std::string reached;  // a file to create on arrival ("" for none); guarded by mutex
};

StopPoint& Stop() {
  static StopPoint stop;
  return stop;
}

// Holds the thread that reaches the chosen point, after saying so on
// stderr: for good (a test kills the process there), or until the release
// file exists (at most two minutes).
void HoldAtStopPoint(const char* point) {
  std::string release;
  std::string reached;
  {
    std::lock_guard<std::mutex> lock(Stop().mutex);
    if (Stop().name != point) return;
    release = Stop().release;
    reached = Stop().reached;
  }
  if (!reached.empty()) {
    const int fd = open(reached.c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd >= 0) close(fd);
  }
  const std::string line = std::string("stopped at ") + point + "\n";
  if (write(STDERR_FILENO, line.data(), line.size()) < 0) return;
  if (release.empty()) {
    for (;;) pause();
  }
  for (int waited = 0; waited < 12000 && access(release.c_str(), F_OK) != 0; ++waited) {
    usleep(10000);
  }
}

void StopAt(const std::string& point, const std::string& release, const std::string& reached) {
  RequireTestingHooks("stop_at");
  {
    std::lock_guard<std::mutex> lock(Stop().mutex);
    Stop().name = point;
    Stop().release = release;
    Stop().reached = reached;
  }
  internal::SetTestPointHandler(point.empty() ? nullptr : &HoldAtStopPoint);
}

}  // namespace

void RegisterTestingHooks(py::module_& m) {
  py::module_ t = m.def_submodule("_testing", "Private hooks for the module's own tests.");
  t.def("set_change_checks", &SetChangeChecks, py::arg("enabled"));
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
  t.def("stop_at", &StopAt, py::arg("point"), py::arg("release") = "", py::arg("reached") = "",
        "Holds the thread that reaches the named point of a long operation, after creating the "
        "file `reached` (when given) and writing 'stopped at <point>' to stderr: for good, or "
        "until the file `release` exists (at most two minutes); '' removes the stop.");
}

}  // namespace nivora::python
