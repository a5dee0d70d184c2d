// The registration steps of the module, called by the module body in this
// order after the value classes: Client (its default gpu_config is a
// GPUConfig object, so it follows GPUConfig), then EncryptedIndex (its
// objects come only from Client.create_index and Client.load_index), then
// the private test hooks.
#ifndef NIVORA_PYTHON_REGISTRATION_H_
#define NIVORA_PYTHON_REGISTRATION_H_

#include <pybind11/pybind11.h>

namespace nivora::python {

// Registers the class Client on `m`.
void RegisterClient(pybind11::module_& m);

// Registers the class EncryptedIndex on `m`.
void RegisterEncryptedIndex(pybind11::module_& m);

// Adds the submodule `_testing`: thin entry points into the conversions and
// the exception translation that the public classes reach only through a
// client and an index. Not part of the public interface.
void RegisterTestingHooks(pybind11::module_& m);

}  // namespace nivora::python

#endif  // NIVORA_PYTHON_REGISTRATION_H_
