#include "python/module_state.h"

#include <Python.h>

#include <memory>
#include <stdexcept>
#include <utility>

namespace py = pybind11;

namespace nivora::python {
namespace {

struct JsonHandles {
  py::object json;
  py::object dumps;
  py::object loads;

  ~JsonHandles() {
    // Past interpreter shutdown the objects are gone with the interpreter:
    // dropping a reference then would touch freed memory, so let them go.
    if (!Py_IsInitialized()) {
      loads.release();
      dumps.release();
      json.release();
    }
  }
};

// Held from the first import until the exit hook; guarded by the GIL.
std::unique_ptr<JsonHandles>& Handles() {
  static std::unique_ptr<JsonHandles> handles;
  return handles;
}

// Guarded by the GIL.
std::string& WorkingDirCell() {
  static std::string working_dir;
  return working_dir;
}

// The json function `name`: the held handle, or, after the exit hook, a
// fresh lookup for this one call.
py::object JsonFunction(const char* name) {
  const auto& handles = Handles();
  if (handles) return std::string_view(name) == "dumps" ? handles->dumps : handles->loads;
  return py::module_::import("json").attr(name);
}

}  // namespace

void InitJsonHandles() {
  auto& handles = Handles();
  if (handles) return;
  try {
    auto fresh = std::make_unique<JsonHandles>();
    fresh->json = py::module_::import("json");
    fresh->dumps = fresh->json.attr("dumps");
    fresh->loads = fresh->json.attr("loads");
    py::module_::import("atexit").attr("register")(py::cpp_function(&ReleaseJsonHandles));
    handles = std::move(fresh);
  } catch (py::error_already_set& e) {
    throw std::runtime_error(std::string("Failed to import json module: ") + e.what());
  }
}

void ReleaseJsonHandles() {
  auto& handles = Handles();
  if (!handles) return;
  handles->loads = py::object();
  handles->dumps = py::object();
  handles->json = py::object();
  handles.reset();
}

bool JsonHandlesHeld() { return Handles() != nullptr; }

py::str JsonDumps(py::handle value) { return py::str(JsonFunction("dumps")(value)); }

py::object JsonLoads(py::handle text) { return JsonFunction("loads")(text); }

void SetWorkingDir(std::string path) { WorkingDirCell() = std::move(path); }

const std::string& WorkingDir() { return WorkingDirCell(); }

}  // namespace nivora::python
