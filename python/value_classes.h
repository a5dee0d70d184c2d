// Python bindings of the small value types built before a client or an
// index: DBConfig, Logger, the IndexConfig family and GPUConfig.
//
// Each Python object owns its native value (IndexConfig objects by shared
// ownership, so a clone or a configuration handed to an index can outlive
// the Python object); Logger is the process-wide Logger::instance(), which
// Python only refers to. All bindings run with the GIL held.
#ifndef NIVORA_PYTHON_VALUE_CLASSES_H_
#define NIVORA_PYTHON_VALUE_CLASSES_H_

#include <pybind11/pybind11.h>

#include "core/flags.h"

namespace nivora::python {

// What Python's GPUConfig holds: one flag byte.
struct GpuFlags {
  GPUConfig value = GPUConfig::NONE;
};

// Registers DBConfig, Logger, IndexConfig, IndexIVFPQ, IndexIVF,
// IndexIVFFlat, IndexIVFSQ and GPUConfig on `m`, in that order.
void RegisterValueClasses(pybind11::module_& m);

}  // namespace nivora::python

#endif  // NIVORA_PYTHON_VALUE_CLASSES_H_
