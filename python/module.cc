// Entry point of the extension module nivoradb_core._core (re-exported whole
// by the nivoradb_core package). The entry point checks that the running
// interpreter is the X.Y this module was built for ("Python version
// mismatch: ..." ImportError otherwise) and defines the module for
// multi-phase initialisation with multiple interpreters declared
// unsupported; a later import in the same interpreter returns the cached
// module without running the body again.
#include <pybind11/pybind11.h>

#include <string>

#include "python/module_state.h"
#include "python/registration.h"
#include "python/value_classes.h"

namespace py = pybind11;

namespace {

// Interpreters older than 3.12 have no slot to declare that a module does
// not support subinterpreters, and setting up pybind11 there would block on
// the GIL state of the main interpreter: refuse before touching anything,
// with the message newer interpreters give.
bool RefusedInSubinterpreter() {
#ifndef Py_mod_multiple_interpreters
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "module nivoradb_core._core does not support loading in subinterpreters");
    return true;
  }
#endif
  return false;
}

}  // namespace

// PYBIND11_MODULE(_core, m, py::multiple_interpreters::not_supported()),
// spelled out to refuse subinterpreters before pybind11's set-up.
static int pybind11_exec__core(PyObject*);
PYBIND11_PLUGIN_IMPL(_core) {
  PYBIND11_CHECK_PYTHON_VERSION
  if (RefusedInSubinterpreter()) return nullptr;
  try {
    py::detail::ensure_internals();
    static py::detail::slots_array slots =
        py::detail::init_slots(&pybind11_exec__core, py::multiple_interpreters::not_supported());
    static PyModuleDef def{PyModuleDef_HEAD_INIT,
                           "_core",
                           /*m_doc=*/nullptr,
                           /*m_size=*/0,
                           /*m_methods=*/nullptr,
                           slots.data(),
                           /*m_traverse=*/nullptr,
                           /*m_clear=*/nullptr,
                           /*m_free=*/nullptr};
    return PyModuleDef_Init(&def);
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
  return nullptr;
}

PYBIND11_MODULE_EXEC(_core, m) {
  m.doc() =
      "Encrypted vector-database client: a Client on storage locations (DBConfig) creates and "
      "loads encrypted indexes (EncryptedIndex) under a 32-byte key that only the application "
      "holds.";
  nivora::python::InitJsonHandles();
  m.def(
      "set_working_dir", [](std::string path) { nivora::python::SetWorkingDir(std::move(path)); },
      py::arg("path"), py::pos_only(),
      "Records a working directory for the clients created afterwards. This build reads and "
      "writes nothing there: RocksDB data goes where its DBConfig says.");
  nivora::python::RegisterValueClasses(m);
  nivora::python::ClientClass client(m, "Client", py::release_gil_before_calling_cpp_dtor());
  nivora::python::IndexClass index(m, "EncryptedIndex", py::release_gil_before_calling_cpp_dtor());
  nivora::python::RegisterClient(client);
  nivora::python::RegisterEncryptedIndex(index);
  nivora::python::RegisterTestingHooks(m);
}
