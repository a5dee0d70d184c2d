// Entry point of the extension module nivoradb_core._core (re-exported whole
// by the nivoradb_core package). PYBIND11_MODULE checks that the running
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
// not support subinterpreters: refuse the import there ourselves.
void RefuseSubinterpreter() {
#ifndef Py_mod_multiple_interpreters
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    throw py::import_error(
        "module nivoradb_core does not support loading in subinterpreters");
  }
#endif
}

}  // namespace

PYBIND11_MODULE(_core, m, py::multiple_interpreters::not_supported()) {
  RefuseSubinterpreter();
  m.doc() = "Pybind11 bindings for NivoraDB";
  nivora::python::InitJsonHandles();
  m.def(
      "set_working_dir", [](std::string path) { nivora::python::SetWorkingDir(std::move(path)); },
      "Sets the working directory for the NivoraDB client.");
  nivora::python::RegisterValueClasses(m);
  nivora::python::RegisterClient(m);
  nivora::python::RegisterEncryptedIndex(m);
  nivora::python::RegisterTestingHooks(m);
}
