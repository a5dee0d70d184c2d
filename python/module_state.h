// Process-wide state the bindings share: the handles of Python's json module
// (dumps and loads, looked up once at the first import) and the working
// directory handed to every Client built afterwards.
//
// Everything here is read and written only while the calling thread holds
// the GIL, which is what serialises it. The json handles are released by an
// exit hook registered at the first import; a binding that runs after it
// (from another exit handler, say) imports json for its own call instead.
#ifndef NIVORA_PYTHON_MODULE_STATE_H_
#define NIVORA_PYTHON_MODULE_STATE_H_

#include <pybind11/pybind11.h>

#include <string>

namespace nivora::python {

// Fills the json handles when they are empty (first import in the process)
// and registers the exit hook that empties them. Throws std::runtime_error
// "Failed to import json module: <Python error>" when json or atexit cannot
// be imported or json lacks dumps or loads.
void InitJsonHandles();

// Empties the json handles (loads, then dumps, then the json module).
// Registered with atexit; safe to call more than once.
void ReleaseJsonHandles();

// True while the json handles are held.
bool JsonHandlesHeld();

// json.dumps(value) as a Python str; json.loads(text). Python errors
// propagate as pybind11::error_already_set.
pybind11::str JsonDumps(pybind11::handle value);
pybind11::object JsonLoads(pybind11::handle text);

// The working directory for Clients built from now on; empty by default.
void SetWorkingDir(std::string path);
const std::string& WorkingDir();

}  // namespace nivora::python

#endif  // NIVORA_PYTHON_MODULE_STATE_H_
